// SPDX-License-Identifier: MIT
// Catalogue and update resolution. The catalogue must hold exactly the release entries for
// the system with a name and a version; the version offered must be the oldest newer
// release marked "tip", else the newest one, and the change log must hold the blocks of the
// releases passed, newest first.
#include "fuzz.h"

#include "manifest/manifest_p.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace {

using MZU::ApplicationInfo;
using MZU::Version;

void checkResolution(const MZU::Catalogue &catalogue, const QString &name, const Version &current)
{
    Version newVersion(QStringLiteral("9.9.9-stale"));
    QString changelog = QStringLiteral("stale");
    const bool found = MZU::updateVersion(catalogue, name, current, newVersion, changelog);
    FUZZ_CHECK(found == !newVersion.isNull());

    Version tip, newest;
    for (const ApplicationInfo &release : catalogue.values(name)) {
        if (!(release.version > current))
            continue;
        if (release.values.value(QStringLiteral("tip")).toString() == QLatin1String("true")
            && (tip.isNull() || release.version < tip))
            tip = release.version;
        if (newest < release.version)
            newest = release.version;
    }
    const Version expected = tip.isNull() ? newest : tip;
    FUZZ_CHECK(newVersion == expected);
    if (!found) {
        FUZZ_CHECK(changelog.isNull());
        return;
    }
    FUZZ_CHECK(current < newVersion);

    // Releases of equal versions may be passed in any order; otherwise there is one answer.
    QList<ApplicationInfo> releases = catalogue.values(name);
    std::sort(releases.begin(), releases.end());
    if (std::adjacent_find(releases.begin(), releases.end()) != releases.end())
        return;
    QStringList blocks;
    for (const ApplicationInfo &release : qAsConst(releases)) {
        if (!(current < release.version))
            continue;
        const QString text = release.values.value(QStringLiteral("changelog")).toString();
        if (!text.isEmpty())
            blocks.prepend(release.version.toString() + QLatin1String(":\n") + text);
        if (release.values.value(QStringLiteral("tip")).toString() == QLatin1String("true"))
            break;
    }
    FUZZ_CHECK(changelog == blocks.join(QLatin1Char('\n')));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument manifest = Fuzz::parse(data, size);
    const QJsonArray apps = manifest.object().value(QLatin1String("apps")).toArray();
    for (const QString &os : Fuzz::osNames()) {
        const MZU::Catalogue catalogue = MZU::Internal::getApplications(manifest, os);
        // Exactly the entries for this system with a name and a version, each one whole.
        int accepted = 0;
        for (const QJsonValue &element : apps) {
            const QJsonObject entry = element.toObject();
            const QString name = entry.value(QLatin1String("name")).toString();
            const Version version(entry.value(QLatin1String("version")).toString());
            if (!element.isObject() || entry.value(QLatin1String("os")).toString() != os
                || name.isEmpty() || version.isNull())
                continue;
            ++accepted;
            const QList<ApplicationInfo> releases = catalogue.values(name);
            FUZZ_CHECK(std::any_of(releases.begin(), releases.end(), [&](const auto &release) {
                const QVariantHash values = entry.toVariantHash();
                return release.version == version && release.values == values
                    && release.values.keys() == values.keys();
            }));
        }
        FUZZ_CHECK(catalogue.size() == accepted);

        const QStringList names = catalogue.uniqueKeys().mid(0, 4);
        for (const QString &name : names) {
            const QList<ApplicationInfo> releases = catalogue.values(name);
            const Version currents[] = { Version(), Version(QStringLiteral("1.0.0")),
                releases.first().version, releases.last().version,
                std::max_element(releases.begin(), releases.end())->version };
            for (const Version &current : currents)
                checkResolution(catalogue, name, current);
        }
        Version newVersion;
        QString changelog;
        FUZZ_CHECK(!MZU::updateVersion(
            catalogue, QStringLiteral("\1absent"), Version(), newVersion, changelog));
    }
    return 0;
}
