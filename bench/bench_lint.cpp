// SPDX-License-Identifier: MIT
#include "bench.h"

#include "peakmemory.h"
#include "rules/lint.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <string>

namespace {

const QString host = QStringLiteral("linux-x86_64");

QByteArray version(int i)
{
    return "1." + QByteArray::number(i / 12 / 100) + '.' + QByteArray::number(i / 12 % 100);
}

// Three applications on four platforms, each release a distinct version of its pair, after
// an application entry whose files and settings use some of those versions: about 115
// bytes per release, 23 MB at 200,000.
QByteArray mixed(int releases)
{
    const QByteArray names[] = { "Notes", "Sketch", "Tasks" };
    const QByteArray platforms[] = { "mac-arm64", "mac-x86_64", "linux-x86_64", "win-x86_64" };
    QByteArray text = "{\"name\":\"Versions.json\",\"apps\":[{\"name\":\"Notes\",\"os\":[";
    for (int p = 0; p < 4; ++p) {
        text += QByteArray(p ? "," : "") + "{\"name\":\"" + platforms[p] + "\",\"files\":[";
        for (int i = 0; i < releases / 40; ++i) {
            const QByteArray v = version(12 * i);
            const QByteArray n = QByteArray::number(i);
            text += (i ? ",{\"version\":\"" : "{\"version\":\"") + v + "\",\"filename\":\"lib" + n
                + ".so\",\"location\":\"@TargetDir@/lib\",\"url\":\"https://dl.example.com/" + v
                + "/lib" + n + ".so\"}";
        }
        text += "],\"settings\":[";
        for (int i = 0; i < releases / 40; ++i)
            text += (i ? ",{\"version\":\"" : "{\"version\":\"") + version(12 * i)
                + "\",\"key\":\"General/option" + QByteArray::number(i)
                + "\",\"type\":\"int\",\"value\":\"1\"}";
        text += "]}";
    }
    text += "]}";
    for (int i = 0; i < releases; ++i)
        text += ",{\"name\":\"" + names[i % 3] + "\",\"os\":\"" + platforms[i / 3 % 4]
            + "\",\"version\":\"" + version(i) + "\",\"changelog\":\"Fixes a crash on start.\"}";
    return text + "]}";
}

// What the tool's lint does with a manifest's text: read it, lint it, place the findings.
// Besides the time, the peak memory of that beyond the text.
void lintText(benchmark::State &state, const QByteArray &text)
{
    qint64 findings = 0;
    qint64 grownKiB = 0;
    for (auto _ : state) {
        state.PauseTiming();
        malloc_trim(0); // what earlier runs freed, so that it does not hide this one's growth
        const PeakMemory memory;
        state.ResumeTiming();
        Manifest manifest;
        LoadError error;
        parseManifest(text, manifest, error);
        findings = lintManifest(manifest, host).size();
        state.PauseTiming();
        grownKiB = std::max(grownKiB, memory.grownKiB());
        state.ResumeTiming();
    }
    state.counters["bytes"] = double(text.size());
    state.counters["findings"] = double(findings);
    state.counters["grown_MiB"] = double(grownKiB) / 1024;
}

} // namespace

void registerLintBenchmarks()
{
    // 36,000 releases: about the 4 MiB that hosts and the tool read.
    for (int releases : { 10000, 36000, 200000 }) {
        benchmark::RegisterBenchmark(
            ("lint/" + std::to_string(releases)).c_str(), lintText, mixed(releases))
            ->Unit(benchmark::kMillisecond);
    }
}
