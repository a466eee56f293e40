#include "mzupdater.h"

#include "downloadjson.h"
#include "manifest/manifest_p.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QPointer>
#include <QSettings>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

MzUpdater::MzUpdater(const QString &currentVersion, QObject *parent)
    : QObject(parent)
    , watcher(this)
    , currentVersion(currentVersion)
{
    connect(&watcher, SIGNAL(finished()), this, SLOT(asyncFinished()));
}

MzUpdater::~MzUpdater()
{
    while (!watcher.isFinished()) {
        qWarning() << "Updagter async task is still running - wait";
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::msleep(100);
    }
    // Qt 6's watcher reports finished as soon as the task is, before its finished() signal
    // has been delivered; deliver it here so that the result is not lost. Waiting first
    // makes sure the task has posted it. Qt 5 has delivered it already: nothing happens.
    watcher.waitForFinished();
    QCoreApplication::sendPostedEvents(&watcher);
}

void MzUpdater::checkUpdates()
{
    QString address = QStringLiteral(MZUPDATER_DEFAULT_MANIFEST_URL);
    const QString settingsPath =
        QFileInfo(MZU::maintenanceToolPath(QCoreApplication::instance())).absolutePath()
        + QLatin1String("/maintenancetool.ini");
    if (QFile::exists(settingsPath)) {
        QSettings settings(settingsPath, QSettings::IniFormat, this);
        const QString configured =
            settings.value(QStringLiteral("URL/Versions"), QString()).toString();
        if (!configured.isEmpty())
            address = configured;
    }

    if (watcher.isRunning()) {
        qWarning() << "Cannot check for updates - busy";
        return;
    }
    watcher.setFuture(QtConcurrent::run(
        QThreadPool::globalInstance(), [address] { return downloadJSon(address); }));
}

void MzUpdater::asyncFinished()
{
    const QFuture<QJsonDocument> future = watcher.future();
    if (future.resultCount() < 1)
        return; // canceled or never started: there is nothing to read
    const QJsonDocument manifest = future.resultAt(0);
    if (manifest.isNull())
        return;
    if (!MZU::Internal::isManifest(manifest))
        return;

    const QMultiHash<QString, MZU::ApplicationInfo> catalogue = MZU::getApplications(manifest);
    QPointer<MzUpdater> self(this);
    Q_EMIT checked();
    if (!self)
        return; // the host deleted us from its slot

    MZU::Version newVersion;
    QString changelog;
    if (MZU::updateVersion(
            catalogue, QCoreApplication::applicationName(), currentVersion, newVersion, changelog))
        Q_EMIT updateAvailable(newVersion.toString(), changelog);
}
