// SPDX-License-Identifier: MIT
#include "bench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

// Google Benchmark's flags, plus --host_repetitions=N: how many checks each host benchmark
// times (default 10).
int main(int argc, char **argv)
{
    int hostRepetitions = 10;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--host_repetitions=", 19) == 0)
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
    registerModelBenchmarks();
    registerCheckBenchmarks(hostRepetitions);
    registerSignatureBenchmarks();
    registerLintBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    cleanUpCheckBenchmarks();
    return 0;
}
