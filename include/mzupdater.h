#ifndef MZUPDATER_H
#define MZUPDATER_H

#include "mzu.h"
#include "mzupdater_export.h"

#include <QFutureWatcher>
#include <QJsonDocument>
#include <QObject>
#include <QString>

/// Checks whether a newer release of the running application is published.
///
/// The manifest address is read from "URL/Versions" in the maintenance tool's
/// "maintenancetool.ini", else a built-in address is used. The download runs on Qt's
/// global thread pool; results arrive as signals on the thread that created the updater,
/// which must run an event loop. A failed check emits nothing; the reason goes to
/// qWarning().
class MZUPDATER_EXPORT MzUpdater : public QObject
{
    Q_OBJECT

public:
    /// @p currentVersion is the running release, as text ("1.2.3" or "1.2.3-suffix").
    explicit MzUpdater(const QString &currentVersion, QObject *parent = nullptr);
    /// Waits for a running download to be delivered, processing events meanwhile, so the
    /// signals of that check may still be emitted from here.
    ~MzUpdater() override;

Q_SIGNALS:
    /// A newer release @p newver is offered; @p changelog holds the change logs of the
    /// releases it brings, newest first.
    void updateAvailable(const QString &newver, const QString &changelog);
    /// A manifest was downloaded and recognised; emitted before updateAvailable().
    void checked();

public Q_SLOTS:
    /// Starts one check and returns at once. Refused, with a warning, while one runs.
    void checkUpdates();

private Q_SLOTS:
    void asyncFinished(); // a slot, so that it can be connected by name

private:
    QFutureWatcher<QJsonDocument> watcher;
    MZU::Version currentVersion;
};

#endif // MZUPDATER_H
