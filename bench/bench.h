// SPDX-License-Identifier: MIT
#ifndef BENCH_H
#define BENCH_H

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

// Generated manifests: every entry of "BenchApp" is for this platform and newer than the
// version the benchmarks run as, so that every entry is read and returned.
namespace Manifests {

enum class Kind { Releases, Files, Settings };

QString appName();
/// A release, file or setting entry per index, under "apps" or under the one OS entry.
QByteArray generate(Kind kind, int entries);
/// As many release entries of about 150 bytes as fit in @p bytes, dealt in turn to
/// ten applications (appName() among them) on three platforms (this one among them).
QByteArray spreadOfSize(int bytes, int *releases = nullptr);

} // namespace Manifests

// Times every outermost event dispatch of the main thread while a host benchmark runs: for
// that long the loop could do nothing else, which is what a host's user feels.
class ProbedApplication : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject *receiver, QEvent *event) override;
};

void registerModelBenchmarks();
/// Each host benchmark times @p hostRepetitions checks, one per repetition.
void registerCheckBenchmarks(int hostRepetitions);
/// Removes the settings file that the check benchmarks wrote beside the executable.
void cleanUpCheckBenchmarks();
void registerSignatureBenchmarks();
void registerLintBenchmarks();

#endif // BENCH_H
