// SPDX-License-Identifier: MIT
#include "bench.h"

#include "mzu.h"

#include <QJsonDocument>
#include <QMap>

#include <benchmark/benchmark.h>

#include <string>

using Manifests::Kind;

namespace {

struct Input
{
    QByteArray bytes;
    QJsonDocument document;
};

// Built once per kind and size: generating and parsing 100,000 entries is not cheap.
const Input &input(Kind kind, int entries)
{
    static QMap<QPair<int, int>, Input> cache;
    const QPair<int, int> key(int(kind), entries);
    auto found = cache.find(key);
    if (found == cache.end()) {
        const QByteArray bytes = Manifests::generate(kind, entries);
        found = cache.insert(key, { bytes, QJsonDocument::fromJson(bytes) });
    }
    return *found;
}

// Every generated entry is newer, or inside the window: each one is read and returned.
const MZU::Version running(QStringLiteral("0.0.1"));
const MZU::Version from;
const MZU::Version to(QStringLiteral("999.0.0"));

// Destroying what a call returns is the caller's business, for fromJson too: not timed.
template <typename Call> void timeCalls(benchmark::State &state, Call call)
{
    for (auto _ : state) {
        auto result = call();
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        result = decltype(result)();
        state.ResumeTiming();
    }
    state.counters["entries"] = double(state.range(0));
}

QString offer(const MZU::Catalogue &catalogue)
{
    MZU::Version offered;
    QString changelog;
    return MZU::updateVersion(catalogue, Manifests::appName(), running, offered, changelog)
        ? changelog
        : QString();
}

void fromJson(benchmark::State &state, Kind kind)
{
    const QByteArray &bytes = input(kind, int(state.range(0))).bytes;
    timeCalls(state, [&] { return QJsonDocument::fromJson(bytes); });
}

void getApplications(benchmark::State &state)
{
    const QJsonDocument &document = input(Kind::Releases, int(state.range(0))).document;
    timeCalls(state, [&] { return MZU::getApplications(document); });
}

void updateVersion(benchmark::State &state)
{
    const MZU::Catalogue catalogue =
        MZU::getApplications(input(Kind::Releases, int(state.range(0))).document);
    timeCalls(state, [&] { return offer(catalogue); });
}

void getFileUpdates(benchmark::State &state)
{
    const QJsonDocument &document = input(Kind::Files, int(state.range(0))).document;
    timeCalls(state, [&] { return MZU::getFileUpdates(document, Manifests::appName(), from, to); });
}

void getSettingUpdates(benchmark::State &state)
{
    const QJsonDocument &document = input(Kind::Settings, int(state.range(0))).document;
    timeCalls(
        state, [&] { return MZU::getSettingUpdates(document, Manifests::appName(), from, to); });
}

void sized(benchmark::internal::Benchmark *benchmark)
{
    benchmark->RangeMultiplier(10)->Range(100, 100000)->Unit(benchmark::kMicrosecond);
}

} // namespace

void registerModelBenchmarks()
{
    const std::pair<const char *, Kind> kinds[] = { { "releases", Kind::Releases },
        { "files", Kind::Files }, { "settings", Kind::Settings } };
    for (const auto &kind : kinds) {
        sized(benchmark::RegisterBenchmark(
            (std::string("model/fromJson/") + kind.first).c_str(), fromJson, kind.second));
    }
    sized(benchmark::RegisterBenchmark("model/getApplications", getApplications));
    sized(benchmark::RegisterBenchmark("model/updateVersion", updateVersion));
    sized(benchmark::RegisterBenchmark("model/getFileUpdates", getFileUpdates));
    sized(benchmark::RegisterBenchmark("model/getSettingUpdates", getSettingUpdates));
}
