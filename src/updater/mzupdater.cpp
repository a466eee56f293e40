// SPDX-License-Identifier: MIT
#include "mzupdater.h"

#include "download/download_p.h"
#include "download/signature_p.h"
#include "manifest/manifest_p.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFutureInterface>
#include <QJsonObject>
#include <QPointer>
#include <QSettings>
#include <QThread>
#include <QThreadPool>
#include <QUrl>

namespace {

const QString stillRunning = QStringLiteral("Updagter async task is still running - wait");

// The value of "Versions" in "[URL]" as written. QSettings splits an unquoted value at
// commas and trims the pieces, so joining them back could not restore "a, b".
QString rawAddress(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    QString value;
    bool inUrl = false;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString &rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inUrl = line == QLatin1String("[URL]");
            continue;
        }
        const int equals = int(line.indexOf(QLatin1Char('=')));
        if (inUrl && equals > 0 && line.left(equals).trimmed() == QLatin1String("Versions")) {
            const QString text = line.mid(equals + 1);
            const int comment = int(text.indexOf(QLatin1Char(';'))); // as QSettings reads it
            value = (comment < 0 ? text : text.left(comment)).trimmed();
        }
    }
    return value;
}

// "URL/Versions" in the maintenance tool's settings, else the empty text.
QString installedAddress()
{
    const QString settingsPath =
        QFileInfo(MZU::maintenanceToolPath(QCoreApplication::instance())).absolutePath()
        + QLatin1String("/maintenancetool.ini");
    if (!QFile::exists(settingsPath))
        return QString();
    QSettings settings(settingsPath, QSettings::IniFormat);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    settings.setIniCodec("UTF-8"); // Qt 6 reads UTF-8 already
#endif
    const QVariant value = settings.value(QStringLiteral("URL/Versions"));
    if (value.userType() == QMetaType::QStringList)
        return rawAddress(settingsPath);
    return value.toString();
}

} // namespace

MzUpdater::MzUpdater(const QString &currentVersion, QObject *parent)
    : QObject(parent)
    , watcher(this)
    , currentVersion(currentVersion)
{
    connect(&watcher, SIGNAL(finished()), this, SLOT(asyncFinished()));
    MZU::Version parsed;
    if (!parsed.fromString(currentVersion) || parsed.isNull())
        qCWarning(MZU::Internal::lcMzupdater).noquote()
            << MZU::Internal::logLine("Current version ", currentVersion,
                   " is not a version (MAJOR.MINOR.PATCH[-suffix]); every release will look newer");
}

// Nothing here may reach the host: it may be half destroyed (we are its child), and its
// application object may be gone. So: no events run, no signal, and a bounded wait.
MzUpdater::~MzUpdater()
{
    const QFuture<Outcome> future = watcher.future();
    if (future.isFinished())
        return; // idle, or the result is in and simply not delivered
    watcher.disconnect(this);
    cancel->store(true);
    QElapsedTimer clock;
    clock.start();
    // The transfer stops within a few tens of milliseconds. Parsing a large body cannot be
    // interrupted; then the task finishes on its own, holding nothing of ours.
    for (int pass = 1; pass <= 3 && !future.isFinished(); ++pass) {
        qCWarning(MZU::Internal::lcMzupdater).noquote() << stillRunning;
        while (!future.isFinished() && clock.elapsed() < qMin(pass * 100, 250))
            QThread::msleep(2);
    }
}

void MzUpdater::setManifestAddress(const QString &address)
{
    const QUrl url(address, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!address.isEmpty()
        && (!url.isValid() || url.host().isEmpty()
            || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))) {
        qCWarning(MZU::Internal::lcMzupdater).noquote()
            << QStringLiteral("Manifest address %1 refused - not an http or https URL; the "
                              "address stays %2")
                   .arg(address, manifestAddress());
        return;
    }
    chosenAddress = address;
}

QString MzUpdater::manifestAddress() const
{
    if (!chosenAddress.isEmpty())
        return chosenAddress;
    const QString installed = installedAddress();
    return installed.isEmpty() ? QStringLiteral(MZUPDATER_DEFAULT_MANIFEST_URL) : installed;
}

void MzUpdater::checkUpdates()
{
    // Called while the application object is destroyed, or once it is gone (from the
    // destructor of an object it owned, say): there is no pool to run the check on, nor a
    // loop to deliver it.
    if (!QCoreApplication::instance() || QCoreApplication::closingDown()
        || !QThreadPool::globalInstance()) {
        qCWarning(MZU::Internal::lcMzupdater) << "Cannot check for updates - no application object";
        return;
    }
    const QString address = manifestAddress();
    if (watcher.isRunning()) {
        qCWarning(MZU::Internal::lcMzupdater) << "Cannot check for updates - busy";
        return;
    }
    cancel = std::make_shared<std::atomic_bool>(false);
    QFutureInterface<Outcome> promise;
    promise.reportStarted();
    watcher.setFuture(promise.future());
    QThreadPool::globalInstance()->start(
        [promise, address, appName = QCoreApplication::applicationName(), current = currentVersion,
            token = cancel]() mutable {
            // Torn down once the host has its answer: freeing a large document and its
            // catalogue takes a while, and the manager's destructor joins its network thread.
            // None of them is shared with any other check.
            MZU::Internal::Session session(token, true);
            QJsonDocument manifest;
            MZU::Catalogue catalogue;
            promise.reportResult(check(session, address, appName, current, manifest, catalogue));
            promise.reportFinished();
        });
}

// On the pool thread: all the work that grows with the manifest. The caller keeps the
// document and the catalogue, and tears them and @p session down after reporting, still on
// the pool thread.
MzUpdater::Outcome MzUpdater::check(MZU::Internal::Session &session, const QString &address,
    const QString &appName, const MZU::Version &current, QJsonDocument &manifest,
    MZU::Catalogue &catalogue)
{
    Outcome outcome;
    const MZU::Internal::Downloaded downloaded =
        MZU::Internal::download(session, address, MZU::Internal::defaultTransferTimeoutMs);
    manifest = downloaded.document;
    if (!downloaded.failure.isEmpty()) {
        outcome.failure = downloaded.failure;
        return outcome;
    }
    if (!MZU::isManifest(manifest)) {
        const QJsonValue name = manifest.object().value(QLatin1String("name"));
        const QString why = manifest.isArray() ? QStringLiteral("its root is an array")
            : name.isUndefined()               ? QStringLiteral("its root has no \"name\"")
            : !name.isString()                 ? QStringLiteral("its root \"name\" is not text")
                               : QStringLiteral("its root \"name\" is \"%1\"").arg(name.toString());
        outcome.failure = QStringLiteral("Cannot read %1 - not a \"Versions.json\" document: %2")
                              .arg(address, why);
        qCWarning(MZU::Internal::lcMzupdater).noquote() << outcome.failure;
        return outcome;
    }
    if (session.token()->load())
        return outcome; // stopped: nobody waits for the answer, and the exit waits for us
    MZU::Internal::rememberSequence(address, downloaded.sequence); // the manifest is accepted
    outcome.checked = true;
    catalogue = MZU::Internal::getApplications(manifest, MZU::osString());
    MZU::Version newVersion;
    if (MZU::updateVersion(catalogue, appName, current, newVersion, outcome.changelog))
        outcome.newver = newVersion.toString();
    return outcome;
}

void MzUpdater::asyncFinished()
{
    const QFuture<Outcome> future = watcher.future();
    if (future.resultCount() < 1)
        return; // canceled or never started: there is nothing to read
    const Outcome outcome = future.resultAt(0);
    if (!outcome.checked) {
        Q_EMIT checkFailed(outcome.failure);
        return;
    }
    QPointer<MzUpdater> self(this);
    Q_EMIT checked();
    if (!self)
        return; // the host deleted us from its slot
    if (!outcome.newver.isEmpty())
        Q_EMIT updateAvailable(outcome.newver, outcome.changelog);
}
