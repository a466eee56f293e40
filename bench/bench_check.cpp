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
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
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

#include <zlib.h>

namespace {

constexpr int guardMs = 30000;

// Accepts TLS connections with the tests' self-signed certificate for 127.0.0.1.
class TlsServer : public QTcpServer
{
protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(certificate());
        QFile key(QStringLiteral(MZUPDATER_TEST_DATA "/selfsigned.key"));
        key.open(QIODevice::ReadOnly);
        socket->setPrivateKey(QSslKey(&key, QSsl::Rsa));
        socket->startServerEncryption();
        addPendingConnection(socket);
    }

public:
    static QSslCertificate certificate()
    {
        return QSslCertificate::fromPath(QStringLiteral(MZUPDATER_TEST_DATA "/selfsigned.crt"))
            .value(0);
    }
};

// Answers every GET on 127.0.0.1 with a fixed body per path from its own thread, so that
// serving does not share the event loop that is being measured; over TLS if asked. A path
// ending in ".gz" is sent with Content-Encoding: gzip.
class LoopbackServer : public QThread
{
public:
    LoopbackServer(QHash<QByteArray, QByteArray> bodies, bool tls)
        : bodies(std::move(bodies))
        , tls(tls)
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
        return QStringLiteral("%1://127.0.0.1:%2%3")
            .arg(QLatin1String(tls ? "https" : "http"))
            .arg(port)
            .arg(QString::fromLatin1(path));
    }

protected:
    void run() override
    {
        TlsServer tlsServer;
        QTcpServer plainServer;
        QTcpServer &server = tls ? tlsServer : plainServer;
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
                + QByteArray::number(body.size())
                + (path.endsWith(".gz") ? "\r\nContent-Encoding: gzip" : "")
                + "\r\nConnection: close\r\n\r\n" + body);
            socket->disconnectFromHost();
        });
    }

    const QHash<QByteArray, QByteArray> bodies;
    const bool tls;
    QSemaphore ready;
    quint16 port = 0;
};

// Ten applications on three platforms, by size; the path is "/" + the name.
const std::pair<const char *, int> sizes[] = { { "100KB", 100 * 1024 }, { "1MB", 1024 * 1024 },
    { "4MB", 4 * 1024 * 1024 } }; // the largest accepted

// @p data in gzip, as a server's default level makes it.
QByteArray gzip(QByteArray data)
{
    z_stream stream {};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(data.data());
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

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
            s.bodies.insert(path + ".gz", gzip(s.bodies.value(path)));
            s.releases.insert(path, releases);
        }
        return s;
    }();
    return made;
}

LoopbackServer &server(bool tls = false)
{
    static LoopbackServer plain(served().bodies, false);
    static LoopbackServer secure(served().bodies, true);
    return tls ? secure : plain;
}

QString settingsPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1String("/maintenancetool.ini");
}

// The updater reads its address from the maintenance tool's settings on every check.
void pointUpdaterAt(const QByteArray &path, bool tls = false)
{
    QFile file(settingsPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("Cannot write %s", qPrintable(settingsPath()));
    file.write("[URL]\nVersions=" + server(tls).address(path).toUtf8() + "\n");
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
// by an updater that has checked once already and so also drops the previous result. With
// @p tls, over HTTPS and gzip-encoded: the transfer, TLS and the decoding run on the host's
// thread too.
void checkHostThread(benchmark::State &state, const QByteArray &path, bool tls)
{
    // What the check must offer: the public functions on the same bytes.
    Offer expected;
    MZU::Version newVersion;
    static_cast<void>(MZU::updateVersion(
        MZU::getApplications(QJsonDocument::fromJson(served().bodies.value(path))),
        Manifests::appName(), MZU::Version(QStringLiteral("0.0.1")), newVersion,
        expected.changelog));
    expected.version = newVersion.toString();

    pointUpdaterAt(tls ? path + ".gz" : path, tls);
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
        for (const bool tls : { false, true })
            benchmark::RegisterBenchmark(
                (std::string(tls ? "host/tls-gzip/" : "host/") + size.first).c_str(),
                [path, tls](benchmark::State &state) { checkHostThread(state, path, tls); })
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(1)
                ->Repetitions(hostRepetitions)
                ->ComputeStatistics("max", maximum);
    }
    // The library has no bypass: the benchmark's process trusts the test certificate.
    QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    trusting.setCaCertificates(trusting.caCertificates() << TlsServer::certificate());
    QSslConfiguration::setDefaultConfiguration(trusting);
}

void cleanUpCheckBenchmarks()
{
    QFile::remove(settingsPath());
}
