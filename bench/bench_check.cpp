// SPDX-License-Identifier: MIT
#include "bench.h"

#include "mzu.h"
#include "mzupdater.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
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

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <ctime>

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

    QString address(const QByteArray &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(QString::fromLatin1(path));
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
            const QByteArray body = bodies.value(path);
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
            socket->disconnectFromHost();
        });
    }

    const QHash<QByteArray, QByteArray> bodies;
    QSemaphore ready;
    quint16 port = 0;
};

// Ten applications on three platforms, by size; the path is "/" + the name.
const std::pair<const char *, int> sizes[] = { { "100KB", 100 * 1024 }, { "1MB", 1024 * 1024 },
    { "4MB", 4 * 1024 * 1024 } }; // the largest accepted

struct Served
{
    QHash<QByteArray, QByteArray> bodies;
    QHash<QByteArray, int> releases;
};

const Served &served()
{
    static const Served made = [] {
        Served s;
        for (const auto &size : sizes) {
            const QByteArray path = '/' + QByteArray(size.first);
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
void pointUpdaterAt(const QByteArray &path)
{
    QFile file(settingsPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("Cannot write %s", qPrintable(settingsPath()));
    file.write("[URL]\nVersions=" + server().address(path).toUtf8() + "\n");
}

// A host checks far apart, so the previous check's teardown on the pool never overlaps the
// next one. Not waitForDone(): that ends the pool's threads too.
void awaitTeardown()
{
    while (QThreadPool::globalInstance()->activeThreadCount() > 0)
        QThread::msleep(1);
}

// checkUpdates() to checked(), by the wall clock.
void checkWithUpdater(benchmark::State &state, const QByteArray &path)
{
    pointUpdaterAt(path);
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

// The floor: one GET of the same address on a ready access manager, then the parse.
void bareGet(benchmark::State &state, const QByteArray &path)
{
    const QNetworkRequest request(QUrl(server().address(path)));
    QNetworkAccessManager manager;
    QElapsedTimer clock;
    for (auto _ : state) {
        clock.start();
        const std::unique_ptr<QNetworkReply> reply(manager.get(request));
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(guardMs, &loop, &QEventLoop::quit);
        loop.exec();
        const bool parsed = !QJsonDocument::fromJson(reply->readAll()).isNull();
        const qint64 elapsed = clock.nsecsElapsed();
        if (!parsed) {
            state.SkipWithError("no document in time");
            break;
        }
        state.SetIterationTime(double(elapsed) / 1e9);
    }
}

// The main thread's outermost dispatches while recording; touched by that thread only.
struct Probe
{
    bool recording = false;
    bool counting = false; // the running outermost dispatch began while recording
    int depth = 0;
    qint64 beganNs = 0;
    qint64 beganCpuNs = 0;
    qint64 longestNs = 0;
    qint64 longestCpuNs = 0; // the thread's CPU time during the longest
    QElapsedTimer clock;
} probe;

qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Offer
{
    QString version;
    QString changelog;
    bool operator!=(const Offer &other) const
    {
        return version != other.version || changelog != other.changelog;
    }
};

// One check as a host's thread lives it: checkUpdates() called from the loop, until the
// dispatch that emitted updateAvailable() has returned. Returns the wall time, or -1.
qint64 checkOnHostThread(MzUpdater &updater, Offer &offer)
{
    QEventLoop loop;
    qint64 took = -1;
    const QMetaObject::Connection offered = QObject::connect(&updater, &MzUpdater::updateAvailable,
        &loop, [&](const QString &version, const QString &changelog) {
            offer = { version, changelog };
            QMetaObject::invokeMethod(
                &loop,
                [&] {
                    took = probe.clock.nsecsElapsed();
                    probe.recording = false;
                    loop.quit();
                },
                Qt::QueuedConnection);
        });
    QTimer::singleShot(0, &loop, [&] { updater.checkUpdates(); });
    QTimer::singleShot(guardMs, &loop, &QEventLoop::quit);
    probe.longestNs = probe.longestCpuNs = 0;
    probe.clock.start();
    probe.recording = true;
    loop.exec();
    probe.recording = false;
    QObject::disconnect(offered);
    return took;
}

// The longest block of the host's event loop during one check, one check per repetition,
// by an updater that has checked once already and so also drops the previous result.
void checkHostThread(benchmark::State &state, const QByteArray &path)
{
    // What the check must offer: the public functions on the same bytes.
    Offer expected;
    MZU::Version newVersion;
    MZU::updateVersion(MZU::getApplications(QJsonDocument::fromJson(served().bodies.value(path))),
        Manifests::appName(), MZU::Version(QStringLiteral("0.0.1")), newVersion,
        expected.changelog);
    expected.version = newVersion.toString();

    pointUpdaterAt(path);
    MzUpdater updater(QStringLiteral("0.0.1"));
    Offer offer;
    if (checkOnHostThread(updater, offer) < 0)
        return state.SkipWithError("no updateAvailable() in time");
    for (auto _ : state) {
        awaitTeardown();
        const qint64 took = checkOnHostThread(updater, offer);
        if (took < 0)
            return state.SkipWithError("no updateAvailable() in time");
        state.SetIterationTime(double(took) / 1e9);
    }
    if (offer != expected)
        return state.SkipWithError("the updater offered other than the public functions give");
    state.counters["block_ms"] = double(probe.longestNs) / 1e6;
    state.counters["block_cpu_ms"] = double(probe.longestCpuNs) / 1e6;
    state.counters["releases"] = served().releases.value(path);
}

double maximum(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

} // namespace

bool ProbedApplication::notify(QObject *receiver, QEvent *event)
{
    // Qt 5 calls notify() for every thread; only the main thread's loop is the host's.
    if (QThread::currentThread() != thread())
        return QCoreApplication::notify(receiver, event);
    if (probe.depth == 0 && (probe.counting = probe.recording)) {
        probe.beganNs = probe.clock.nsecsElapsed();
        probe.beganCpuNs = threadCpuNs();
    }
    ++probe.depth;
    const bool handled = QCoreApplication::notify(receiver, event);
    if (--probe.depth == 0 && probe.counting && probe.recording) {
        const qint64 took = probe.clock.nsecsElapsed() - probe.beganNs;
        if (took > probe.longestNs) {
            probe.longestNs = took;
            probe.longestCpuNs = threadCpuNs() - probe.beganCpuNs;
        }
    }
    return handled;
}

void registerCheckBenchmarks(int hostRepetitions)
{
    for (const auto &size : sizes) {
        const QByteArray path = '/' + QByteArray(size.first);
        benchmark::RegisterBenchmark((std::string("check/MzUpdater/") + size.first).c_str(),
            [path](benchmark::State &state) { checkWithUpdater(state, path); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("check/bare/") + size.first).c_str(),
            [path](benchmark::State &state) { bareGet(state, path); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("host/") + size.first).c_str(),
            [path](benchmark::State &state) { checkHostThread(state, path); })
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
