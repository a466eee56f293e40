// SPDX-License-Identifier: MIT
// The updater's memory and schedule: automatic checks, a server's pause, the version skipped.
#include "mzupdater.h"

#include "download/download_p.h"
#include "download/signature_p.h"

#include <QDateTime>
#include <QSettings>
#include <QTimer>

namespace {

const QString lastCheckKey = QStringLiteral("mzupdater/lastCheck");
const QString skippedKey = QStringLiteral("mzupdater/skippedVersion");
// One check an hour is the most a server should get from one install.
constexpr int shortestInterval = 3600;
// The longest pause a server's Retry-After obtains.
constexpr qint64 longestPause = 7 * 24 * 60 * 60;
// The timer is armed for an hour at most, then the wall clock is read again: a machine's
// timers stand still while it sleeps, and its clock may be set.
constexpr qint64 longestArmMs = 60 * 60 * 1000;

// The time of the last check stored, in seconds since 1970; -1 when none can be read.
qint64 storedLastCheck()
{
    const QVariant value = QSettings().value(lastCheckKey);
    const QDateTime when = value.userType() == QMetaType::QDateTime
        ? value.toDateTime()
        : QDateTime::fromString(value.toString(), Qt::ISODate);
    return when.isValid() ? when.toSecsSinceEpoch() : -1;
}

} // namespace

void MzUpdater::checkStarted()
{
    // Automatic or not, a check counts from its start.
    QSettings().setValue(lastCheckKey, MZU::Internal::utcText(MZU::Internal::secondsNow()));
    schedule();
}

void MzUpdater::checkEnded(qint64 retryAfter)
{
    // A server that asked for a pause gets it, within reason; any other answer ends the pause.
    notBefore = retryAfter > 0 ? qMin(retryAfter, MZU::Internal::secondsNow() + longestPause) : 0;
    schedule();
}

QString MzUpdater::currentVersion() const
{
    return currentText;
}

void MzUpdater::setCheckInterval(int seconds)
{
    if (seconds != 0 && seconds < shortestInterval) {
        qCWarning(MZU::Internal::lcMzupdater).noquote()
            << QStringLiteral("Check interval of %1 s raised to %2 s: one check an hour is the "
                              "most a server should get from one install")
                   .arg(seconds)
                   .arg(shortestInterval);
        seconds = shortestInterval;
    }
    interval = seconds;
    schedule();
}

int MzUpdater::checkInterval() const
{
    return interval;
}

qint64 MzUpdater::msUntilDue() const
{
    const qint64 now = MZU::Internal::secondsNow();
    const qint64 last = storedLastCheck();
    // Never checked, or a clock that was wrong: at once.
    qint64 due = last < 0 || last > now ? now : last + interval;
    due = qMax(due, notBefore);
    if (due <= now)
        return 0;
    // Counted in milliseconds from the real clock where it runs, so that a wait is not a
    // second longer than asked.
    const qint64 nowMs =
        MZU::Internal::nowOverride != 0 ? now * 1000 : QDateTime::currentMSecsSinceEpoch();
    return qMax<qint64>(1, due * 1000 - nowMs);
}

void MzUpdater::schedule()
{
    if (interval == 0) {
        scheduler->stop();
        return;
    }
    scheduler->start(int(qMin(msUntilDue(), longestArmMs)));
}

void MzUpdater::automaticCheck()
{
    if (interval == 0 || running)
        return; // the running check arms the timer again as it ends
    if (msUntilDue() > 0)
        schedule(); // an hour's step of a longer wait
    else
        checkUpdates();
}

void MzUpdater::skipVersion(const QString &version)
{
    QSettings settings;
    if (version.isEmpty()) {
        settings.remove(skippedKey);
        return;
    }
    MZU::Version parsed;
    if (!parsed.fromString(version) || parsed.isNull()) {
        qCWarning(MZU::Internal::lcMzupdater).noquote()
            << QStringLiteral("Cannot skip \"%1\" - not a version (MAJOR.MINOR.PATCH[-suffix])")
                   .arg(MZU::Internal::printable(version));
        return;
    }
    settings.setValue(skippedKey, version);
}

QString MzUpdater::skippedVersion() const
{
    return QSettings().value(skippedKey).toString();
}
