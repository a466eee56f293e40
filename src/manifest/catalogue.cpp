// SPDX-License-Identifier: MIT
#include "mzu.h"

#include "manifest_p.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace MZU {
namespace Internal {

QMultiHash<QString, ApplicationInfo> getApplications(
    const QJsonDocument &manifest, const QString &os, WalkObserver *observer)
{
    QMultiHash<QString, ApplicationInfo> catalogue;
    const QJsonValue list = manifest.object().value(QLatin1String("apps"));
    const QJsonArray apps = list.toArray();
    WalkPlace place;
    if (observer && !list.isUndefined() && !list.isArray()) {
        place.member = QStringLiteral("apps");
        observer->skipped(Skip::NotArray, place);
        place.member.clear();
    }
    for (int i = 0; i < apps.size(); ++i) {
        place.app = i;
        const QJsonValue element = apps.at(i);
        if (!element.isObject()) {
            if (observer)
                observer->skipped(Skip::NotObject, place);
            continue;
        }
        const QJsonObject entry = element.toObject();
        if (entry.value(QLatin1String("os")).toString() != os) {
            if (observer)
                observer->skipped(Skip::OtherOs, place);
            continue;
        }
        const QString name = entry.value(QLatin1String("name")).toString();
        const Version version(entry.value(QLatin1String("version")).toString());
        if (const std::optional<Skip> skip = releaseSkip(name, version)) {
            if (observer)
                observer->skipped(*skip, place);
            continue;
        }
        catalogue.insert(name, ApplicationInfo { version, entry.toVariantHash() });
    }
    return catalogue;
}

std::optional<Skip> releaseSkip(const QString &name, const Version &version)
{
    if (name.isEmpty())
        return Skip::EmptyName;
    if (version.isNull())
        return Skip::NullVersion;
    return std::nullopt;
}

} // namespace Internal

bool isManifest(const QJsonDocument &manifest)
{
    return manifest.object().value(QLatin1String("name")).toString()
        == QLatin1String("Versions.json");
}

QMultiHash<QString, ApplicationInfo> getApplications(const QJsonDocument &manifest)
{
    return Internal::getApplications(manifest, osString());
}

bool updateVersion(const QMultiHash<QString, ApplicationInfo> &catalogue, const QString &name,
    const Version &current, Version &newVersion, QString &changelog)
{
    newVersion = Version();
    changelog = QString();
    // Releases of one version come in no promised order: lint reports them.
    QList<ApplicationInfo> releases = catalogue.values(name);
    std::sort(releases.begin(), releases.end());
    QStringList blocks; // newest first
    for (const ApplicationInfo &release : qAsConst(releases)) {
        if (release.version <= current)
            continue;
        newVersion = release.version;
        const QString log = release.values.value(QStringLiteral("changelog")).toString();
        if (!log.isEmpty())
            blocks.prepend(release.version.toString() + QLatin1String(":\n") + log);
        if (release.values.value(QStringLiteral("tip")).toString() == QLatin1String("true"))
            break;
    }
    if (!blocks.isEmpty()) // else the change log stays null
        changelog = blocks.join(QLatin1Char('\n'));
    return !newVersion.isNull();
}

} // namespace MZU
