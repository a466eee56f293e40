#include "benchmarks.h"

#include "downloadjson.h"
#include "eventprobe.h"
#include "manifests.h"
#include "mzupdater.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QHash>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int guardMs = 30000;

// Answers every GET on 127.0.0.1 with a fixed body per path from its own thread, so that
// serving does not share the event loop that is being measured.
class LoopbackServer : public QThread
{
public:
    explicit LoopbackServer(QHash<QByteArray, QByteArray> bodies)
        : bodies(std::move(bodies))
    {
        start();
        ready.acquire();
    }

    ~LoopbackServer() override
    {
        quit();
        wait();
    }

    QString address(const char *path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(QLatin1String(path));
    }

protected:
    void run() override
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        port = server.serverPort();
        QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, this] {
            while (QTcpSocket *socket = server.nextPendingConnection())
                serve(socket);
        });
        ready.release();
        exec();
    }

private:
    void serve(QTcpSocket *socket)
    {
        auto request = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
            *request += socket->readAll();
            if (!request->contains("\r\n\r\n"))
                return;
            const QByteArray path = request->left(request->indexOf("\r\n")).split(' ').value(1);
            const auto found = bodies.constFind(path);
            if (found == bodies.constEnd()) {
                socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                              "Connection: close\r\n\r\n");
            } else {
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                              "Content-Length: "
                    + QByteArray::number(found->size()) + "\r\nConnection: close\r\n\r\n");
                socket->write(*found);
            }
            socket->disconnectFromHost();
        });
    }

    const QHash<QByteArray, QByteArray> bodies;
    QSemaphore ready;
    quint16 port = 0;
};

// The ten-application, three-platform manifests, named by their size.
const std::pair<const char *, int> spreadSizes[] = { { "100KB", 100 * 1024 },
    { "1MB", 1024 * 1024 }, { "10MB", 10 * 1024 * 1024 } };

struct Served
{
    QHash<QByteArray, QByteArray> bodies; // by path
    QHash<QByteArray, int> releases; // of the spread manifests
};

const Served &served()
{
    static const Served made = [] {
        Served s;
        s.bodies.insert("/10KB.json", Manifests::releasesOfSize(10 * 1024));
        s.bodies.insert("/1MB.json", Manifests::releasesOfSize(1024 * 1024));
        s.bodies.insert("/1MB-mixed.json", Manifests::mixedOfSize(1024 * 1024));
        for (const auto &size : spreadSizes) {
            const QByteArray path = "/" + QByteArray(size.first) + "-spread.json";
            int releases = 0;
            s.bodies.insert(path, Manifests::spreadOfSize(size.second, &releases));
            s.releases.insert(path, releases);
        }
        return s;
    }();
    return made;
}

LoopbackServer &server()
{
    static LoopbackServer instance(served().bodies);
    return instance;
}

QString settingsPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1String("/maintenancetool.ini");
}

// The updater reads its address from the maintenance tool's settings on every check.
void pointUpdaterAt(const QString &address)
{
    QFile file(settingsPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("Cannot write %s", qPrintable(settingsPath()));
    file.write("[URL]\nVersions=" + address.toUtf8() + "\n");
}

// The previous check frees what it used on the pool after answering; a host checks far
// apart, so that teardown never overlaps its next check. Not waitForDone(): that also ends
// the pool's threads, and the next check would time a new thread's first allocations.
void awaitTeardown()
{
    while (QThreadPool::globalInstance()->activeThreadCount() > 0)
        QThread::msleep(1);
}

// From checkUpdates() to checked(): the download on the pool thread, the parse, the
// name test and the catalogue, as the host waits for them.
void checkWithUpdater(benchmark::State &state, const char *path)
{
    pointUpdaterAt(server().address(path));
    MzUpdater updater(QStringLiteral("0.0.1"));
    QEventLoop loop;
    QElapsedTimer clock;
    qint64 elapsed = -1;
    QObject::connect(&updater, &MzUpdater::checked, &loop, [&] {
        elapsed = clock.nsecsElapsed();
        loop.quit();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    for (auto _ : state) {
        awaitTeardown();
        elapsed = -1;
        guard.start(guardMs);
        clock.start();
        updater.checkUpdates();
        loop.exec();
        if (elapsed < 0) {
            state.SkipWithError("no checked() in time");
            break;
        }
        state.SetIterationTime(double(elapsed) / 1e9);
    }
}

struct Offer
{
    QString version;
    QString changelog;
};

// What a check must offer, from the public functions on the same bytes.
Offer expectedOffer(const char *path)
{
    const MZU::Catalogue catalogue =
        MZU::getApplications(QJsonDocument::fromJson(served().bodies.value(path)));
    MZU::Version newVersion;
    Offer offer;
    MZU::updateVersion(catalogue, QCoreApplication::applicationName(),
        MZU::Version(QStringLiteral("0.0.1")), newVersion, offer.changelog);
    offer.version = newVersion.toString();
    return offer;
}

// The time this thread has spent runnable but waiting for a CPU, from the kernel's
// scheduler statistics; -1 where there are none.
qint64 runQueueWaitNs()
{
    static const int file = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    char text[96] = {};
    if (file < 0 || ::pread(file, text, sizeof text - 1, 0) <= 0)
        return -1;
    long long running = 0;
    long long waiting = -1;
    return std::sscanf(text, "%lld %lld", &running, &waiting) == 2 ? waiting : -1;
}

struct HostCheck
{
    qint64 checkNs = -1; // checkUpdates() to the end of the dispatch that offered the update
    qint64 checkUpdatesNs = 0;
    qint64 largestGapNs = 0;
    qint64 largestGapWaitNs = 0; // of that gap, how long the thread waited for a CPU
    EventProbe::Blocks blocks;
    Offer offer;
};

// One check as a host's thread lives it: a 1 ms timer runs throughout, checkUpdates() is
// called from the loop, and the check ends once the dispatch that emitted the last signal
// has returned, so that whatever the updater does after emitting is counted too.
HostCheck checkOnHostThread(MzUpdater &updater)
{
    HostCheck check;
    QEventLoop loop;
    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 lastWait = runQueueWaitNs();
    const auto tick = [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 wait = runQueueWaitNs();
        if (now - lastTick > check.largestGapNs) {
            check.largestGapNs = now - lastTick;
            check.largestGapWaitNs = wait - lastWait;
        }
        lastTick = now;
        lastWait = wait;
        return now;
    };
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, &loop, tick);
    const QMetaObject::Connection checked =
        QObject::connect(&updater, &MzUpdater::checked, &loop, EventProbe::mark);
    const QMetaObject::Connection offered = QObject::connect(&updater, &MzUpdater::updateAvailable,
        &loop, [&](const QString &version, const QString &changelog) {
            EventProbe::mark();
            check.offer = { version, changelog };
            QMetaObject::invokeMethod(
                &loop,
                [&] {
                    check.checkNs = tick();
                    check.blocks = EventProbe::stop();
                    loop.quit();
                },
                Qt::QueuedConnection);
        });
    QTimer::singleShot(0, &loop, [&] {
        const qint64 began = clock.nsecsElapsed();
        updater.checkUpdates();
        check.checkUpdatesNs = clock.nsecsElapsed() - began;
    });
    QTimer::singleShot(guardMs, &loop, &QEventLoop::quit);

    EventProbe::start();
    clock.start();
    ticker.start();
    loop.exec();
    EventProbe::stop();
    QObject::disconnect(checked);
    QObject::disconnect(offered);
    return check;
}

// The longest time the host's event loop is blocked during one check: each repetition is
// one check, on an updater that has already checked once, so that the check also drops
// the previous manifest as a host checking periodically would.
void checkHostThread(benchmark::State &state, const char *path)
{
    static QHash<QByteArray, Offer> expected;
    if (!expected.contains(path))
        expected.insert(path, expectedOffer(path));
    const Offer &offer = expected[path];

    pointUpdaterAt(server().address(path));
    MzUpdater updater(QStringLiteral("0.0.1"));
    if (checkOnHostThread(updater).checkNs < 0) {
        state.SkipWithError("no updateAvailable() in time");
        return;
    }
    HostCheck check;
    for (auto _ : state) {
        awaitTeardown();
        check = checkOnHostThread(updater);
        if (check.checkNs < 0) {
            state.SkipWithError("no updateAvailable() in time");
            return;
        }
        state.SetIterationTime(double(check.checkNs) / 1e9);
    }
    if (check.offer.version != offer.version || check.offer.changelog != offer.changelog) {
        state.SkipWithError("the updater offered other than the public functions give");
        return;
    }
    state.counters["block_ms"] = double(check.blocks.longestNs) / 1e6;
    state.counters["block_cpu_ms"] = double(check.blocks.longestCpuNs) / 1e6;
    state.counters["gap_ms"] = double(check.largestGapNs) / 1e6;
    state.counters["gap_own_ms"] = double(check.largestGapNs - check.largestGapWaitNs) / 1e6;
    state.counters["checkUpdates_ms"] = double(check.checkUpdatesNs) / 1e6;
    state.counters["signals_ms"] = double(check.blocks.markedNs) / 1e6;
    state.counters["releases"] = served().releases.value(path);
}

// The floor: one GET of the same address, then the parse. @p fresh: on an access manager
// built for that GET, the floor of any one-shot download that shares nothing; its
// destruction, which joins Qt 5's network thread, is left out of the time, as the updater
// tears its manager down after answering. Otherwise on one ready manager.
void bareGet(benchmark::State &state, const char *path, bool fresh)
{
    const QNetworkRequest request(QUrl(server().address(path)));
    const auto ready = fresh ? nullptr : std::make_unique<QNetworkAccessManager>();
    QElapsedTimer clock;
    for (auto _ : state) {
        clock.start();
        auto own = fresh ? std::make_unique<QNetworkAccessManager>() : nullptr;
        QNetworkReply *reply = (fresh ? own : ready)->get(request);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(guardMs, &loop, &QEventLoop::quit);
        loop.exec();
        const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
        const qint64 elapsed = clock.nsecsElapsed();
        delete reply;
        own.reset();
        if (document.isNull()) {
            state.SkipWithError("no document in time");
            break;
        }
        state.SetIterationTime(double(elapsed) / 1e9);
    }
}

void checkBare(benchmark::State &state, const char *path)
{
    bareGet(state, path, false);
}

void checkBareFresh(benchmark::State &state, const char *path)
{
    bareGet(state, path, true);
}

// The download alone, run on the pool as the updater runs it: what the updater adds on top
// is the settings file, the maintenance tool's path and the catalogue.
void checkDownload(benchmark::State &state, const char *path)
{
    const QString address = server().address(path);
    QFutureWatcher<QJsonDocument> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<QJsonDocument>::finished, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    for (auto _ : state) {
        clock.start();
        watcher.setFuture(QtConcurrent::run(
            QThreadPool::globalInstance(), [address] { return downloadJSon(address); }));
        loop.exec();
        const qint64 elapsed = clock.nsecsElapsed();
        if (watcher.future().resultAt(0).isNull()) {
            state.SkipWithError("no document");
            break;
        }
        state.SetIterationTime(double(elapsed) / 1e9);
    }
}

double maximum(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

} // namespace

void registerCheckBenchmarks(int hostRepetitions)
{
    for (const char *size : { "10KB", "1MB", "1MB-mixed", "1MB-spread", "10MB-spread" }) {
        const std::string path = std::string("/") + size + ".json";
        for (const auto &way : { std::make_pair("check/MzUpdater/", checkWithUpdater),
                 std::make_pair("check/downloadJSon/", checkDownload),
                 std::make_pair("check/bare/", checkBare),
                 std::make_pair("check/bare-fresh/", checkBareFresh) }) {
            benchmark::RegisterBenchmark((way.first + std::string(size)).c_str(),
                [path, call = way.second](benchmark::State &state) { call(state, path.c_str()); })
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (const auto &size : spreadSizes) {
        const std::string path = std::string("/") + size.first + "-spread.json";
        benchmark::RegisterBenchmark((std::string("host/") + size.first).c_str(),
            [path](benchmark::State &state) { checkHostThread(state, path.c_str()); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1)
            ->Repetitions(hostRepetitions)
            ->ComputeStatistics("max", maximum);
    }
}

void cleanUpCheckBenchmarks()
{
    QFile::remove(settingsPath());
}
