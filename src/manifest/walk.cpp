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
            const FileCheck check = checkFile(file);
            if (check == FileCheck::Valid) {
                files.append(file);
            } else if (observer) {
                const Skip reason = check == FileCheck::NoFilename ? Skip::NoFilename
                    : check == FileCheck::NoLocation               ? Skip::NoLocation
                    : check == FileCheck::BadUrl                   ? Skip::BadUrl
                                                                   : Skip::NullVersion;
                observer->skipped(reason, place);
            }
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
            const QJsonValue type = entry.value(QLatin1String("type"));
            const QJsonValue value = entry.value(QLatin1String("value"));
            const SettingValue setting { version, entry.value(QLatin1String("key")).toString(),
                type.toString(), value.toString() };
            if (observer) {
                // Present but not a string: the host gets empty text, which is rarely meant.
                const std::pair<const char *, const QJsonValue *> members[] = { { "type", &type },
                    { "value", &value } };
                for (const auto &member : members) {
                    if (!member.second->isUndefined() && !member.second->isString()) {
                        place.member = QLatin1String(member.first);
                        observer->skipped(Skip::NotText, place);
                        place.member.clear();
                    }
                }
            }
            if (setting.key.isEmpty()) {
                if (observer)
                    observer->skipped(Skip::EmptyKey, place);
                return;
            }
            settings.append(setting);
        });
    return settings;
}

FileCheck checkFile(const UpdateFile &file)
{
    if (file.values.value(QStringLiteral("filename")).toString().isEmpty())
        return FileCheck::NoFilename;
    if (file.version.isNull())
        return FileCheck::NullVersion;
    if (file.values.value(QStringLiteral("location")).toString().isEmpty())
        return FileCheck::NoLocation;
    const QString url = file.values.value(QStringLiteral("url")).toString();
    if (!QUrl(url, QUrl::TolerantMode).isValid())
        return FileCheck::BadUrl;
    return FileCheck::Valid;
}

} // namespace Internal

bool UpdateFile::isValid() const
{
    return Internal::checkFile(*this) == Internal::FileCheck::Valid;
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
