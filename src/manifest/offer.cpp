// SPDX-License-Identifier: MIT
#include "offer_p.h"

#include "manifest_p.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRegularExpression>
#include <QTimeZone>
#include <QtEndian>

#include <cmath>

namespace MZU {
namespace Internal {
namespace {

constexpr qint64 daySeconds = 24 * 60 * 60;

// "YYYY-MM-DDTHH:MM:SSZ" in seconds since 1970, or false.
bool utcMoment(const QVariant &text, qint64 &seconds)
{
    static const QRegularExpression form(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})Z\\z"));
    const QRegularExpressionMatch match = text.userType() == QMetaType::QString
        ? form.match(text.toString())
        : QRegularExpressionMatch();
    if (!match.hasMatch())
        return false;
    const auto number = [&](int i) { return match.captured(i).toInt(); };
    const QDate date(number(1), number(2), number(3));
    const QTime time(number(4), number(5), number(6));
    if (!date.isValid() || !time.isValid())
        return false;
    seconds = QDateTime(date, time, QTimeZone::utc()).toSecsSinceEpoch();
    return true;
}

// The newest entry of each key, placed where the key first appeared.
template <typename Entry, typename Key> QList<Entry> newestOf(const QList<Entry> &entries, Key key)
{
    QList<Entry> newest;
    QHash<QString, int> at;
    for (const Entry &entry : entries) {
        const QString k = key(entry);
        const auto found = at.constFind(k);
        if (found == at.constEnd()) {
            at.insert(k, int(newest.size()));
            newest.append(entry);
        } else if (!(entry.version < newest.at(*found).version))
            newest[*found] = entry;
    }
    return newest;
}

} // namespace

bool isCritical(const QVariantHash &release)
{
    const QVariant critical = release.value(QStringLiteral("critical"));
    return critical.userType() == QMetaType::Bool && critical.toBool();
}

Rollout rolloutOf(const QVariantHash &release, const Version &version, const QString &installId)
{
    Rollout rollout;
    const auto member = release.constFind(QStringLiteral("rollout"));
    if (member == release.constEnd())
        return rollout;
    rollout.present = true;
    const QVariantMap object = member->toMap();
    const QVariant days = object.value(QStringLiteral("days"));
    qint64 start = 0;
    const bool numeric = days.userType() == QMetaType::Double
        || days.userType() == QMetaType::LongLong || days.userType() == QMetaType::Int;
    if (member->userType() != QMetaType::QVariantMap || !numeric || !(days.toDouble() >= 0)
        || !std::isfinite(days.toDouble())
        || !utcMoment(object.value(QStringLiteral("start")), start)) {
        rollout.malformed = true;
        return rollout;
    }
    const QByteArray digest = QCryptographicHash::hash(
        (installId + QLatin1Char('/') + version.toString()).toUtf8(), QCryptographicHash::Sha256);
    const double share =
        double(qFromBigEndian<quint64>(digest.constData())) / 18446744073709551616.0;
    const double span = days.toDouble() * daySeconds;
    rollout.installAt = start + qint64(std::floor(share * span));
    rollout.everyoneAt = start + qint64(std::ceil(span));
    return rollout;
}

bool heldBack(const ApplicationInfo &release, const QString &installId, qint64 now)
{
    if (isCritical(release.values))
        return false;
    const Rollout rollout = rolloutOf(release.values, release.version, installId);
    return rollout.present && (rollout.malformed || now < rollout.installAt);
}

Offer makeOffer(const QJsonDocument &manifest, const Catalogue &catalogue, const QString &appName,
    const Version &current, const QString &os, const QString &installId, qint64 now)
{
    Offer offer;
    Catalogue reached; // what this install sees now
    for (const ApplicationInfo &release : catalogue.values(appName))
        if (!heldBack(release, installId, now))
            reached.insert(appName, release);
    if (!updateVersion(reached, appName, current, offer.version, offer.changelog))
        return offer;
    for (const ApplicationInfo &release : reached.values(appName)) {
        if (release.version == offer.version && offer.values.isEmpty())
            offer.values = release.values;
        // Passed over on the way, yet still needed.
        if (current < release.version && release.version <= offer.version
            && isCritical(release.values))
            offer.critical = true;
    }
    offer.files = newestOf(
        getFileUpdates(manifest, appName, current, offer.version, os), [](const UpdateFile &file) {
            QString key = file.values.value(QStringLiteral("location")).toString();
            key.append(QLatin1Char('\n'));
            return key.append(file.values.value(QStringLiteral("filename")).toString());
        });
    offer.settings = newestOf(getSettingUpdates(manifest, appName, current, offer.version, os),
        [](const SettingValue &setting) { return setting.key; });
    for (const UpdateFile &file : qAsConst(offer.files)) {
        const qint64 size = fileDigest(file.values).size;
        if (size < 0) {
            offer.downloadSize = -1;
            break;
        }
        offer.downloadSize += size;
    }
    return offer;
}

} // namespace Internal
} // namespace MZU
