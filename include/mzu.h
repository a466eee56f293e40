// SPDX-License-Identifier: MIT
#ifndef MZU_H
#define MZU_H

#include "mzupdater_export.h"
#include "mzupdater_version.h"

#include <QHash>
#include <QList>
#include <QMetaType>
#include <QMultiHash>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdio>

QT_BEGIN_NAMESPACE
class QCoreApplication;
class QDebug;
class QIODevice;
class QJsonDocument;
QT_END_NAMESPACE

/// The manifest model and the installation environment. Every function keeps no state
/// and may be called from any thread.
namespace MZU {

/// A release number MAJOR.MINOR.PATCH with an optional "-suffix".
/// Null (absent) when all three numbers are zero, whatever the suffix.
struct Version
{
    Version() = default;
    /// Parses @p text; text that is not a version gives the null version.
    MZUPDATER_EXPORT Version(const QString &text);

    /// Parses @p text into this object. Returns false, and zeroes the numbers but keeps
    /// the suffix, when @p text is not of the form MAJOR.MINOR.PATCH[-suffix]. A number
    /// beyond 32 bits reads as 0.
    MZUPDATER_EXPORT bool fromString(const QString &text);
    /// The text form: "1.2.3", or "1.2.3-suffix" when the suffix is not empty.
    inline QString toString() const;
    bool isNull() const { return major == 0 && minor == 0 && patch == 0; }

    quint32 major = 0;
    quint32 minor = 0;
    quint32 patch = 0;
    QString suffix;
};

/// Negative, zero or positive as @p a comes before, with or after @p b: numbers first; at
/// equal numbers no suffix comes first, then suffixes as plain text.
[[nodiscard]] MZUPDATER_EXPORT int compare(const Version &a, const Version &b);
inline bool operator<(const Version &a, const Version &b)
{
    return compare(a, b) < 0;
}
inline bool operator==(const Version &a, const Version &b)
{
    return compare(a, b) == 0;
}
inline bool operator!=(const Version &a, const Version &b)
{
    return compare(a, b) != 0;
}
inline bool operator<=(const Version &a, const Version &b)
{
    return compare(a, b) <= 0;
}
inline bool operator>(const Version &a, const Version &b)
{
    return compare(a, b) > 0;
}
inline bool operator>=(const Version &a, const Version &b)
{
    return compare(a, b) >= 0;
}

/// So that QHash<Version, T> and QSet<Version> work.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
inline size_t qHash(const Version &version, size_t seed = 0)
#else
inline uint qHash(const Version &version, uint seed = 0)
#endif
{
    using ::qHash;
    return qHash(
        version.suffix, qHash(version.patch, qHash(version.minor, qHash(version.major, seed))));
}

/// MZU::Version(1.2.3-rc1)
MZUPDATER_EXPORT QDebug operator<<(QDebug debug, const Version &version);

QString Version::toString() const
{
    // One allocation, as callers print in bulk; the suffix is appended, so a "%" in it stays.
    char numbers[36];
    const int length = std::snprintf(
        numbers, sizeof numbers, "%u.%u.%u", unsigned(major), unsigned(minor), unsigned(patch));
    QString text;
    text.reserve(length + (suffix.isEmpty() ? 0 : 1 + int(suffix.size())));
    text.append(QLatin1String(numbers, length));
    if (!suffix.isEmpty())
        text.append(QLatin1Char('-')).append(suffix);
    return text;
}

/// One release of one application for this operating system.
struct ApplicationInfo
{
    Version version;
    /// Every member of the release entry, as QJsonObject::toVariantHash() gives it.
    QVariantHash values;
};

/// Releases compare by version only; values are not compared.
MZUPDATER_EXPORT bool operator==(const ApplicationInfo &a, const ApplicationInfo &b);
MZUPDATER_EXPORT bool operator<(const ApplicationInfo &a, const ApplicationInfo &b);

/// One file entry selected by getFileUpdates().
struct UpdateFile
{
    Version version;
    /// Every member of the file entry, as QJsonObject::toVariantHash() gives it.
    QVariantHash values;

    /// True when "filename" and "location" have text, the version is not null and
    /// "url" is a valid URL.
    MZUPDATER_EXPORT bool isValid() const;
};

/// True when the whole of @p content has the "size" and "sha256" of @p file (those present).
/// A random-access device (a file, a buffer) is read from its start, whatever its position;
/// a sequential one (a socket, a process) to its end, blocking in waitForReadyRead() until it
/// closes. A QNetworkReply cannot be waited for: give it once it has finished. "size" is any
/// numeric QVariant holding a whole number >= 0, "sha256" exactly 64 hexadecimal digits (any
/// case). An entry with neither, or with one of the wrong form, matches nothing. On false,
/// @p why (when given) says which differs, with both values. Opens @p content if need be.
[[nodiscard]] MZUPDATER_EXPORT bool fileMatches(
    const UpdateFile &file, QIODevice *content, QString *why = nullptr);

/// One setting change selected by getSettingUpdates().
struct SettingValue
{
    Version version;
    QString key;
    QString type;
    QString value;
};

using Catalogue = QMultiHash<QString, ApplicationInfo>;

/// What a check offers, from MzUpdater::offer(): the move from the running version to the
/// offered one, merged.
struct Offer
{
    QString address; // the manifest address this came from
    Version version; // null when nothing newer is offered: the host is up to date
    QString changelog; // as updateAvailable() gives it
    bool critical = false; // a release on the way there says "critical": true
    QVariantHash values; // every member of the offered release's entry
    /// The newest entry of each file (its "location" and "filename") that getFileUpdates()
    /// gives for the move, in the order of their first appearance in the manifest.
    QList<UpdateFile> files;
    QList<SettingValue> settings; // the same, the newest entry of each "key"
    qint64 downloadSize = 0; // the files' "size" summed; -1 when one has no valid "size"
};

/// The platform as the manifest names it: "mac-", "linux-" or "win-" followed by the
/// CPU architecture Qt was built for (for example "linux-x86_64").
MZUPDATER_EXPORT QString osString();

/// Where the maintenance tool's executable is, or would be: its canonical path when it
/// exists, else the absolute path at which it was expected. Never empty. The argument
/// is not used; the application directory is read from QCoreApplication.
MZUPDATER_EXPORT QString maintenanceToolPath(QCoreApplication *application);

/// True when @p manifest is a manifest the updater reads: its root "name" is
/// "Versions.json". The functions below do not test it; a host calling them on a document
/// it fetched itself should.
[[nodiscard]] MZUPDATER_EXPORT bool isManifest(const QJsonDocument &manifest);

/// Application name to its releases for this operating system. Entries of the wrong
/// shape are left out; a manifest of the wrong shape gives an empty catalogue.
[[nodiscard]] MZUPDATER_EXPORT QMultiHash<QString, ApplicationInfo> getApplications(
    const QJsonDocument &manifest);

/// Chooses the version to offer to @p name running @p current: the newest release, or
/// the first newer one marked "tip". @p changelog gets the change logs of the releases
/// passed, newest first. Returns false, with a null @p newVersion, when none is newer.
[[nodiscard]] MZUPDATER_EXPORT bool updateVersion(
    const QMultiHash<QString, ApplicationInfo> &catalogue, const QString &name,
    const Version &current, Version &newVersion, QString &changelog);

/// The valid file entries of @p appName on this operating system whose version v
/// satisfies @p from < v <= @p to, in manifest order. Empty when none apply.
[[nodiscard]] MZUPDATER_EXPORT QList<UpdateFile> getFileUpdates(
    const QJsonDocument &manifest, const QString &appName, const Version &from, const Version &to);

/// The setting entries with a key of @p appName on this operating system whose version v
/// satisfies @p from < v <= @p to, in manifest order. Empty when none apply.
[[nodiscard]] MZUPDATER_EXPORT QList<SettingValue> getSettingUpdates(
    const QJsonDocument &manifest, const QString &appName, const Version &from, const Version &to);

/// Replaces the process-wide list of trusted minisign public keys (each the base64 line of
/// a minisign.pub). While one is trusted, every manifest download also fetches the
/// address with ".minisig" appended to its path and refuses a manifest that none of them
/// signed, or whose signed sequence (seq=) is older than one accepted from that address
/// before. An empty list turns this off. When a key is malformed, returns false, logs it,
/// and fails closed: no key is trusted and every manifest download is refused, with a
/// reason naming that key, until a later call succeeds. Thread-safe.
[[nodiscard]] MZUPDATER_EXPORT bool setTrustedKeys(const QStringList &keys);

/// The trusted minisign public keys: those compiled in (MZUPDATER_TRUSTED_KEYS) until
/// setTrustedKeys() replaces them; empty also while a refused list has every manifest
/// refused. Thread-safe.
MZUPDATER_EXPORT QStringList trustedKeys();

} // namespace MZU

Q_DECLARE_TYPEINFO(MZU::Version, Q_MOVABLE_TYPE);
Q_DECLARE_TYPEINFO(MZU::ApplicationInfo, Q_MOVABLE_TYPE);
Q_DECLARE_TYPEINFO(MZU::UpdateFile, Q_MOVABLE_TYPE);
Q_DECLARE_TYPEINFO(MZU::SettingValue, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(MZU::Version)
Q_DECLARE_METATYPE(MZU::ApplicationInfo)
Q_DECLARE_METATYPE(MZU::UpdateFile)
Q_DECLARE_METATYPE(MZU::SettingValue)
Q_DECLARE_METATYPE(MZU::Offer)

#endif // MZU_H
