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

// Null versions and versions outside (from, to] are skipped before anything else is read.
bool inWindow(const QJsonObject &entry, const Version &from, const Version &to, Version &version)
{
    version.fromString(entry.value(QLatin1String("version")).toString());
    return !version.isNull() && version <= to && from < version;
}

} // namespace

QList<UpdateFile> getFileUpdates(const QJsonDocument &manifest, const QString &appName,
    const Version &from, const Version &to, const QString &os, WalkObserver *observer)
{
    QList<UpdateFile> files;
    WalkPlace place { Walk::Files, -1, -1, -1, QString() };
    const QJsonArray entries =
        entriesOf(manifest, appName, os, QLatin1String("files"), place, observer);
    for (int i = 0; i < entries.size(); ++i) {
        place.entry = i;
        const QJsonValue element = entries.at(i);
        if (!element.isObject()) {
            if (observer)
                observer->skipped(Skip::NotObject, place);
            continue;
        }
        const QJsonObject entry = element.toObject();
        UpdateFile file;
        if (!inWindow(entry, from, to, file.version)) {
            if (observer)
                observer->skipped(
                    file.version.isNull() ? Skip::NullVersion : Skip::OutsideWindow, place);
            continue;
        }
        file.values = entry.toVariantHash();
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
    }
    return files;
}

QList<SettingValue> getSettingUpdates(const QJsonDocument &manifest, const QString &appName,
    const Version &from, const Version &to, const QString &os, WalkObserver *observer)
{
    QList<SettingValue> settings;
    WalkPlace place { Walk::Settings, -1, -1, -1, QString() };
    const QJsonArray entries =
        entriesOf(manifest, appName, os, QLatin1String("settings"), place, observer);
    for (int i = 0; i < entries.size(); ++i) {
        place.entry = i;
        const QJsonValue element = entries.at(i);
        if (!element.isObject()) {
            if (observer)
                observer->skipped(Skip::NotObject, place);
            continue;
        }
        const QJsonObject entry = element.toObject();
        SettingValue setting;
        if (!inWindow(entry, from, to, setting.version)) {
            if (observer)
                observer->skipped(
                    setting.version.isNull() ? Skip::NullVersion : Skip::OutsideWindow, place);
            continue;
        }
        const QJsonValue key = entry.value(QLatin1String("key"));
        const QJsonValue type = entry.value(QLatin1String("type"));
        const QJsonValue value = entry.value(QLatin1String("value"));
        setting.key = key.toString();
        setting.type = type.toString();
        setting.value = value.toString();
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
            continue;
        }
        settings.append(setting);
    }
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
