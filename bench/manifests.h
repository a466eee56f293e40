#ifndef MANIFESTS_H
#define MANIFESTS_H

#include <QByteArray>
#include <QString>

// Generated manifests for the benchmarks: one application, "BenchApp", whose entries are
// all for this platform and all in the version window the benchmarks ask for, so that
// every entry is read, converted and returned (the most work per byte).
namespace Manifests {

enum class Kind { Releases, Files, Settings };

QString appName();
QString entryVersion(int index);
/// A release, file or setting entry per index, under "apps" or under the one OS entry.
QByteArray generate(Kind kind, int entries);
/// Release entries for this platform until the document reaches @p bytes.
QByteArray releasesOfSize(int bytes);
/// About @p bytes as a published manifest may hold them: first an application entry with
/// file and setting entries for this platform and another (half the bytes), then release
/// entries for three platforms, one of them this one.
QByteArray mixedOfSize(int bytes);
/// Release entries until the document reaches @p bytes, dealt in turn to ten applications
/// (appName() among them) on three platforms (this one among them), each pair's versions
/// ascending. @p releases receives the number of release entries.
QByteArray spreadOfSize(int bytes, int *releases = nullptr);

} // namespace Manifests

#endif // MANIFESTS_H
