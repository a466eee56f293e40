#include "benchmarks.h"
#include "manifests.h"

#include <QCoreApplication>
#include <QFile>

#include <benchmark/benchmark.h>

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
// resident set size in KiB once every benchmark has run.
int main(int argc, char **argv)
{
    const char *maxrssOut = nullptr;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--maxrss_out=", 13) == 0)
            maxrssOut = argv[i] + 13;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(Manifests::appName());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::AddCustomContext("qt_version", qVersion());
    benchmark::AddCustomContext("cpu_model", cpuModel().toStdString());
    registerModelBenchmarks();
    registerCheckBenchmarks();
    registerSignatureBenchmarks();
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
