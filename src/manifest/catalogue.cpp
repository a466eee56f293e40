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
        const QVector<SkipReason> skips = releaseSkips(name, version);
        if (!skips.isEmpty()) {
            if (observer)
                observer->skipped(skips.constFirst().skip, place);
            continue;
        }
        catalogue.insert(name, ApplicationInfo { version, entry.toVariantHash() });
    }
    return catalogue;
}

QVector<SkipReason> releaseSkips(const QString &name, const Version &version)
{
    QVector<SkipReason> skips;
    if (name.isEmpty())
        skips.append({ Skip::EmptyName, QStringLiteral("name") });
    if (version.isNull())
        skips.append({ Skip::NullVersion, QStringLiteral("version") });
    return skips;
}

bool marksTip(const QVariantHash &release)
{
    return release.value(QStringLiteral("tip")).toString() == QLatin1String("true");
}

QString changelogOf(const QVariantHash &release)
{
    return release.value(QStringLiteral("changelog")).toString();
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
        const QString log = Internal::changelogOf(release.values);
        if (!log.isEmpty())
            blocks.prepend(release.version.toString() + QLatin1String(":\n") + log);
        if (Internal::marksTip(release.values))
            break;
    }
    if (!blocks.isEmpty()) // else the change log stays null
        changelog = blocks.join(QLatin1Char('\n'));
    return !newVersion.isNull();
}

} // namespace MZU
