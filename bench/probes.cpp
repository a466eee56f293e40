// SPDX-License-Identifier: MIT
// What hostile manifests cost a host's process: how far its resident memory peaks above where
// it stood, and how many threads it runs, from a loopback server. Run with no argument, it
// runs every probe in a process of its own, ends any still running after 60 s (reading its
// peak from /proc), and prints one line each; with a probe's name, it runs that probe.
#include "downloadjson.h"
#include "httpserver.h"
#include "mzupdater.h"
#include "peakmemory.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

const char *const probes[] = { "deep-release", "deep-root", "fromJson", "minimal", "minimal-x8",
    "releases", "releases-x8", "silent-x200" };

QString lastMessage;

// Of this process ("self") or another: its threads, and a KiB figure of its status.
int threadCount(const QString &process = QStringLiteral("self"))
{
    return QDir("/proc/" + process + "/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

qint64 statusKiB(const QString &process, const char *field)
{
    QFile file("/proc/" + process + "/status");
    const QByteArray status = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const int at = status.indexOf(field);
    return at < 0 ? 0
                  : status.mid(at + int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
}

// 2,096 arrays nested 1,000 deep, separated by commas: just under 4 MiB.
QByteArray deepArrays()
{
    const QByteArray one = QByteArray(1000, '[') + QByteArray(1000, ']') + ',';
    return one.repeated(2096).chopped(1);
}

// As many entries as fit in a 4 MiB manifest, "%1" in each replaced by its number.
QByteArray full(const QByteArray &entry)
{
    QByteArray body = R"({"name":"Versions.json","apps":[)";
    for (int i = 1; body.size() + entry.size() + 8 < 4 * 1024 * 1024; ++i)
        body += QByteArray(entry).replace("%1", QByteArray::number(i)) + ',';
    return body.chopped(1) + "]}";
}

// Starts `count` updaters' checks of `url`, the global pool limited to 2 threads when
// `count` > 1, and runs the loop until every one has ended or for `ms`. Samples the threads.
QString check(const QString &url, int count, int ms, int *threads, int *active)
{
    if (count > 1)
        QThreadPool::globalInstance()->setMaxThreadCount(2);
    std::vector<std::unique_ptr<MzUpdater>> updaters;
    QMap<QString, int> outcomes;
    int pending = count;
    QEventLoop loop;
    const auto ended = [&](const QString &outcome) {
        ++outcomes[QString(outcome).replace(url, QLatin1String("URL"))];
        if (--pending == 0)
            loop.quit();
    };
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        *threads = qMax(*threads, threadCount());
        *active = qMax(*active, QThreadPool::globalInstance()->activeThreadCount());
    });
    sampler.start(5);
    for (int i = 0; i < count; ++i) {
        updaters.push_back(std::make_unique<MzUpdater>(QStringLiteral("1.0.0")));
        updaters.back()->setManifestAddress(url);
        QObject::connect(updaters.back().get(), &MzUpdater::checked, [&] { ended("checked"); });
        QObject::connect(updaters.back().get(), &MzUpdater::checkFailed,
            [&](const QString &reason) { ended("checkFailed: " + reason); });
        updaters.back()->checkUpdates();
    }
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    QStringList summary;
    for (auto it = outcomes.begin(); it != outcomes.end(); ++it)
        summary << QStringLiteral("%1x %2").arg(it.value()).arg(it.key());
    if (pending > 0)
        summary << QStringLiteral("%1 not ended after %2 s").arg(pending).arg(ms / 1000);
    return summary.join(QLatin1String("; "));
}

// One probe in this process; prints its figures and leaves without tearing down.
int runProbe(const QByteArray &name)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
        lastMessage = message;
    });
    HttpServer server;
    const bool deep = name.startsWith("deep") || name == "fromJson";
    const QByteArray os = MZU::osString().toUtf8();
    const QByteArray body = name.startsWith("minimal")
        ? full(R"({"os":")" + os + R"(","name":"a","version":"1.0.1"})")
        : name.startsWith("releases") // the largest manifest under the bounds
        ? full(R"({"name": "ProbeApp", "os": ")" + os
            + R"(", "version": "1.0.%1", "changelog": "Fixes and more fixes."})")
        : name == "deep-release" ? R"({"name":"Versions.json","apps":[{"name":"ProbeApp","os":")"
                + os + R"(","version":"2.0.0","deep":[)" + deepArrays() + "]}]}"
                                 : '[' + deepArrays() + ']';
    const HttpServer::Response response =
        deep ? HttpServer::Response::encoded("gzip", body) : HttpServer::Response::json(body);
    server.setResponse(QStringLiteral("/manifest"), response);
    server.setResponse(QStringLiteral("/silent"), { 200, {}, {}, 0, -1, true });
    const QString url = server.url(name == "silent-x200" ? "/silent" : "/manifest");

    const int threadsBefore = threadCount();
    int threads = threadsBefore;
    int active = 0;
    QString outcome;
    QElapsedTimer clock;
    clock.start();
    const PeakMemory memory;
    std::printf("before %lld\n", statusKiB("self", "VmRSS:"));
    std::fflush(stdout);
    if (name == "fromJson") {
        outcome = QJsonDocument::fromJson(body).isNull() ? "null document" : "a document";
    } else if (name == "deep-root") {
        outcome = downloadJSon(url).isNull() ? "null document: " + lastMessage : "a document";
        outcome.replace(url, QLatin1String("URL"));
    } else {
        const int count = name.endsWith("x8") ? 8 : name == "silent-x200" ? 200 : 1;
        outcome = check(url, count, count == 200 ? 5000 : 120000, &threads, &active);
    }
    std::printf("%-13s %5lld MiB  %3d threads (%d before), %d pool threads active  %.1f s  %s  "
                "[%d bytes, %d served, %d objects]\n",
        name.constData(), memory.grownKiB() / 1024, qMax(threads, threadCount()), threadsBefore,
        active, double(clock.elapsed()) / 1000, qPrintable(outcome), int(body.size()),
        int(response.body.size()), int(body.count('{')));
    std::fflush(stdout);
    std::_Exit(0);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ProbeApp"));
    if (argc > 1)
        return runProbe(argv[1]);
    std::printf("Qt %s, peak growth of resident memory\n", qVersion());
    for (const char *name : probes) {
        QProcess probe;
        probe.start(QCoreApplication::applicationFilePath(), { QLatin1String(name) });
        if (probe.waitForFinished(60000)) {
            const QByteArray out = probe.readAllStandardOutput();
            std::printf("%s", out.mid(out.indexOf('\n') + 1).constData());
            continue;
        }
        // Still running: its peak since the probe began, then end it.
        const QString process = QString::number(probe.processId());
        const qint64 peak = statusKiB(process, "VmHWM:");
        const qint64 before =
            probe.readAllStandardOutput().split(' ').value(1).trimmed().toLongLong();
        const int threads = threadCount(process);
        probe.kill();
        probe.waitForFinished();
        std::printf("%-13s %5lld MiB  %3d threads  not ended within 60 s, ended\n", name,
            (peak - before) / 1024, threads);
    }
    return 0;
}
