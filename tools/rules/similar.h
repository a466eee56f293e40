// SPDX-License-Identifier: MIT
#ifndef RULES_SIMILAR_H
#define RULES_SIMILAR_H

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

/// The Damerau-Levenshtein distance (optimal string alignment) of @p a and @p b, or
/// @p limit + 1 when it is above @p limit.
int editDistance(const QString &a, const QString &b, int limit);

/// @p text in lower case without white space: names that differ only so fold alike.
QString folded(const QString &text);

/// The member of @p known that @p name almost spells (letter case, spaces, or a small edit
/// for its length), or empty text.
QString misspelled(const QString &name, const QStringList &known);

/// Pairs of indices into @p names whose texts differ only by letter case, spacing or a
/// small edit (not only in digits: "App1" and "App2" are meant). Linear in the names: each
/// is compared only with those that share a one-deletion variant of its folded text.
QVector<QPair<int, int>> similarNames(const QStringList &names);

#endif // RULES_SIMILAR_H
