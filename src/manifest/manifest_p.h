// SPDX-License-Identifier: MIT
#ifndef MANIFEST_P_H
#define MANIFEST_P_H

#include "mzu.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVector>

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

/// One reason a walk skips an entry, or reads one of its members as empty text (NotText),
/// with the member it concerns. The walks and lint ask the functions below, so that what
/// hosts skip is decided in one place.
struct SkipReason
{
    Skip skip;
    QString member;
};

/// Every reason the release walk passes over a release of the platform it reads, with this
/// name and version; empty when it takes it.
QVector<SkipReason> releaseSkips(const QString &name, const Version &version);

/// Every rule of UpdateFile::isValid() that @p file breaks, in the order "filename",
/// "version", "location", "url"; empty when it is valid.
QVector<SkipReason> fileSkips(const UpdateFile &file);

/// Every reason the setting walk skips @p entry or reads a member as empty text: "type" or
/// "value" not a string (NotText), then a null version, then no usable "key" (EmptyKey).
QVector<SkipReason> settingSkips(const QJsonObject &entry);

/// Whether updateVersion() stops at this release: its "tip" is true or "true".
bool marksTip(const QVariantHash &release);

/// The change log updateVersion() shows for this release, empty when it has none.
QString changelogOf(const QVariantHash &release);

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

} // namespace Internal
} // namespace MZU

#endif // MANIFEST_P_H
