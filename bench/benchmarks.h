#ifndef BENCHMARKS_H
#define BENCHMARKS_H

void registerModelBenchmarks();
/// Needs a QCoreApplication whose name is Manifests::appName().
void registerCheckBenchmarks();
/// Verification of a signed 1 MB manifest, against its fromJson.
void registerSignatureBenchmarks();
/// Removes the settings file that the check benchmarks wrote beside the executable.
void cleanUpCheckBenchmarks();

#endif // BENCHMARKS_H
