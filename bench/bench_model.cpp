#include "benchmarks.h"

#include "heapcount.h"
#include "manifests.h"
#include "mzu.h"

#include "referenceversion.h"

#include <QJsonDocument>
#include <QMap>

#include <benchmark/benchmark.h>

#include <array>
#include <functional>

using Manifests::Kind;

namespace {

const int sizes[] = { 100, 1000, 10000, 100000 };

struct Inputs
{
    QByteArray bytes;
    QJsonDocument document;
};

// Built once per kind and size: generating and parsing 100,000 entries is not cheap.
const Inputs &inputs(Kind kind, int entries)
{
    static QMap<QPair<int, int>, Inputs> cache;
    const QPair<int, int> key(int(kind), entries);
    auto found = cache.find(key);
    if (found == cache.end()) {
        Inputs made;
        made.bytes = Manifests::generate(kind, entries);
        made.document = QJsonDocument::fromJson(made.bytes);
        found = cache.insert(key, made);
    }
    return *found;
}

const MZU::Catalogue &catalogue(int entries)
{
    static QMap<int, MZU::Catalogue> cache;
    auto found = cache.find(entries);
    if (found == cache.end())
        found =
            cache.insert(entries, MZU::getApplications(inputs(Kind::Releases, entries).document));
    return *found;
}

// The window that takes every generated entry: each one is read, converted and returned.
const MZU::Version everythingFrom;
const MZU::Version everythingTo(QStringLiteral("999.0.0"));
const MZU::Version before(QStringLiteral("0.0.1"));

// Heap figures of one call, measured once per benchmark and size outside the timed loop:
// the peak while it runs and what its result holds.
template <typename Call> void reportHeap(benchmark::State &state, const QString &name, Call call)
{
    static QMap<QString, HeapCount::Sample> cache;
    auto found = cache.find(name);
    if (found == cache.end()) {
        HeapCount::start();
        HeapCount::Sample sample;
        {
            const auto result = call();
            sample = HeapCount::stop();
        }
        found = cache.insert(name, sample);
    }
    state.counters["heap_peak"] = double(found->peak);
    state.counters["heap_held"] = double(found->held);
}

// Times the calls only: destroying what a call returns is the caller's business, and
// fromJson is timed the same way.
template <typename Call> void timeCalls(benchmark::State &state, Call call)
{
    for (auto _ : state) {
        auto result = call();
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        result = decltype(result)();
        state.ResumeTiming();
    }
}

void setEntries(benchmark::State &state)
{
    state.counters["entries"] = double(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void fromJson(benchmark::State &state, Kind kind)
{
    const QByteArray &bytes = inputs(kind, int(state.range(0))).bytes;
    reportHeap(state, QStringLiteral("fromJson%1/%2").arg(int(kind)).arg(state.range(0)),
        [&] { return QJsonDocument::fromJson(bytes); });
    timeCalls(state, [&] { return QJsonDocument::fromJson(bytes); });
    state.SetBytesProcessed(state.iterations() * bytes.size());
    setEntries(state);
}

void getApplications(benchmark::State &state)
{
    const QJsonDocument &document = inputs(Kind::Releases, int(state.range(0))).document;
    reportHeap(state, QStringLiteral("getApplications/%1").arg(state.range(0)),
        [&] { return MZU::getApplications(document); });
    timeCalls(state, [&] { return MZU::getApplications(document); });
    setEntries(state);
}

void updateVersion(benchmark::State &state)
{
    const MZU::Catalogue &releases = catalogue(int(state.range(0)));
    const QString name = Manifests::appName();
    reportHeap(state, QStringLiteral("updateVersion/%1").arg(state.range(0)), [&] {
        MZU::Version offered;
        QString changelog;
        MZU::updateVersion(releases, name, before, offered, changelog);
        return changelog;
    });
    timeCalls(state, [&] {
        MZU::Version offered;
        QString changelog;
        MZU::updateVersion(releases, name, before, offered, changelog);
        return changelog;
    });
    setEntries(state);
}

void getFileUpdates(benchmark::State &state)
{
    const QJsonDocument &document = inputs(Kind::Files, int(state.range(0))).document;
    const QString name = Manifests::appName();
    reportHeap(state, QStringLiteral("getFileUpdates/%1").arg(state.range(0)),
        [&] { return MZU::getFileUpdates(document, name, everythingFrom, everythingTo); });
    timeCalls(
        state, [&] { return MZU::getFileUpdates(document, name, everythingFrom, everythingTo); });
    setEntries(state);
}

void getSettingUpdates(benchmark::State &state)
{
    const QJsonDocument &document = inputs(Kind::Settings, int(state.range(0))).document;
    const QString name = Manifests::appName();
    reportHeap(state, QStringLiteral("getSettingUpdates/%1").arg(state.range(0)),
        [&] { return MZU::getSettingUpdates(document, name, everythingFrom, everythingTo); });
    timeCalls(state,
        [&] { return MZU::getSettingUpdates(document, name, everythingFrom, everythingTo); });
    setEntries(state);
}

// A fixed mix of what manifests hold: plain and suffixed versions, leading zeros, large
// numbers, and one in eight texts that is not a version at all.
const std::array<QString, 1024> &versionTexts()
{
    static const std::array<QString, 1024> texts = [] {
        std::array<QString, 1024> made;
        quint32 seed = 12345;
        const auto next = [&seed] {
            seed = seed * 1103515245u + 12345u;
            return (seed >> 16) & 0x7fff;
        };
        const char *suffixes[] = { "beta", "rc1", "beta.2", "hotfix-3" };
        const char *broken[] = { "1.2", "v1.2.3", "1.2.3.4", " 1.2.3", "1.2.3beta", "" };
        for (QString &text : made) {
            const quint32 form = next() % 8;
            if (form == 7) {
                text = QString::fromLatin1(broken[next() % 6]);
                continue;
            }
            text = QStringLiteral("%1.%2.%3").arg(next() % 30).arg(next() % 100).arg(next() % 1000);
            if (form >= 5)
                text += QLatin1Char('-') + QLatin1String(suffixes[next() % 4]);
            if (form == 4)
                text.prepend(QLatin1Char('0'));
        }
        return made;
    }();
    return texts;
}

void versionParse(benchmark::State &state)
{
    const auto &texts = versionTexts();
    size_t i = 0;
    MZU::Version version;
    for (auto _ : state) {
        version.fromString(texts[i++ % texts.size()]);
        benchmark::DoNotOptimize(version);
    }
    state.SetItemsProcessed(state.iterations());
}

void versionParseRegExp(benchmark::State &state)
{
    const auto &texts = versionTexts();
    size_t i = 0;
    MZU::Version version;
    for (auto _ : state) {
        Reference::parseVersion(texts[i++ % texts.size()], version);
        benchmark::DoNotOptimize(version);
    }
    state.SetItemsProcessed(state.iterations());
}

std::vector<MZU::Version> parsedVersions()
{
    std::vector<MZU::Version> versions;
    for (const QString &text : versionTexts())
        versions.emplace_back(text);
    return versions;
}

void versionPrint(benchmark::State &state)
{
    const std::vector<MZU::Version> versions = parsedVersions();
    size_t i = 0;
    for (auto _ : state) {
        QString text = versions[i++ % versions.size()].toString();
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(state.iterations());
}

void versionCompare(benchmark::State &state)
{
    const std::vector<MZU::Version> versions = parsedVersions();
    size_t i = 0;
    for (auto _ : state) {
        const bool less = versions[i % versions.size()] < versions[(i + 1) % versions.size()];
        ++i;
        benchmark::DoNotOptimize(less);
    }
    state.SetItemsProcessed(state.iterations());
}

void sized(benchmark::internal::Benchmark *benchmark)
{
    for (int entries : sizes)
        benchmark->Arg(entries);
    benchmark->Unit(benchmark::kMicrosecond);
}

} // namespace

void registerModelBenchmarks()
{
    const std::pair<const char *, Kind> kinds[] = { { "releases", Kind::Releases },
        { "files", Kind::Files }, { "settings", Kind::Settings } };
    for (const auto &kind : kinds) {
        sized(benchmark::RegisterBenchmark(
            (std::string("fromJson/") + kind.first).c_str(), fromJson, kind.second));
    }
    sized(benchmark::RegisterBenchmark("getApplications", getApplications));
    sized(benchmark::RegisterBenchmark("updateVersion", updateVersion));
    sized(benchmark::RegisterBenchmark("getFileUpdates", getFileUpdates));
    sized(benchmark::RegisterBenchmark("getSettingUpdates", getSettingUpdates));
    benchmark::RegisterBenchmark("Version/parse", versionParse);
    benchmark::RegisterBenchmark("Version/parseRegExp", versionParseRegExp);
    benchmark::RegisterBenchmark("Version/print", versionPrint);
    benchmark::RegisterBenchmark("Version/compare", versionCompare);
}
