#include "benchmarks.h"
#include "eventprobe.h"
#include "manifests.h"

#include <QCoreApplication>
#include <QFile>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

namespace {

QString cpuModel()
{
    QFile file(QStringLiteral("/proc/cpuinfo"));
    if (file.open(QIODevice::ReadOnly)) {
        for (QByteArray line = file.readLine(); !line.isEmpty(); line = file.readLine()) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown");
}

} // namespace

// Google Benchmark's flags, plus --maxrss_out=FILE: where to write the process's peak
// resident set size in KiB once every benchmark has run, and --host_repetitions=N: how
// many checks each host-thread benchmark times (default 10).
int main(int argc, char **argv)
{
    const char *maxrssOut = nullptr;
    int hostRepetitions = 10;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--maxrss_out=", 13) == 0)
            maxrssOut = argv[i] + 13;
        else if (std::strncmp(argv[i], "--host_repetitions=", 19) == 0)
            hostRepetitions = std::max(1, std::atoi(argv[i] + 19));
        else
            argv[kept++] = argv[i];
    }
    argc = kept;

    ProbedApplication application(argc, argv);
    QCoreApplication::setApplicationName(Manifests::appName());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::AddCustomContext("qt_version", qVersion());
    benchmark::AddCustomContext("cpu_model", cpuModel().toStdString());
    registerModelBenchmarks();
    registerCheckBenchmarks(hostRepetitions);
#ifdef MZUPDATER_BENCH_SIGNATURE
    registerSignatureBenchmarks();
#endif
#ifdef MZUPDATER_BENCH_LINT
    registerLintBenchmarks();
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    cleanUpCheckBenchmarks();

    if (maxrssOut) {
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        QFile file(QString::fromLocal8Bit(maxrssOut));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        file.write(QByteArray::number(qint64(usage.ru_maxrss)) + "\n");
    }
    return 0;
}
