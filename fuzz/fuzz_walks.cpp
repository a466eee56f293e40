// SPDX-License-Identifier: MIT
// The file and setting walks against a plain model of them: the entry list chosen, and for
// each entry in array order either the record, a faithful copy of the entry, or the one
// reason it was skipped for.
#include "fuzz.h"

#include "manifest/manifest_p.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QPair>
#include <QVector>

#include <optional>

namespace {

using namespace MZU::Internal;
using MZU::Version;

struct Recorder : WalkObserver
{
    explicit Recorder(Walk walk)
        : walk(walk)
    {
    }
    void skipped(Skip reason, const WalkPlace &place) override
    {
        FUZZ_CHECK(place.walk == walk);
        // Notes on a member or on a whole list cost no entry.
        if (reason == Skip::NotText || place.entry < 0)
            FUZZ_CHECK(!place.member.isEmpty());
        else
            skips.append(qMakePair(place.entry, reason));
    }
    void entered(Walk entered, int app, int os) override
    {
        FUZZ_CHECK(entered == walk && this->app == -2);
        this->app = app;
        this->os = os;
    }

    const Walk walk;
    int app = -2;
    int os = -2;
    QVector<QPair<int, Skip>> skips;
};

std::optional<Skip> expectedSkip(
    Walk walk, const QJsonValue &element, const Version &from, const Version &to)
{
    const QJsonObject entry = element.toObject();
    const Version version(entry.value(QLatin1String("version")).toString());
    if (!element.isObject())
        return Skip::NotObject;
    if (version.isNull())
        return Skip::NullVersion;
    if (!(from < version && version <= to))
        return Skip::OutsideWindow;
    if (walk == Walk::Settings) {
        if (entry.value(QLatin1String("key")).toString().isEmpty())
            return Skip::EmptyKey;
        return std::nullopt;
    }
    const QVector<SkipReason> skips = fileSkips(MZU::UpdateFile { version, entry.toVariantHash() });
    return skips.isEmpty() ? std::nullopt : std::optional<Skip>(skips.constFirst().skip);
}

void checkRecord(const MZU::UpdateFile &file, const QJsonObject &entry)
{
    // Hosts that list the members see them in QJsonObject::toVariantHash()'s order too.
    const QVariantHash values = entry.toVariantHash();
    FUZZ_CHECK(file.isValid() && file.values == values && file.values.keys() == values.keys());
}

void checkRecord(const MZU::SettingValue &setting, const QJsonObject &entry)
{
    FUZZ_CHECK(setting.key == entry.value(QLatin1String("key")).toString());
    FUZZ_CHECK(setting.type == entry.value(QLatin1String("type")).toString());
    FUZZ_CHECK(setting.value == entry.value(QLatin1String("value")).toString());
}

template <typename Record>
void checkWalk(const Recorder &recorder, const QList<Record> &records, const QJsonArray &entries,
    int appIndex, int osIndex, const Version &from, const Version &to)
{
    FUZZ_CHECK(recorder.app == appIndex && recorder.os == osIndex);
    int record = 0;
    int skip = 0;
    for (int i = 0; i < entries.size(); ++i) {
        const std::optional<Skip> reason = expectedSkip(recorder.walk, entries.at(i), from, to);
        if (reason) {
            FUZZ_CHECK(
                skip < recorder.skips.size() && recorder.skips.at(skip++) == qMakePair(i, *reason));
            continue;
        }
        FUZZ_CHECK(record < records.size());
        const Record &found = records.at(record++);
        const QJsonObject entry = entries.at(i).toObject();
        FUZZ_CHECK(found.version == Version(entry.value(QLatin1String("version")).toString()));
        checkRecord(found, entry);
    }
    FUZZ_CHECK(record == records.size() && skip == recorder.skips.size());
}

// Applications are matched on the text of "name", OS entries only on a JSON string.
int firstNamed(const QJsonArray &array, const QString &name, bool asText)
{
    for (int i = 0; i < array.size(); ++i) {
        const QJsonValue own = array.at(i).toObject().value(QLatin1String("name"));
        if (asText ? own.toString() == name : own == QJsonValue(name))
            return i;
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument manifest = Fuzz::parse(data, size);
    const QJsonArray apps = manifest.object().value(QLatin1String("apps")).toArray();
    QStringList names { QString() };
    for (int i = 0; i < apps.size() && names.size() < 3; ++i) {
        const QString name = apps.at(i).toObject().value(QLatin1String("name")).toString();
        if (!names.contains(name))
            names.append(name);
    }
    for (const QString &name : qAsConst(names)) {
        const int appIndex = firstNamed(apps, name, true);
        const QJsonArray systems =
            apps.at(appIndex).toObject().value(QLatin1String("os")).toArray();
        for (const QString &os : Fuzz::osNames()) {
            const int osIndex = firstNamed(systems, os, false);
            const QJsonObject system = systems.at(osIndex).toObject();
            const QJsonArray files = system.value(QLatin1String("files")).toArray();
            const QJsonArray settings = system.value(QLatin1String("settings")).toArray();

            // Window ends: none, the first versions the lists name, and the greatest there is.
            QVector<Version> ends { Version(),
                Version(QStringLiteral("4294967295.4294967295.4294967295-\uffff")) };
            for (const QJsonArray &list : { files, settings }) {
                for (int i = 0; i < list.size() && i < 2; ++i)
                    ends.append(Version(list.at(i)[QLatin1String("version")].toString()));
            }
            for (const Version &from : qAsConst(ends)) {
                for (const Version &to : qAsConst(ends)) {
                    Recorder fileRecorder(Walk::Files);
                    checkWalk(fileRecorder,
                        getFileUpdates(manifest, name, from, to, os, &fileRecorder), files,
                        appIndex, osIndex, from, to);
                    Recorder settingRecorder(Walk::Settings);
                    checkWalk(settingRecorder,
                        getSettingUpdates(manifest, name, from, to, os, &settingRecorder), settings,
                        appIndex, osIndex, from, to);
                }
            }
        }
    }
    return 0;
}
