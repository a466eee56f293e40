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
bool inWindow(const QJsonObject &entry, const Version &from, const Version &to, Version &version,
    QString *text = nullptr)
{
    const QString versionText = entry.value(QLatin1String("version")).toString();
    version.fromString(versionText);
    if (text)
        *text = versionText;
    return !version.isNull() && version <= to && from < version;
}

// QUrl parses the scheme and the authority strictly but, in tolerant mode, any path, query
// and fragment, and its validity test then looks only at how the path begins. So addresses
// "scheme://authority" followed by nothing, "?", "#" or "/" (but not "//") are valid alike
// when their text up to the authority's end is the same. A file list names the same server
// again and again: remembering the last valid one saves almost every parse.
class UrlCheck
{
public:
    bool isValid(const QString &address)
    {
        const int end = authorityEnd(address);
        if (end > 0 && end == validPrefix.size() && address.startsWith(validPrefix))
            return true;
        if (!QUrl(address, QUrl::TolerantMode).isValid())
            return false;
        if (end > 0)
            validPrefix = address.left(end);
        return true;
    }

private:
    static bool isSchemeCharacter(ushort c, bool first)
    {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        return letter || (!first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
    }

    // Where "scheme://authority" ends in @p address, or -1 when it does not begin that way
    // with a non-empty authority followed by the end, "?", "#", or "/" without a second "/".
    static int authorityEnd(const QString &address)
    {
        const ushort *text = address.utf16();
        const int size = address.size();
        int colon = 0;
        while (colon < size && text[colon] != ':') {
            if (!isSchemeCharacter(text[colon], colon == 0))
                return -1;
            ++colon;
        }
        if (colon == 0 || size - colon < 3 || text[colon + 1] != '/' || text[colon + 2] != '/')
            return -1;
        int end = colon + 3;
        while (end < size && text[end] != '/' && text[end] != '?' && text[end] != '#')
            ++end;
        if (end == colon + 3 || (end + 1 < size && text[end] == '/' && text[end + 1] == '/'))
            return -1;
        return end;
    }

    QString validPrefix;
};

FileCheck checkFileWith(const UpdateFile &file, UrlCheck *urls)
{
    if (file.values.value(QStringLiteral("filename")).toString().isEmpty())
        return FileCheck::NoFilename;
    if (file.version.isNull())
        return FileCheck::NullVersion;
    if (file.values.value(QStringLiteral("location")).toString().isEmpty())
        return FileCheck::NoLocation;
    const QString url = file.values.value(QStringLiteral("url")).toString();
    if (!(urls ? urls->isValid(url) : QUrl(url, QUrl::TolerantMode).isValid()))
        return FileCheck::BadUrl;
    return FileCheck::Valid;
}

} // namespace

QList<UpdateFile> getFileUpdates(const QJsonDocument &manifest, const QString &appName,
    const Version &from, const Version &to, const QString &os, WalkObserver *observer)
{
    QList<UpdateFile> files;
    EntryConverter converter;
    UrlCheck urls;
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
        QString versionText;
        if (!inWindow(entry, from, to, file.version, &versionText)) {
            if (observer)
                observer->skipped(
                    file.version.isNull() ? Skip::NullVersion : Skip::OutsideWindow, place);
            continue;
        }
        file.values = converter.convert(entry, { { QLatin1String("version"), &versionText } });
        const FileCheck check = checkFileWith(file, &urls);
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
    return checkFileWith(file, nullptr);
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
