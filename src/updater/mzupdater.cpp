// SPDX-License-Identifier: MIT
#include "mzupdater.h"

#include "download/download_p.h"
#include "download/signature_p.h"
#include "manifest/manifest_p.h"
#include "manifest/offer_p.h"

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
#include <QTimer>
#include <QUrl>
#include <QUuid>

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

// The address a check uses, and where it came from.
QPair<QString, const char *> addressAndSource(const QString &chosen)
{
    if (!chosen.isEmpty())
        return { chosen, "setManifestAddress()" };
    const QString installed = installedAddress();
    if (!installed.isEmpty())
        return { installed, "maintenancetool.ini" };
    return { QStringLiteral(MZUPDATER_DEFAULT_MANIFEST_URL), "the built-in address" };
}

} // namespace

MzUpdater::MzUpdater(const QString &currentVersion, QObject *parent)
    : QObject(parent)
    , watcher(this)
    , current(currentVersion)
    , currentText(currentVersion)
    , scheduler(new QTimer(this))
{
    connect(&watcher, SIGNAL(finished()), this, SLOT(asyncFinished()));
    scheduler->setSingleShot(true);
    connect(scheduler, &QTimer::timeout, this, &MzUpdater::automaticCheck);
    MZU::Version parsed;
    if (!parsed.fromString(currentVersion) || parsed.isNull())
        qCWarning(MZU::Internal::lcMzupdater).noquote()
            << MZU::Internal::logLine("Current version ", currentVersion,
                   " is not a version (MAJOR.MINOR.PATCH[-suffix]); every release will look newer");
}

namespace {

// What a check shares with its parse on the pool, which may outlive the updater.
struct Flags
{
    std::atomic_bool abandoned { false };
    std::atomic_bool parsing { false };
};

} // namespace

struct MzUpdater::Running
{
    QFutureInterface<Outcome> promise;
    std::shared_ptr<Flags> flags = std::make_shared<Flags>();
    // Never destroyed from their own callbacks: only with the next check or the updater.
    std::unique_ptr<MZU::Internal::Transfer> manifest;
    std::unique_ptr<MZU::Internal::Transfer> signature;

    // What the job needs of the updater, copied as the check starts.
    struct Question
    {
        QString address;
        QString appName;
        MZU::Version current;
        QString installId;
    };
    static Outcome evaluate(const Question &question, const MZU::Internal::Fetched &fetched,
        const MZU::Internal::Fetched *signature);
};

// On the pool thread: all the work that grows with the manifest, which is freed before the
// next parse may start.
MzUpdater::Outcome MzUpdater::Running::evaluate(const Question &question,
    const MZU::Internal::Fetched &fetched, const MZU::Internal::Fetched *signature)
{
    const QString &address = question.address;
    Outcome outcome;
    const MZU::Internal::Downloaded downloaded =
        MZU::Internal::readManifest(address, fetched, signature);
    const QJsonDocument &manifest = downloaded.document;
    if (!downloaded.failure.isEmpty()) {
        outcome.failure = downloaded.failure;
        return outcome;
    }
    if (!MZU::isManifest(manifest)) {
        const QJsonValue name = manifest.object().value(QLatin1String("name"));
        const QString why = manifest.isArray() ? QStringLiteral("its root is an array")
            : name.isUndefined()               ? QStringLiteral("its root has no \"name\"")
            : !name.isString()                 ? QStringLiteral("its root \"name\" is not text")
                                               : QStringLiteral("its root \"name\" is \"%1\"")
                                     .arg(MZU::Internal::printable(name.toString()));
        outcome.failure = QStringLiteral("Cannot read %1 - not a \"Versions.json\" document: %2")
                              .arg(MZU::Internal::shownAddress(address), why);
        qCWarning(MZU::Internal::lcMzupdater).noquote() << outcome.failure;
        return outcome;
    }
    if (!QCoreApplication::instance())
        return outcome; // the application is leaving, and waits for the pool
    MZU::Internal::rememberSequence(address, downloaded.sequence); // the manifest is accepted
    outcome.checked = true;
    const QString os = MZU::osString();
    outcome.offer = MZU::Internal::makeOffer(manifest, MZU::Internal::getApplications(manifest, os),
        question.appName, question.current, os, question.installId, MZU::Internal::secondsNow());
    outcome.offer.address = address;
    return outcome;
}

// Nothing here may reach the host: it may be half destroyed (we are its child), and its
// application object may be gone. So: no events run, no signal, and a bounded wait.
MzUpdater::~MzUpdater()
{
    if (!running || watcher.future().isFinished())
        return; // idle, or the result is in and simply not delivered
    watcher.disconnect(this);
    const std::shared_ptr<Flags> flags = running->flags;
    flags->abandoned = true;
    running.reset(); // aborts a transfer, calling nothing
    qCWarning(MZU::Internal::lcMzupdater).noquote() << stillRunning;
    // A parse cannot be interrupted; it finishes on its own, holding nothing of ours.
    QElapsedTimer clock;
    clock.start();
    for (int pass = 2; pass <= 3 && flags->parsing; ++pass) {
        while (flags->parsing && clock.elapsed() < qMin(pass * 100, 250))
            QThread::msleep(2);
        if (flags->parsing)
            qCWarning(MZU::Internal::lcMzupdater).noquote() << stillRunning;
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
                   .arg(MZU::Internal::shownAddress(address),
                       MZU::Internal::shownAddress(manifestAddress()));
        return;
    }
    chosenAddress = address;
}

QString MzUpdater::manifestAddress() const
{
    return addressAndSource(chosenAddress).first;
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
    const QString installed = chosenAddress.isEmpty() ? installedAddress() : QString();
    const QString address = manifestAddress();
    qCDebug(MZU::Internal::lcMzupdater).noquote()
        << "Checking" << MZU::Internal::shownAddress(address) << "from"
        << (!chosenAddress.isEmpty()      ? "setManifestAddress()"
                   : !installed.isEmpty() ? "maintenancetool.ini"
                                          : "the built-in address");
    if (watcher.isRunning()) {
        qCWarning(MZU::Internal::lcMzupdater) << "Cannot check for updates - busy";
        return;
    }
    QNetworkAccessManager *network = MZU::Internal::threadManager();
    lastOffer = MZU::Offer();
    checkStarted();
    running = std::make_shared<Running>();
    Running *check = running.get();
    check->promise.reportStarted();
    watcher.setFuture(check->promise.future());

    const auto finish = [check](const Outcome &outcome) {
        check->promise.reportResult(outcome);
        check->promise.reportFinished();
    };
    // Queued behind any other parse in the process; the updater may be gone by its turn.
    const Running::Question question { address, QCoreApplication::applicationName(), current,
        installId() };
    const auto parse = [check, question](const MZU::Internal::Fetched &manifest,
                           const MZU::Internal::Fetched *signature) {
        MZU::Internal::ParseGate::run(
            [promise = check->promise, flags = check->flags, question, manifest,
                signature = signature ? *signature : MZU::Internal::Fetched(),
                signedOnly = signature != nullptr]() mutable {
                Outcome outcome;
                // Nobody waits for it, or the application is leaving and waits for the pool.
                if (!flags->abandoned && QCoreApplication::instance()) {
                    flags->parsing = true;
                    outcome =
                        Running::evaluate(question, manifest, signedOnly ? &signature : nullptr);
                    flags->parsing = false;
                }
                promise.reportResult(outcome);
                promise.reportFinished();
            });
    };
    const int timeout = MZU::Internal::defaultTransferTimeoutMs;
    check->manifest = std::make_unique<MZU::Internal::Transfer>(*network, address, timeout,
        MZU::Internal::maximumManifestSize,
        [network, check, address, finish, parse, timeout](const MZU::Internal::Fetched &manifest) {
            if (manifest.outcome != MZU::Internal::Fetched::Received) {
                Outcome outcome;
                outcome.failure = MZU::Internal::readManifest(address, manifest, nullptr).failure;
                outcome.retryAfter = manifest.retryAfter;
                finish(outcome);
                return;
            }
            const MZU::Internal::Signing signing = MZU::Internal::signing();
            if (signing == MZU::Internal::Signing::None) {
                parse(manifest, nullptr);
            } else if (signing == MZU::Internal::Signing::RefuseAll) {
                parse(manifest, &manifest); // refused unread
            } else {
                check->signature = std::make_unique<MZU::Internal::Transfer>(*network,
                    MZU::Internal::signatureAddress(address), timeout,
                    MZU::Internal::maximumSignatureSize,
                    [parse, manifest](
                        const MZU::Internal::Fetched &signature) { parse(manifest, &signature); });
            }
        });
}

MZU::Offer MzUpdater::offer() const
{
    return lastOffer;
}

void MzUpdater::setInstallId(const QString &id)
{
    chosenInstallId = id;
}

QString MzUpdater::installId() const
{
    if (!chosenInstallId.isEmpty())
        return chosenInstallId;
    // The host's own settings; made once, so that an install keeps its place in rollouts.
    QSettings settings;
    const QString key = QStringLiteral("mzupdater/installId");
    QString id = settings.value(key).toString();
    if (id.isEmpty()) {
        id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        settings.setValue(key, id);
    }
    return id;
}

bool MzUpdater::isChecking() const
{
    return bool(running);
}

void MzUpdater::cancel()
{
    if (!running)
        return;
    running->flags->abandoned = true;
    running.reset(); // aborts a transfer, calling nothing
    watcher.setFuture(QFuture<Outcome>()); // finished, and without a result to deliver
    schedule(); // an automatic turn it held up comes now
}

void MzUpdater::asyncFinished()
{
    const QFuture<Outcome> future = watcher.future();
    if (!future.isFinished())
        return; // the canceled check's, arriving after the next one started
    running.reset();
    if (future.resultCount() < 1)
        return; // canceled or never started: there is nothing to read
    const Outcome outcome = future.resultAt(0);
    checkEnded(outcome.retryAfter);
    if (!outcome.checked) {
        Q_EMIT checkFailed(outcome.failure);
        return;
    }
    lastOffer = outcome.offer;
    QPointer<MzUpdater> self(this);
    Q_EMIT checked();
    if (!self)
        return; // the host deleted us from its slot
    if (outcome.offer.version.isNull())
        return;
    // The user said no to this version: a newer one, or a critical one, is offered all the same.
    const MZU::Version skipped(skippedVersion());
    if (!outcome.offer.critical && !skipped.isNull() && outcome.offer.version <= skipped) {
        qCDebug(MZU::Internal::lcMzupdater).noquote()
            << "Not offering" << outcome.offer.version.toString() << "- skipped up to"
            << skipped.toString();
        return;
    }
    Q_EMIT updateAvailable(outcome.offer.version.toString(), outcome.offer.changelog);
}
