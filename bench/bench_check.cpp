#include "benchmarks.h"

#include "downloadjson.h"
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

#include <memory>

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

LoopbackServer &server()
{
    static LoopbackServer instance({ { "/10KB.json", Manifests::releasesOfSize(10 * 1024) },
        { "/1MB.json", Manifests::releasesOfSize(1024 * 1024) },
        { "/1MB-mixed.json", Manifests::mixedOfSize(1024 * 1024) } });
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
    qint64 starting = 0;
    for (auto _ : state) {
        elapsed = -1;
        guard.start(guardMs);
        clock.start();
        updater.checkUpdates();
        starting += clock.nsecsElapsed();
        loop.exec();
        if (elapsed < 0) {
            state.SkipWithError("no checked() in time");
            break;
        }
        state.SetIterationTime(double(elapsed) / 1e9);
    }
    // The part the host's thread spends in checkUpdates() itself: the settings file, the
    // maintenance tool's path and handing the download to the pool.
    state.counters["checkUpdates_us"] =
        benchmark::Counter(double(starting) / 1e3, benchmark::Counter::kAvgIterations);
}

// The floor: one GET of the same address on a ready access manager, then the parse.
void checkBare(benchmark::State &state, const char *path)
{
    QNetworkAccessManager manager;
    const QNetworkRequest request(QUrl(server().address(path)));
    QElapsedTimer clock;
    for (auto _ : state) {
        clock.start();
        QNetworkReply *reply = manager.get(request);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(guardMs, &loop, &QEventLoop::quit);
        loop.exec();
        const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
        const qint64 elapsed = clock.nsecsElapsed();
        delete reply;
        if (document.isNull()) {
            state.SkipWithError("no document in time");
            break;
        }
        state.SetIterationTime(double(elapsed) / 1e9);
    }
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

} // namespace

void registerCheckBenchmarks()
{
    for (const char *size : { "10KB", "1MB", "1MB-mixed" }) {
        const std::string path = std::string("/") + size + ".json";
        for (const auto &way : { std::make_pair("check/MzUpdater/", checkWithUpdater),
                 std::make_pair("check/downloadJSon/", checkDownload),
                 std::make_pair("check/bare/", checkBare) }) {
            benchmark::RegisterBenchmark((way.first + std::string(size)).c_str(),
                [path, call = way.second](benchmark::State &state) { call(state, path.c_str()); })
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
}

void cleanUpCheckBenchmarks()
{
    QFile::remove(settingsPath());
}
