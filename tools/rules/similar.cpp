// SPDX-License-Identifier: MIT
#include "rules/similar.h"

#include <QHash>
#include <QSet>
#include <QVarLengthArray>

#include <algorithm>
#include <cstdlib>

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
        int *oldest = before;
        before = previous;
        previous = current;
        current = oldest;
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

namespace {

// Short names tolerate one edit, longer ones two; never as many as the name is long.
bool close(const QString &a, const QString &b)
{
    if (a == b)
        return true;
    const int length = int(std::min(a.size(), b.size()));
    const int limit = length >= 8 ? 2 : length >= 4 ? 1 : 0;
    return limit > 0 && editDistance(a, b, limit) <= limit;
}

QString withoutDigits(const QString &text)
{
    QString kept;
    for (const QChar c : text) {
        if (!c.isDigit())
            kept += c;
    }
    return kept;
}

} // namespace

QString misspelled(const QString &name, const QStringList &known)
{
    const QString key = folded(name);
    for (const QString &candidate : known) {
        if (key == candidate)
            return candidate;
    }
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
    keys.reserve(names.size());
    letters.reserve(names.size());
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
