// SPDX-License-Identifier: MIT
#ifndef MZUPDATER_H
#define MZUPDATER_H

#include "mzu.h"
#include "mzupdater_export.h"

#include <QFutureWatcher>
#include <QJsonDocument>
#include <QObject>
#include <QString>

#include <memory>

QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

/// Checks whether a newer release of the running application is published.
///
/// The manifest address is the one set with setManifestAddress(), else "URL/Versions" in
/// the maintenance tool's "maintenancetool.ini", else a built-in address. The download runs on
/// the updater's thread without blocking it, and only the parse goes to Qt's global thread
/// pool, one manifest at a time in the process; results arrive as signals on the thread that
/// created the updater, which must run an event loop. A failed check emits checkFailed() with the
/// reason it also logged as a warning of the category "mzupdater" (a host may filter it out with
/// QLoggingCategory::setFilterRules("mzupdater.warning=false")).
class MZUPDATER_EXPORT MzUpdater : public QObject
{
    Q_OBJECT

public:
    /// @p currentVersion is the running release, as text ("1.2.3" or "1.2.3-suffix").
    explicit MzUpdater(const QString &currentVersion, QObject *parent = nullptr);
    /// Stops a running check and returns at once, or within 300 ms while a manifest is being
    /// parsed; emits nothing, runs no events.
    ~MzUpdater() override;

    /// Checks @p address from the next checkUpdates() on, before the maintenance tool's
    /// settings and the built-in address; an empty address restores those. An address that
    /// is not an http or https URL is refused with a warning, and the previous one stays.
    void setManifestAddress(const QString &address);
    /// The address the next check will use.
    QString manifestAddress() const;
    /// True from checkUpdates() until the check's signals have been emitted or it is canceled.
    bool isChecking() const;
    /// What the last finished check offered (a null version: up to date), ready when checked()
    /// arrives and kept until the next check starts; empty before.
    MZU::Offer offer() const;
    /// The id that places this install in gradual rollouts. By default a random UUID made at
    /// first need and kept with QSettings (the application's organisation and name) under
    /// "mzupdater/installId"; one set here is used instead, and not stored.
    void setInstallId(const QString &id);
    QString installId() const;
    /// The running release, as given to the constructor.
    QString currentVersion() const;

    /// Checks by itself every @p seconds while the updater lives; 0, the default, leaves
    /// checking to checkUpdates(). A value below 3600 (other than 0) is raised to 3600, with a
    /// warning. The first check starts at once (from the event loop, so that an address set
    /// and signals connected in the same function count) when the last check is at least one
    /// interval ago, when there was none, or when its time lies in the future; else when the
    /// interval is over. The time of the last check, automatic or not, is kept with QSettings
    /// under "mzupdater/lastCheck" (ISO 8601, UTC). A check that failed with HTTP 429 or 503
    /// and a Retry-After puts the next automatic one off until then, 7 days at most. An
    /// automatic check is an ordinary checkUpdates(); while one runs, it waits its next turn.
    /// The interval itself is not stored.
    void setCheckInterval(int seconds);
    int checkInterval() const;

    /// After this, a check whose offer is @p version or older emits checked() (and offer()
    /// holds it) but not updateAvailable(), unless the offer is critical. Kept with QSettings
    /// under "mzupdater/skippedVersion"; an empty text forgets it. A text that is not a version
    /// is refused with a warning.
    void skipVersion(const QString &version);
    /// The version skipped, or the empty text.
    QString skippedVersion() const;

Q_SIGNALS:
    /// A newer release @p newver is offered; @p changelog holds the change logs of the
    /// releases it brings, newest first. Not emitted for a skipped version (see skipVersion()).
    void updateAvailable(const QString &newver, const QString &changelog);
    /// A manifest was downloaded and recognised; emitted before updateAvailable().
    void checked();
    /// A started check ended without checked(); @p reason is the warning it logged.
    void checkFailed(const QString &reason);

public Q_SLOTS:
    /// Starts one check and returns at once. Refused, with a warning, while one runs.
    void checkUpdates();
    /// Abandons the running check, which then emits nothing, so that checkUpdates() may start
    /// another at once (after setManifestAddress(), say). Returns without waiting.
    void cancel();

private Q_SLOTS:
    void asyncFinished(); // a slot, so that it can be connected by name

private:
    // What a check hands back from the pool thread: the manifest itself never leaves it.
    struct Outcome
    {
        QString failure; // the warning logged, when the check failed
        bool checked = false;
        MZU::Offer offer;
        qint64 retryAfter = 0; // a 429 or 503 asked to wait until then (seconds since 1970)
    };
    struct Running; // the check in flight

    // The schedule of automatic checks (schedule.cpp).
    void checkStarted(); // remembers its time; the next automatic check is an interval on
    void checkEnded(qint64 retryAfter); // a server's pause, if it asked for one
    qint64 msUntilDue() const; // until the next automatic check may start
    void schedule(); // arms the timer for the next automatic check
    void automaticCheck();

    QFutureWatcher<Outcome> watcher;
    MZU::Version current;
    QString currentText; // as given
    QString chosenAddress; // set by the host; empty: the settings, else the built-in one
    QString chosenInstallId; // set by the host; empty: the stored one
    MZU::Offer lastOffer;
    std::shared_ptr<Running> running;
    QTimer *scheduler; // single-shot, armed for the next automatic check
    int interval = 0; // seconds; 0: no automatic checks
    qint64 notBefore = 0; // a server's Retry-After, at most 7 days on (seconds since 1970)
};

#endif // MZUPDATER_H
