// SPDX-License-Identifier: MIT
#ifndef MANIFEST_P_H
#define MANIFEST_P_H

#include "mzu.h"

#include <QJsonDocument>

#include <optional>

namespace MZU {
namespace Internal {

/// Why a walk passed something over. The public functions run without an observer;
/// the command-line tool listens to learn exactly what the library skipped.
enum class Skip {
    NotObject, // an element that is not a JSON object
    OtherOs, // a release entry for another operating system
    EmptyName, // a release entry without a usable "name"
    NullVersion, // "version" missing, not a string, not a version, or 0.0.0
    OutsideWindow, // a file or setting entry whose version is not in (from, to]
    NoFilename, // a file entry whose "filename" reads as empty text
    NoLocation, // a file entry whose "location" reads as empty text
    BadUrl, // a file entry whose "url" is not a valid URL
    EmptyKey, // a setting entry without a usable "key"
    NotText, // a setting member that is present but not a string, read as empty text
    NotArray, // "apps", "files" or "settings" present but not an array (named in member)
};

enum class Walk { Releases, Files, Settings };

/// Where a skip happened: indices into "apps", the application entry's "os" and the
/// OS entry's "files" or "settings"; -1 where a level does not apply.
struct WalkPlace
{
    Walk walk = Walk::Releases;
    int app = -1;
    int os = -1;
    int entry = -1;
    QString member; // for NotText and NotArray
};

class WalkObserver
{
public:
    virtual ~WalkObserver();
    virtual void skipped(Skip reason, const WalkPlace &place) = 0;
    /// The file and setting walks say which application and OS entry they took
    /// (-1 when none matched), so that an empty result can be explained.
    virtual void entered(Walk walk, int app, int os);
};

QMultiHash<QString, ApplicationInfo> getApplications(
    const QJsonDocument &manifest, const QString &os, WalkObserver *observer = nullptr);

/// Why the release walk passes over a release of the platform it reads, with this name and
/// version; nothing when it takes it.
std::optional<Skip> releaseSkip(const QString &name, const Version &version);

QList<UpdateFile> getFileUpdates(const QJsonDocument &manifest, const QString &appName,
    const Version &from, const Version &to, const QString &os, WalkObserver *observer = nullptr);

QList<SettingValue> getSettingUpdates(const QJsonDocument &manifest, const QString &appName,
    const Version &from, const Version &to, const QString &os, WalkObserver *observer = nullptr);

/// The "size" and "sha256" members of a file entry, as fileMatches() reads them.
struct FileDigest
{
    qint64 size = -1; // -1: absent
    QByteArray sha256; // lower-case hex; empty: absent
    QString problem; // a member of the wrong form, or neither present
};
FileDigest fileDigest(const QVariantHash &values);

/// The first rule of UpdateFile::isValid() that @p file breaks, or nothing.
enum class FileCheck { Valid, NoFilename, NullVersion, NoLocation, BadUrl };
FileCheck checkFile(const UpdateFile &file);

} // namespace Internal
} // namespace MZU

#endif // MANIFEST_P_H
