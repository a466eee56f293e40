// SPDX-License-Identifier: MIT
#include "mzu.h"

#include "manifest_p.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QUrl>

namespace MZU {
namespace Internal {

WalkObserver::~WalkObserver() = default;

void WalkObserver::entered(Walk, int, int) { }

namespace {

// The array @p listKey ("files" or "settings") of this platform's OS entry in the first
// application entry named @p appName. Only the first match counts at both levels.
// @p place gets the indices of the entries taken.
QJsonArray entriesOf(const QJsonDocument &manifest, const QString &appName, const QString &os,
    QLatin1String listKey, WalkPlace &place, WalkObserver *observer)
{
    const QJsonArray apps = manifest.object().value(QLatin1String("apps")).toArray();
    int appIndex = -1;
    QJsonObject app;
    for (int i = 0; i < apps.size(); ++i) {
        const QJsonObject candidate = apps.at(i).toObject();
        if (candidate.value(QLatin1String("name")).toString() == appName) {
            appIndex = i;
            app = candidate;
            break;
        }
    }
    const QJsonValue osName(os);
    const QJsonArray systems = app.value(QLatin1String("os")).toArray();
    for (int i = 0; i < systems.size(); ++i) {
        const QJsonObject system = systems.at(i).toObject();
        if (system.value(QLatin1String("name")) == osName) {
            place.app = appIndex;
            place.os = i;
            const QJsonValue list = system.value(listKey);
            if (observer) {
                observer->entered(place.walk, appIndex, i);
                if (!list.isUndefined() && !list.isArray()) {
                    place.member = listKey;
                    observer->skipped(Skip::NotArray, place);
                    place.member.clear();
                }
            }
            return list.toArray();
        }
    }
    if (observer)
        observer->entered(place.walk, appIndex, -1);
    return QJsonArray();
}

// Calls @p take with each object in this platform's list of @p place's walk whose version
// is in (from, to], and tells @p observer of the others. Null versions and versions outside
// the window are skipped before anything else is read.
template <typename Take>
void walkWindow(const QJsonDocument &manifest, const QString &appName, const Version &from,
    const Version &to, const QString &os, WalkPlace &place, WalkObserver *observer, Take take)
{
    const QLatin1String listKey(place.walk == Walk::Files ? "files" : "settings");
    const QJsonArray entries = entriesOf(manifest, appName, os, listKey, place, observer);
    for (int i = 0; i < entries.size(); ++i) {
        place.entry = i;
        const QJsonValue element = entries.at(i);
        if (!element.isObject()) {
            if (observer)
                observer->skipped(Skip::NotObject, place);
            continue;
        }
        const QJsonObject entry = element.toObject();
        const Version version(entry.value(QLatin1String("version")).toString());
        if (version.isNull() || !(version <= to && from < version)) {
            if (observer)
                observer->skipped(
                    version.isNull() ? Skip::NullVersion : Skip::OutsideWindow, place);
            continue;
        }
        take(entry, version);
    }
}

} // namespace

QList<UpdateFile> getFileUpdates(const QJsonDocument &manifest, const QString &appName,
    const Version &from, const Version &to, const QString &os, WalkObserver *observer)
{
    QList<UpdateFile> files;
    WalkPlace place { Walk::Files, -1, -1, -1, QString() };
    walkWindow(manifest, appName, from, to, os, place, observer,
        [&](const QJsonObject &entry, const Version &version) {
            const UpdateFile file { version, entry.toVariantHash() };
            const QVector<SkipReason> skips = fileSkips(file);
            if (skips.isEmpty())
                files.append(file);
            else if (observer)
                observer->skipped(skips.constFirst().skip, place);
        });
    return files;
}

QList<SettingValue> getSettingUpdates(const QJsonDocument &manifest, const QString &appName,
    const Version &from, const Version &to, const QString &os, WalkObserver *observer)
{
    QList<SettingValue> settings;
    WalkPlace place { Walk::Settings, -1, -1, -1, QString() };
    walkWindow(manifest, appName, from, to, os, place, observer,
        [&](const QJsonObject &entry, const Version &version) {
            bool skipped = false;
            for (const SkipReason &reason : settingSkips(entry)) {
                skipped = skipped || reason.skip != Skip::NotText;
                if (observer) {
                    place.member = reason.skip == Skip::NotText ? reason.member : QString();
                    observer->skipped(reason.skip, place);
                }
            }
            place.member.clear();
            if (skipped)
                return;
            settings.append({ version, entry.value(QLatin1String("key")).toString(),
                entry.value(QLatin1String("type")).toString(),
                entry.value(QLatin1String("value")).toString() });
        });
    return settings;
}

QVector<SkipReason> fileSkips(const UpdateFile &file)
{
    QVector<SkipReason> skips;
    if (file.values.value(QStringLiteral("filename")).toString().isEmpty())
        skips.append({ Skip::NoFilename, QStringLiteral("filename") });
    if (file.version.isNull())
        skips.append({ Skip::NullVersion, QStringLiteral("version") });
    if (file.values.value(QStringLiteral("location")).toString().isEmpty())
        skips.append({ Skip::NoLocation, QStringLiteral("location") });
    const QString url = file.values.value(QStringLiteral("url")).toString();
    if (!QUrl(url, QUrl::TolerantMode).isValid())
        skips.append({ Skip::BadUrl, QStringLiteral("url") });
    return skips;
}

QVector<SkipReason> settingSkips(const QJsonObject &entry)
{
    QVector<SkipReason> skips;
    // Present but not a string: the host gets empty text, which is rarely meant.
    for (const QString &member : { QStringLiteral("type"), QStringLiteral("value") }) {
        const QJsonValue value = entry.value(member);
        if (!value.isUndefined() && !value.isString())
            skips.append({ Skip::NotText, member });
    }
    if (Version(entry.value(QLatin1String("version")).toString()).isNull())
        skips.append({ Skip::NullVersion, QStringLiteral("version") });
    if (entry.value(QLatin1String("key")).toString().isEmpty())
        skips.append({ Skip::EmptyKey, QStringLiteral("key") });
    return skips;
}

} // namespace Internal

bool UpdateFile::isValid() const
{
    return Internal::fileSkips(*this).isEmpty();
}

QList<UpdateFile> getFileUpdates(
    const QJsonDocument &manifest, const QString &appName, const Version &from, const Version &to)
{
    return Internal::getFileUpdates(manifest, appName, from, to, osString());
}

QList<SettingValue> getSettingUpdates(
    const QJsonDocument &manifest, const QString &appName, const Version &from, const Version &to)
{
    return Internal::getSettingUpdates(manifest, appName, from, to, osString());
}

} // namespace MZU
