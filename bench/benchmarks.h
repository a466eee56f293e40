#ifndef BENCHMARKS_H
#define BENCHMARKS_H

void registerModelBenchmarks();
/// Needs a ProbedApplication whose name is Manifests::appName(). Each host-thread
/// benchmark runs @p hostRepetitions checks, one per repetition.
void registerCheckBenchmarks(int hostRepetitions);
/// Removes the settings file that the check benchmarks wrote beside the executable.
void cleanUpCheckBenchmarks();

// Registered when their sources are built in (see CMakeLists.txt).
void registerSignatureBenchmarks();
void registerLintBenchmarks();

#endif // BENCHMARKS_H
