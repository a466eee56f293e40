// SPDX-License-Identifier: MIT
#include "rules/linter.h"

#include <QVarLengthArray>

#include <cstdlib>
#include <tuple>

namespace {

// A member hosts read, and what they do when it is not there.
struct Known
{
    const char *name;
    const char *without;
};

// By Members: the root, release, application, OS, file and setting entries.
const QVector<Known> knownMembers[] = { { { "name", "hosts ignore the whole manifest" },
                                            { "apps", "hosts find no releases" } },
    { { "name", "hosts ignore this release" }, { "os", "hosts ignore this release" },
        { "version", "hosts ignore this release" },
        { "changelog", "hosts show no change log for this release" },
        { "tip", "hosts do not stop at this release" },
        { "critical", "hosts do not treat this release as critical" },
        { "rollout", "the release reaches every install at once" } },
    { { "name", "hosts never find its files and settings" },
        { "os", "hosts read nothing of this entry" } },
    { { "name", "no host reads this OS entry" }, { "files", "hosts get no files from it" },
        { "settings", "hosts get no settings from it" } },
    { { "version", "hosts skip this file entry" }, { "filename", "hosts drop this file entry" },
        { "location", "hosts drop this file entry" }, { "url", "hosts drop this file entry" },
        { "size", "fileMatches() cannot check the size" },
        { "sha256", "fileMatches() cannot check the content" } },
    { { "version", "hosts skip this setting entry" }, { "key", "hosts skip this setting entry" },
        { "type", "hosts get an empty type" }, { "value", "hosts get an empty value" } } };

// Short names tolerate one edit, longer ones two; never as many as the name is long.
bool close(const QString &a, const QString &b)
{
    if (a == b)
        return true;
    const int length = int(std::min(a.size(), b.size()));
    const int limit = length >= 8 ? 2 : length >= 4 ? 1 : 0;
    return limit > 0 && editDistance(a, b, limit) <= limit;
}

QString withoutDigits(QString text)
{
    const auto digit = [](QChar c) { return c.isDigit(); };
    text.truncate(int(std::remove_if(text.begin(), text.end(), digit) - text.begin()));
    return text;
}

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
    // A name is taken for a slip of the most used name close to it, when that one is used
    // more, or as often but earlier (names are in the order of their first use).
    QHash<int, int> meantFor;
    const auto better = [&](int x, int y) {
        const int a = uses.value(names.at(x));
        const int b = uses.value(names.at(y));
        return a != b ? a > b : x < y;
    };
    for (auto [meant, slip] : ::similarNames(names)) {
        if (better(slip, meant))
            std::swap(meant, slip);
        if (!meantFor.contains(slip) || better(meant, meantFor.value(slip)))
            meantFor.insert(slip, meant);
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
    const QVector<Known> &known = knownMembers[int(members)];
    const auto knownAs = [&](const QString &name) {
        return std::find_if(known.begin(), known.end(),
            [&](const Known &member) { return name == QLatin1String(member.name); });
    };
    QStringList missing;
    for (const Known &member : known) {
        if (!entry.contains(QLatin1String(member.name)))
            missing.append(QLatin1String(member.name));
    }
    // Without a missing member, or an unknown one, there is no slip to find.
    if (missing.isEmpty() || entry.size() + missing.size() == known.size())
        return;
    for (const QString &key : entry.keys()) {
        const QString near = knownAs(key) == known.end() ? misspelled(key, missing) : QString();
        if (near.isEmpty())
            continue;
        add(at + '/' + pointerToken(key), Rule::MisspelledMember,
            QStringLiteral("%1 is not read; did you mean %2? Without it %3")
                .arg(inQuotes(key), inQuotes(near), QLatin1String(knownAs(near)->without)));
        findings.last().atName = true;
        misspelledAs.insert(at + '/' + near, findings.last().pointer);
    }
}

int editDistance(const QString &a, const QString &b, int limit)
{
    const int n = int(a.size());
    const int m = int(b.size());
    if (std::abs(n - m) > limit)
        return limit + 1;
    // Three rows suffice for the transposition step; they take turns in one buffer.
    QVarLengthArray<int, 192> rows(3 * (m + 1));
    int *before = rows.data();
    int *previous = before + m + 1;
    int *current = previous + m + 1;
    for (int j = 0; j <= m; ++j)
        previous[j] = j;
    for (int i = 1; i <= n; ++i) {
        current[0] = i;
        int best = i;
        for (int j = 1; j <= m; ++j) {
            const int cost = a.at(i - 1) == b.at(j - 1) ? 0 : 1;
            int d = std::min({ previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost });
            if (i > 1 && j > 1 && a.at(i - 1) == b.at(j - 2) && a.at(i - 2) == b.at(j - 1))
                d = std::min(d, before[j - 2] + 1);
            current[j] = d;
            best = std::min(best, d);
        }
        if (best > limit)
            return limit + 1;
        std::tie(before, previous, current) = std::make_tuple(previous, current, before);
    }
    return std::min(previous[m], limit + 1);
}

QString folded(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (!c.isSpace())
            result += c.toLower();
    }
    return result;
}

QString misspelled(const QString &name, const QStringList &known)
{
    const QString key = folded(name);
    if (known.contains(key))
        return key;
    // Member names are short: a third of the name may be wrong, up to two edits.
    for (const QString &candidate : known) {
        const int limit = std::min(2, int(candidate.size()) / 3);
        if (limit > 0 && editDistance(key, candidate, limit) <= limit)
            return candidate;
    }
    return QString();
}

QVector<QPair<int, int>> similarNames(const QStringList &names)
{
    // Long names are compared only when they fold alike: their variants would cost a
    // square of their length.
    constexpr int longest = 64;
    constexpr int bucketLimit = 32;
    QHash<QString, QVector<int>> buckets;
    QVector<QString> keys;
    QVector<QString> letters;
    for (int i = 0; i < names.size(); ++i) {
        const QString key = folded(names.at(i));
        keys.append(key);
        letters.append(withoutDigits(key));
        QSet<QString> variants { key };
        if (key.size() <= longest) {
            for (int k = 0; k < key.size(); ++k)
                variants.insert(QString(key).remove(k, 1));
        }
        for (const QString &variant : qAsConst(variants)) {
            QVector<int> &bucket = buckets[variant];
            if (bucket.size() < bucketLimit)
                bucket.append(i);
        }
    }
    QSet<QPair<int, int>> pairs;
    for (auto it = buckets.cbegin(); it != buckets.cend(); ++it) {
        const QVector<int> &bucket = it.value();
        for (int x = 0; x < bucket.size(); ++x) {
            for (int y = x + 1; y < bucket.size(); ++y) {
                const int a = bucket.at(x);
                const int b = bucket.at(y);
                if (names.at(a) != names.at(b)
                    && (keys.at(a) == keys.at(b) || letters.at(a) != letters.at(b))
                    && close(keys.at(a), keys.at(b)))
                    pairs.insert(qMakePair(std::min(a, b), std::max(a, b)));
            }
        }
    }
    QVector<QPair<int, int>> result(pairs.begin(), pairs.end());
    std::sort(result.begin(), result.end());
    return result;
}
