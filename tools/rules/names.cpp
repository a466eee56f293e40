// SPDX-License-Identifier: MIT
#include "rules/linter.h"

#include "rules/similar.h"

#include "source/places.h"

#include <algorithm>

using namespace MZU;
using namespace MZU::Internal;

namespace {

// A member hosts read, and what they do when it is not there.
struct Known
{
    const char *name;
    const char *without;
};

const Known rootMembers[] = { { "name", "hosts ignore the whole manifest" },
    { "apps", "hosts find no releases" } };
const Known releaseMembers[] = { { "name", "hosts ignore this release" },
    { "os", "hosts ignore this release" }, { "version", "hosts ignore this release" },
    { "changelog", "hosts show no change log for this release" },
    { "tip", "hosts do not stop at this release" } };
const Known applicationMembers[] = { { "name", "hosts never find its files and settings" },
    { "os", "hosts read nothing of this entry" } };
const Known systemMembers[] = { { "name", "no host reads this OS entry" },
    { "files", "hosts get no files from it" }, { "settings", "hosts get no settings from it" } };
const Known fileMembers[] = { { "version", "hosts skip this file entry" },
    { "filename", "hosts drop this file entry" }, { "location", "hosts drop this file entry" },
    { "url", "hosts drop this file entry" }, { "size", "fileMatches() cannot check the size" },
    { "sha256", "fileMatches() cannot check the content" } };
const Known settingMembers[] = { { "version", "hosts skip this setting entry" },
    { "key", "hosts skip this setting entry" }, { "type", "hosts get an empty type" },
    { "value", "hosts get an empty value" } };

} // namespace

void Linter::similarNames()
{
    // Names of release and application entries, with how often each is used.
    QStringList names;
    QHash<QString, int> uses;
    QHash<QString, QVector<int>> releasesNamed;
    QHash<QString, QVector<int>> applicationsNamed;
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject entry = list.at(i).toObject();
        const QJsonValue os = entry.value(QLatin1String("os"));
        const QString name = entry.value(QLatin1String("name")).toString();
        if (name.isEmpty() || !(os.isString() || os.isArray()))
            continue;
        if (!uses.contains(name))
            names.append(name);
        ++uses[name];
        (os.isString() ? releasesNamed : applicationsNamed)[name].append(i);
    }
    const auto firstUse = [&](const QString &name) {
        return std::min(releasesNamed.value(name).value(0, list.size()),
            applicationsNamed.value(name).value(0, list.size()));
    };
    // A name is taken for a slip of the most used name close to it, when that one is used
    // more, or as often but earlier.
    QHash<int, int> meantFor;
    const auto better = [&](int x, int y) {
        const int a = uses.value(names.at(x));
        const int b = uses.value(names.at(y));
        return a != b ? a > b : firstUse(names.at(x)) < firstUse(names.at(y));
    };
    for (const auto &pair : ::similarNames(names)) {
        for (const auto &[slip, meant] :
            { std::make_pair(pair.first, pair.second), std::make_pair(pair.second, pair.first) }) {
            if (better(meant, slip)
                && (!meantFor.contains(slip) || better(meant, meantFor.value(slip))))
                meantFor.insert(slip, meant);
        }
    }
    for (auto it = meantFor.cbegin(); it != meantFor.cend(); ++it) {
        const QString &slip = names.at(it.key());
        const QString &meant = names.at(it.value());
        for (int i : releasesNamed.value(slip))
            add(appsPointer(i) + "/name", Rule::SimilarName,
                QStringLiteral("the release name %1 differs from %2 only by letter case, spacing "
                               "or a small edit; names compare exactly, so hosts of %2 never "
                               "see this release")
                    .arg(inQuotes(slip), inQuotes(meant)));
        if (releasesNamed.contains(slip) || !releasesNamed.contains(meant))
            continue;
        for (int i : applicationsNamed.value(slip))
            add(appsPointer(i) + "/name", Rule::SimilarName,
                QStringLiteral("no release entry is named %1, but %2 is; names compare exactly")
                    .arg(inQuotes(slip), inQuotes(meant)));
    }
}

void Linter::misnamed(const QString &at, const QJsonObject &entry, Members members)
{
    const std::pair<const Known *, const Known *> lists[] = { { std::begin(rootMembers),
                                                                  std::end(rootMembers) },
        { std::begin(releaseMembers), std::end(releaseMembers) },
        { std::begin(applicationMembers), std::end(applicationMembers) },
        { std::begin(systemMembers), std::end(systemMembers) },
        { std::begin(fileMembers), std::end(fileMembers) },
        { std::begin(settingMembers), std::end(settingMembers) } };
    const Known *begin = lists[int(members)].first;
    const Known *end = lists[int(members)].second;
    QStringList missing;
    for (const Known *known = begin; known != end; ++known) {
        if (!entry.contains(QLatin1String(known->name)))
            missing.append(QLatin1String(known->name));
    }
    // Without a missing member, or an unknown one, there is no slip to find.
    if (missing.isEmpty() || entry.size() + missing.size() == end - begin)
        return;
    QStringList unknown;
    for (auto it = entry.begin(); it != entry.end(); ++it) {
        const QString key = it.key();
        if (std::none_of(
                begin, end, [&](const Known &member) { return key == QLatin1String(member.name); }))
            unknown.append(key);
    }
    for (const QString &key : qAsConst(unknown)) {
        const QString near = misspelled(key, missing);
        if (near.isEmpty())
            continue;
        const Known *known = std::find_if(
            begin, end, [&](const Known &member) { return near == QLatin1String(member.name); });
        if (add(at + '/' + pointerToken(key), Rule::MisspelledMember,
                QStringLiteral("%1 is not read; did you mean %2? Without it %3")
                    .arg(inQuotes(key), inQuotes(near), QLatin1String(known->without)))) {
            findings.last().atName = true;
            misspelledAs.insert(at + '/' + near, findings.last().pointer);
        }
    }
}
