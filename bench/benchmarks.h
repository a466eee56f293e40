#ifndef BENCHMARKS_H
#define BENCHMARKS_H

void registerModelBenchmarks();
/// Needs a QCoreApplication whose name is Manifests::appName().
void registerCheckBenchmarks();
/// Removes the settings file that the check benchmarks wrote beside the executable.
void cleanUpCheckBenchmarks();
/// "mzupdater lint" on generated manifests; built with the tool's code.
void registerLintBenchmarks();

#endif // BENCHMARKS_H
