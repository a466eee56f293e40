#include "httpserver.h"
#include "messagelog.h"
#include "mzu.h"
#include "mzupdater.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QThreadPool>
#include <QtTest>

#include <memory>

namespace {

const QString stillRunning = QStringLiteral("Updagter async task is still running - wait");

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::NoDotAndDotDot | QDir::System)
        .size();
}

int threadCount()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    }
    return -1;
}

} // namespace

class tst_Lifecycle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void manyAtOnce();
    void checkAndDestroy();
    void destroyWhileStalled();

private:
    void pointAt(const QString &target);

    HttpServer server;
    QString settingsPath;
};

void tst_Lifecycle::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("LoadApp"));
    settingsPath = QCoreApplication::applicationDirPath() + QLatin1String("/maintenancetool.ini");
    const QJsonObject release { { "name", "LoadApp" }, { "os", MZU::osString() },
        { "version", "2.0.0" }, { "changelog", "Faster." } };
    const QJsonObject root { { "name", "Versions.json" }, { "apps", QJsonArray { release } } };
    const QByteArray manifest = QJsonDocument(root).toJson(QJsonDocument::Compact);
    server.setResponse(QStringLiteral("/fast"), HttpServer::Response::json(manifest));
    HttpServer::Response slow = HttpServer::Response::json(manifest);
    slow.trickleMs = 1; // long enough to be destroyed mid-transfer
    server.setResponse(QStringLiteral("/slow"), slow);
    HttpServer::Response stalled;
    stalled.behaviour = HttpServer::Response::StallBeforeHeaders;
    server.setResponse(QStringLiteral("/stalled"), stalled);
}

void tst_Lifecycle::cleanupTestCase()
{
    QFile::remove(settingsPath);
}

void tst_Lifecycle::pointAt(const QString &target)
{
    QFile file(settingsPath);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[URL]\nVersions=" + server.url(target).toUtf8() + '\n');
}

void tst_Lifecycle::manyAtOnce()
{
    pointAt(QStringLiteral("/fast"));
    const int count = 50;
    int checked = 0;
    int offered = 0;
    std::vector<std::unique_ptr<MzUpdater>> updaters;
    for (int i = 0; i < count; ++i) {
        updaters.push_back(std::make_unique<MzUpdater>(QStringLiteral("1.0.0")));
        connect(updaters.back().get(), &MzUpdater::checked, [&] { ++checked; });
        connect(updaters.back().get(), &MzUpdater::updateAvailable,
            [&](const QString &newver, const QString &changelog) {
                offered += newver == QLatin1String("2.0.0")
                    && changelog == QLatin1String("2.0.0:\nFaster.");
            });
    }
    for (const auto &updater : updaters)
        updater->checkUpdates();
    QTRY_COMPARE_WITH_TIMEOUT(offered, count, 30000);
    QCOMPARE(checked, count);
    QCOMPARE(server.requestCount(QStringLiteral("/fast")), count);
}

// Destroyed while downloading, after the task ended but before delivery, and after
// delivery: nothing may crash, leak, or keep descriptors or threads.
void tst_Lifecycle::checkAndDestroy()
{
    const int cycles = 500;
    auto cycle = [this](int i) {
        MessageLog log;
        int checked = 0;
        auto updater = std::make_unique<MzUpdater>(QStringLiteral("1.0.0"));
        connect(updater.get(), &MzUpdater::checked, [&] { ++checked; });
        QSignalSpy delivered(updater.get(), &MzUpdater::checked);
        updater->checkUpdates();
        switch (i % 3) {
        case 0: // during the download: the destructor waits and delivers
            break;
        case 1: // between: the result is stored, its delivery still queued
            QVERIFY(QThreadPool::globalInstance()->waitForDone(10000));
            break;
        case 2: // after delivery
            QVERIFY(delivered.wait(10000));
            break;
        }
        updater.reset();
        QCOMPARE(checked, 1);
        for (const QString &message : MessageLog::take())
            QCOMPARE(message, stillRunning);
    };

    // Warm up first: Qt creates some threads and descriptors once per process.
    for (const char *target : { "/fast", "/slow" }) {
        pointAt(QLatin1String(target));
        for (int i = 0; i < 3; ++i)
            cycle(i);
    }
    QVERIFY(QThreadPool::globalInstance()->waitForDone(10000));
    const int descriptors = openDescriptors();
    const int threads = threadCount();

    for (int i = 0; i < cycles; ++i) {
        if (i == 0 || i == 30)
            pointAt(QLatin1String(i == 0 ? "/slow" : "/fast"));
        cycle(i);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(QStringLiteral("cycle %1 failed").arg(i)));
    }
    QVERIFY(QThreadPool::globalInstance()->waitForDone(10000));
    // No more than before: a descriptor or thread of the warm-up may still have been ending
    // when counted (seen under load: 12 descriptors before, 11 after on Qt 5; 3 threads
    // before, 4 a moment after on Qt 6), and one still ending now gets a moment.
    QTRY_VERIFY2_WITH_TIMEOUT(openDescriptors() <= descriptors,
        qPrintable(
            QStringLiteral("%1 descriptors, %2 before").arg(openDescriptors()).arg(descriptors)),
        5000);
    QTRY_VERIFY2_WITH_TIMEOUT(threadCount() <= threads,
        qPrintable(QStringLiteral("%1 threads, %2 before").arg(threadCount()).arg(threads)), 5000);
}

// The default inactivity timeout bounds the destructor's wait on a silent server.
void tst_Lifecycle::destroyWhileStalled()
{
    pointAt(QStringLiteral("/stalled"));
    auto updater = std::make_unique<MzUpdater>(QStringLiteral("1.0.0"));
    updater->checkUpdates();
    QTRY_COMPARE(server.requestCount(QStringLiteral("/stalled")), 1);
    QElapsedTimer timer;
    timer.start();
    {
        MessageLog log;
        updater.reset();
        const QStringList messages = MessageLog::take();
        // The pool thread's warning lands among the destructor's, at no fixed place.
        QCOMPARE(
            messages.count(QStringLiteral("(MZUpdater JSON) NAM error  \"Operation canceled\"")),
            1);
        QVERIFY(messages.count(stillRunning) == messages.size() - 1);
    }
    QVERIFY2(timer.elapsed() <= 30000 + 100 + 2000, qPrintable(QString::number(timer.elapsed())));
}

QTEST_GUILESS_MAIN(tst_Lifecycle)
#include "tst_lifecycle.moc"
