#include "benchmarks.h"

#include "format.h"
#include "lint.h"
#include "source.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const QByteArray host = "linux-x86_64";

QByteArray fileEntry(int i, const QByteArray &version)
{
    return "{\"version\":\"" + version + "\",\"filename\":\"lib" + QByteArray::number(i)
        + ".so\",\"location\":\"@TargetDir@/lib\",\"url\":\"https://dl.example.com/" + version
        + "/lib" + QByteArray::number(i) + ".so\"}";
}

QByteArray release(const QByteArray &name, const QByteArray &os, const QByteArray &version)
{
    return "{\"name\":\"" + name + "\",\"os\":\"" + os + "\",\"version\":\"" + version
        + "\",\"changelog\":\"Fixes the crash on start and speeds up the sync.\","
          "\"date\":\"2024-05-01\"}";
}

// Three applications on four platforms, each release a distinct version of its pair,
// after an application entry whose files and settings use some of those versions.
QByteArray mixed(int releases)
{
    const QByteArray names[] = { "Notes", "Sketch", "Tasks" };
    const QByteArray platforms[] = { "mac-arm64", "mac-x86_64", "linux-x86_64", "win-x86_64" };
    const auto version = [](int i) {
        return "1." + QByteArray::number(i / 12 / 100) + '.' + QByteArray::number(i / 12 % 100);
    };
    QByteArray text = "{\"name\":\"Versions.json\",\"apps\":[{\"name\":\"Notes\",\"os\":[";
    for (int p = 0; p < 4; ++p) {
        text += QByteArray(p ? "," : "") + "{\"name\":\"" + platforms[p] + "\",\"files\":[";
        for (int i = 0; i < releases / 40; ++i)
            text += (i ? "," : "") + fileEntry(i, version(12 * i));
        text += "],\"settings\":[";
        for (int i = 0; i < releases / 40; ++i)
            text += QByteArray(i ? "," : "") + "{\"version\":\"" + version(12 * i)
                + "\",\"key\":\"General/option" + QByteArray::number(i)
                + "\",\"type\":\"int\",\"value\":\"1\"}";
        text += "]}";
    }
    text += "]}";
    for (int i = 0; i < releases; ++i)
        text += ',' + release(names[i % 3], platforms[i / 3 % 4], version(i));
    return text + "]}";
}

// Every release for a platform of its own: a walk per platform would be quadratic.
QByteArray distinctPlatforms(int releases)
{
    QByteArray text = "{\"name\":\"Versions.json\",\"apps\":[";
    for (int i = 0; i < releases; ++i)
        text += (i ? "," : "") + release("Notes", "os-" + QByteArray::number(i), "1.0.0");
    return text + "]}";
}

// Application entries of distinct names: a search from the top for each would be quadratic.
QByteArray applications(int entries)
{
    QByteArray text = "{\"name\":\"Versions.json\",\"apps\":[";
    for (int i = 0; i < entries; ++i) {
        const QByteArray name = "App" + QByteArray::number(i);
        text += (i ? "," : "") + QByteArray("{\"name\":\"") + name + "\",\"os\":[{\"name\":\""
            + host + "\",\"files\":[" + fileEntry(i, "1.0.0") + "]}]},"
            + release(name, host, "1.0.0");
    }
    return text + "]}";
}

// The whole run of "mzupdater lint" but for reading the file: parse, lint, place, print.
void lintText(benchmark::State &state, const QByteArray &text)
{
    qint64 findings = 0;
    for (auto _ : state) {
        Manifest manifest;
        LoadError error;
        if (!parseManifest(text, manifest, error)) {
            state.SkipWithError("the generated manifest is not JSON");
            return;
        }
        const QVector<Finding> found = lintManifest(manifest, QString::fromLatin1(host));
        benchmark::DoNotOptimize(formatFindings(
            Format::Text, { { "Versions.json", found } }, QString::fromLatin1(host)));
        findings = found.size();
    }
    state.counters["bytes"] = double(text.size());
    state.counters["findings"] = double(findings);
}

void add(const std::string &name, const QByteArray &text)
{
    benchmark::RegisterBenchmark(name.c_str(), lintText, text)->Unit(benchmark::kMillisecond);
}

} // namespace

void registerLintBenchmarks()
{
    for (int releases : { 1000, 10000, 100000 })
        add("lint/" + std::to_string(releases), mixed(releases));
    add("lint/distinct-os/20000", distinctPlatforms(20000));
    add("lint/apps/20000", applications(20000));
}
