#include "mzu.h"

#include "manifest_p.h"

#include <QCborArray>
#include <QCborMap>
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <tuple>
#include <vector>

namespace MZU {
namespace Internal {

QVariantHash EntryConverter::convert(const QJsonObject &entry, std::initializer_list<Known> known)
{
    // QJsonObject::toVariantHash() is this loop over the same QCborMap, reserved the same
    // way, so the buckets and the iteration order come out the same too.
    const QCborMap map = QCborMap::fromJsonObject(entry);
    QVariantHash values;
    values.reserve(int(map.size()));
    int i = 0;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it, ++i) {
        const QCborValue key = it.key();
        if (i == keys.size())
            keys.append(qMakePair(key, key.toString()));
        else if (!(keys.at(i).first == key))
            keys[i] = qMakePair(key, key.toString());
        const QString &keyText = keys.at(i).second;
        const auto value = it.value(); // a reference type, named differently per Qt
        const QString *text = nullptr;
        if (value.isString()) {
            for (const Known &member : known) {
                if (keyText == member.key) {
                    text = member.text;
                    break;
                }
            }
        }
        values.insert(keyText, text ? QVariant(*text) : value.toVariant());
    }
    return values;
}

QMultiHash<QString, ApplicationInfo> getApplications(
    const QJsonDocument &manifest, const QString &os, WalkObserver *observer)
{
    QMultiHash<QString, ApplicationInfo> catalogue;
    EntryConverter converter;
    QString lastName;
    const QJsonValue list = manifest.object().value(QLatin1String("apps"));
    const QJsonArray apps = list.toArray();
    WalkPlace place;
    if (observer && !list.isUndefined() && !list.isArray()) {
        place.member = QStringLiteral("apps");
        observer->skipped(Skip::NotArray, place);
        place.member.clear();
    }
    for (int i = 0; i < apps.size(); ++i) {
        place.app = i;
        const QJsonValue element = apps.at(i);
        if (!element.isObject()) {
            if (observer)
                observer->skipped(Skip::NotObject, place);
            continue;
        }
        const QJsonObject entry = element.toObject();
        if (entry.value(QLatin1String("os")).toString() != os) {
            if (observer)
                observer->skipped(Skip::OtherOs, place);
            continue;
        }
        QString name = entry.value(QLatin1String("name")).toString();
        const QString versionText = entry.value(QLatin1String("version")).toString();
        const Version version(versionText);
        // Checked before converting the entry: the conversion is the costly part.
        if (name.isEmpty() || version.isNull()) {
            if (observer)
                observer->skipped(name.isEmpty() ? Skip::EmptyName : Skip::NullVersion, place);
            continue;
        }
        // One text for the key and the values of all the releases of an application.
        if (name == lastName)
            name = lastName;
        else
            lastName = name;
        const QVariantHash values = converter.convert(entry,
            { { QLatin1String("name"), &name }, { QLatin1String("os"), &os },
                { QLatin1String("version"), &versionText } });
        catalogue.insert(name, ApplicationInfo { version, values });
    }
    return catalogue;
}

namespace {

// One release as update resolution sorts it: the numbers first, so that most comparisons
// settle without touching the record.
template <typename Entry> struct Candidate
{
    quint32 major, minor, patch;
    const Version *version;
    Entry entry;
};

// Update resolution over @p releases, listed in the order a catalogue's values(name) gives
// them; @p text(entry, key) reads a member of a release as QVariant::toString() would.
template <typename Entry, typename Text>
bool resolve(std::vector<Candidate<Entry>> &releases, const Version &current, Version &newVersion,
    QString &changelog, Text text)
{
    newVersion = Version();
    changelog = QString();
    if (releases.empty())
        return false;
    const auto older = [](const Candidate<Entry> &a, const Candidate<Entry> &b) {
        const auto x = std::tie(a.major, a.minor, a.patch);
        const auto y = std::tie(b.major, b.minor, b.patch);
        return x != y ? x < y : *a.version < *b.version;
    };
    // Manifests list releases in order, and a strictly ordered list has only one sorted
    // order: take it without sorting.
    const auto strictly = [&](auto before) {
        for (size_t i = 1; i < releases.size(); ++i) {
            if (!before(releases[i - 1], releases[i]))
                return false;
        }
        return true;
    };
    if (!strictly(older)) {
        if (strictly([&](const auto &a, const auto &b) { return older(b, a); }))
            std::reverse(releases.begin(), releases.end());
        else
            std::sort(releases.begin(), releases.end(), older);
    }

    const QString changelogKey = QStringLiteral("changelog");
    const QString tipKey = QStringLiteral("tip");
    std::vector<std::pair<QString, QString>> blocks; // version and change log, oldest first
    int length = 0;
    const auto now = std::tie(current.major, current.minor, current.patch);
    for (const Candidate<Entry> &release : releases) {
        // Lower numbers settle most older releases without touching the record.
        if (std::tie(release.major, release.minor, release.patch) < now)
            continue;
        if (*release.version <= current)
            continue;
        newVersion = *release.version;
        QString log = text(release.entry, changelogKey);
        if (!log.isEmpty()) {
            blocks.emplace_back(release.version->toString(), std::move(log));
            length += blocks.back().first.size() + 2 + blocks.back().second.size() + 1;
        }
        if (text(release.entry, tipKey) == QLatin1String("true"))
            break;
    }
    // Newest first, one "\n" apart, in one allocation; no block leaves it null.
    if (!blocks.empty()) {
        changelog.reserve(length - 1);
        for (auto block = blocks.crbegin(); block != blocks.crend(); ++block) {
            if (block != blocks.crbegin())
                changelog += QLatin1Char('\n');
            changelog += block->first;
            changelog += QLatin1String(":\n");
            changelog += block->second;
        }
    }
    return !newVersion.isNull();
}

} // namespace

bool resolveUpdate(const QJsonDocument &manifest, const QString &os, const QString &name,
    const Version &current, Version &newVersion, QString &changelog)
{
    // The same data seen as CBOR: its values compare and convert in place, where QJsonValue
    // would copy every text out. The conversion is the one getApplications() makes.
    const QCborArray apps =
        QCborArray::fromJsonArray(manifest.object().value(QLatin1String("apps")).toArray());
    const QCborValue wantedName(name);
    const QCborValue wantedOs(os);
    std::vector<std::pair<Version, QCborMap>> matching; // in the manifest's order
    if (!name.isEmpty()) { // getApplications() keeps no nameless release
        for (const QCborValue &element : apps) {
            const QCborMap entry = element.toMap();
            if (!(entry.value(QLatin1String("name")) == wantedName)
                || !(entry.value(QLatin1String("os")) == wantedOs))
                continue;
            Version version(entry.value(QLatin1String("version")).toString());
            if (!version.isNull())
                matching.emplace_back(std::move(version), entry);
        }
    }
    // A catalogue gives the releases of one name newest-inserted first.
    std::vector<Candidate<const QCborMap *>> releases;
    releases.reserve(matching.size());
    for (auto it = matching.crbegin(); it != matching.crend(); ++it) {
        const Version &version = it->first;
        releases.push_back({ version.major, version.minor, version.patch, &version, &it->second });
    }
    // Only the releases newer than the current one are read, and only these two members.
    return resolve(
        releases, current, newVersion, changelog, [](const QCborMap *entry, const QString &key) {
            const QCborValue value = entry->value(key);
            if (value.isString()) // most are: skip the QVariant
                return value.toString();
            return value.isUndefined() ? QString() : value.toVariant().toString();
        });
}

std::optional<bool> resolveUpdate(const QByteArray &json, const QString &os, const QString &name,
    const Version &current, Version &newVersion, QString &changelog)
{
    const std::optional<std::vector<ScannedRelease>> matching = scanReleases(json, os, name);
    if (!matching)
        return std::nullopt;
    std::vector<Candidate<const ScannedRelease *>> releases;
    releases.reserve(matching->size());
    for (auto it = matching->crbegin(); it != matching->crend(); ++it) {
        const Version &version = it->version;
        releases.push_back({ version.major, version.minor, version.patch, &version, &*it });
    }
    return resolve(releases, current, newVersion, changelog,
        [&json](const ScannedRelease *release, const QString &key) {
            return rawText(json, key == QLatin1String("tip") ? release->tip : release->changelog);
        });
}

bool isManifest(const QJsonDocument &manifest)
{
    return manifest.object().value(QLatin1String("name")).toString()
        == QLatin1String("Versions.json");
}

} // namespace Internal

QMultiHash<QString, ApplicationInfo> getApplications(const QJsonDocument &manifest)
{
    return Internal::getApplications(manifest, osString());
}

bool updateVersion(const QMultiHash<QString, ApplicationInfo> &catalogue, const QString &name,
    const Version &current, Version &newVersion, QString &changelog)
{
    // Sorting compact keys rather than the records keeps a large catalogue's scattered
    // nodes out of the sort.
    std::vector<Internal::Candidate<const ApplicationInfo *>> releases;
    for (auto it = catalogue.constFind(name); it != catalogue.cend() && it.key() == name; ++it) {
        const Version &version = it.value().version;
        releases.push_back({ version.major, version.minor, version.patch, &version, &it.value() });
    }
    return Internal::resolve(releases, current, newVersion, changelog,
        [](const ApplicationInfo *release, const QString &key) {
            return release->values.value(key).toString();
        });
}

} // namespace MZU
