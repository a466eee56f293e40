#ifndef MANIFEST_P_H
#define MANIFEST_P_H

#include "mzu.h"

#include <QCborValue>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPair>
#include <QVector>

#include <initializer_list>
#include <optional>
#include <vector>

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

QList<UpdateFile> getFileUpdates(const QJsonDocument &manifest, const QString &appName,
    const Version &from, const Version &to, const QString &os, WalkObserver *observer = nullptr);

QList<SettingValue> getSettingUpdates(const QJsonDocument &manifest, const QString &appName,
    const Version &from, const Version &to, const QString &os, WalkObserver *observer = nullptr);

/// What updateVersion(getApplications(manifest, os), name, ...) gives, without building the
/// catalogue: only @p name's releases are read, and of those only the ones newer than
/// @p current beyond their version.
bool resolveUpdate(const QJsonDocument &manifest, const QString &os, const QString &name,
    const Version &current, Version &newVersion, QString &changelog);

/// Where a member's value stands in a manifest's text, and what it is.
struct RawText
{
    enum Kind : char { Absent, String, EscapedString, True, False, Other };
    int begin = 0; // of a string's text, inside the quotes
    int end = 0;
    Kind kind = Absent;
};

/// A release as scanReleases() finds it: its version, and where its "changelog" and "tip"
/// stand, to be read only if it is newer.
struct ScannedRelease
{
    Version version;
    RawText changelog;
    RawText tip;
};

/// The releases of @p name for @p os in the manifest text @p json, in the manifest's order,
/// read straight from the text: no document is built. Nothing when the text is not one it
/// vouches for reading as QJsonDocument::fromJson() and resolveUpdate() would: not a
/// manifest, not JSON, or anything unusual, for which the caller takes the document path.
std::optional<std::vector<ScannedRelease>> scanReleases(
    const QByteArray &json, const QString &os, const QString &name);

/// A member's value found by scanReleases(), as QVariant::toString() reads it.
QString rawText(const QByteArray &json, const RawText &raw);

/// What resolveUpdate() gives on the document of @p json, when scanReleases() vouches for it.
std::optional<bool> resolveUpdate(const QByteArray &json, const QString &os, const QString &name,
    const Version &current, Version &newVersion, QString &changelog);

/// True when hosts read @p manifest at all: its root "name" is "Versions.json".
bool isManifest(const QJsonDocument &manifest);

/// The first rule of UpdateFile::isValid() that @p file breaks, or nothing.
enum class FileCheck { Valid, NoFilename, NullVersion, NoLocation, BadUrl };
FileCheck checkFile(const UpdateFile &file);

/// Converts entries exactly as QJsonObject::toVariantHash() does, down to the hash's
/// iteration order, but shares key texts between entries (manifests repeat the same keys
/// in every entry) and takes string members the caller has already read as @p known.
class EntryConverter
{
public:
    struct Known
    {
        QLatin1String key;
        const QString *text; // must be the member's own text
    };
    QVariantHash convert(const QJsonObject &entry, std::initializer_list<Known> known = {});

private:
    QVector<QPair<QCborValue, QString>> keys; // the last entry's keys, in order
};

} // namespace Internal
} // namespace MZU

#endif // MANIFEST_P_H
