// SPDX-License-Identifier: MIT
#include "rules/linter.h"

#include "manifest/offer_p.h"

void Linter::releases()
{
    // Releases with a suffix that reads as a pre-release.
    struct Read
    {
        int index;
        QString pair; // name and platform
        Version version;
    };
    QVector<Read> preReleases;
    const QRegularExpression preRelease(QStringLiteral("^(alpha|beta|rc|pre|preview|dev)"),
        QRegularExpression::CaseInsensitiveOption);
    for (int i = 0; i < list.size(); ++i) {
        if (!list.at(i).isObject()) {
            add(appsPointer(i), Rule::NotObject,
                QStringLiteral("element is %1, not an object; it is ignored")
                    .arg(typeOf(list.at(i))));
            continue;
        }
        const QJsonObject entry = list.at(i).toObject();
        const QJsonValue osValue = entry.value(QLatin1String("os"));
        const QString os = osValue.toString();
        if (osValue.isArray())
            continue;
        if (os.isEmpty()) {
            add(appsPointer(i) + "/os", Rule::UnusableMember,
                notText(QStringLiteral("os"), osValue)
                    + QLatin1String(": no host reads this entry (a release entry needs a "
                                    "platform name, an application entry an array)"));
            misnamed(appsPointer(i), entry, Members::Release);
            continue;
        }
        release(i, entry);
        const QString name = entry.value(QLatin1String("name")).toString();
        const Version version(entry.value(QLatin1String("version")).toString());
        const QVector<SkipReason> skips = releaseSkips(name, version);
        for (const SkipReason &reason : skips) {
            if (reason.skip == Skip::EmptyName)
                add(appsPointer(i) + "/name", Rule::UnusableMember,
                    notText(QStringLiteral("name"), entry.value(QLatin1String("name")))
                        + "; the release is ignored");
            else
                nullVersion(appsPointer(i) + "/version", entry.value(QLatin1String("version")),
                    QStringLiteral("the release is ignored"));
        }
        if (!skips.isEmpty())
            continue;
        const QString pair = name + '\n' + os;
        const QString written = version.toString();
        if (const QString meant = misspeltPlatform(os); !meant.isEmpty()) {
            QHash<QString, int> &misplaced = misplacedOf[name + '\n' + meant];
            if (!misplaced.contains(written))
                misplaced.insert(written, i);
        }
        QHash<QString, int> &versions = releasesOf[pair];
        const auto first = versions.constFind(written);
        if (first != versions.cend()) {
            add(appsPointer(i) + "/version", Rule::DuplicateRelease,
                QStringLiteral("%1 %2 for %3 is listed twice (also at %4); which one's change "
                               "log and tip count is left to chance")
                    .arg(inQuotes(name), written, os, appsPointer(first.value())));
            continue;
        }
        versions.insert(written, i);
        if (!version.suffix.isEmpty() && preRelease.match(version.suffix).hasMatch())
            preReleases.append({ i, pair, version });
    }

    // Unlike semantic versioning, a suffix sorts after the plain release.
    for (const Read &read : qAsConst(preReleases)) {
        Version plain = read.version;
        plain.suffix.clear();
        if (releasesOf.value(read.pair).contains(plain.toString()))
            add(appsPointer(read.index) + "/version", Rule::SuffixOrder,
                QStringLiteral("%1-%2 sorts after %1 (a suffix comes after the plain release, "
                               "unlike in semantic versioning): hosts on %1 are offered it")
                    .arg(plain.toString(), read.version.suffix));
    }
}

void Linter::release(int i, const QJsonObject &entry)
{
    const QString at = appsPointer(i);
    platform(at + "/os", entry.value(QLatin1String("os")).toString());
    misnamed(at, entry, Members::Release);
    misread(at + "/version", entry.value(QLatin1String("version")));
    const QJsonValue critical = entry.value(QLatin1String("critical"));
    if (!critical.isUndefined() && !critical.isBool())
        add(at + "/critical", Rule::CriticalNotBoolean,
            QStringLiteral("\"critical\" is %1, not true or false: hosts do not treat this "
                           "release as critical")
                .arg(shortJson(critical)));
    const QJsonValue rollout = entry.value(QLatin1String("rollout"));
    if (!rollout.isUndefined() && rolloutOf(entry.toVariantHash(), Version(), QString()).malformed)
        add(at + "/rollout", Rule::RolloutMalformed,
            QStringLiteral("\"rollout\" is %1: hosts hold this release back from every install "
                           "(it needs \"start\" as YYYY-MM-DDTHH:MM:SSZ and \"days\" as a "
                           "number of 0 or more)")
                .arg(shortJson(rollout)));

    const QJsonValue tip = entry.value(QLatin1String("tip"));
    const QJsonValue log = entry.value(QLatin1String("changelog"));
    const QString tipText = tip.toString().trimmed().toLower();
    const bool meant = tip.isDouble() ? tip.toDouble() != 0
                                      : QStringList { "true", "yes", "1", "on" }.contains(tipText);
    if (!meant && (log.isUndefined() || log.isString()))
        return; // nothing the resolution could read otherwise than it seems

    const QVariantHash values = entry.toVariantHash();
    if (meant && !marksTip(values))
        add(at + "/tip", Rule::TipNotMarked,
            QStringLiteral("\"tip\" is %1, which does not mark a tip (only true or \"true\" "
                           "do); hosts walk past this release")
                .arg(shortJson(tip)));
    if (!log.isUndefined() && !log.isString() && changelogOf(values).isEmpty())
        add(at + "/changelog", Rule::ValueNotText,
            QStringLiteral("\"changelog\" is %1 and reads as empty text").arg(typeOf(log)));
}
