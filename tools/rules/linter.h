// SPDX-License-Identifier: MIT
#ifndef RULES_LINTER_H
#define RULES_LINTER_H

#include "rules/lint.h"

#include "manifest/manifest_p.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QPair>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <algorithm>

// For the rules/ files only, which all speak of the library's versions and walks.
using namespace MZU;
using namespace MZU::Internal;

// What the rules share; each family of rules has a file of its own in rules/.

/// @p text in double quotes, with characters that look like others or like nothing written
/// as \u escapes, so that "ver\u200bsion" does not read as "version".
QString inQuotes(const QString &text);

/// @p value as compact JSON, cut to 40 characters.
QString shortJson(const QJsonValue &value);

/// "a number (2)", "an array", "missing", ...
QString typeOf(const QJsonValue &value);

/// Why a member that must be a non-empty string is not one.
QString notText(const QString &member, const QJsonValue &value);

/// The pointer of element @p index of "apps".
QString appsPointer(int index);

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

/// The objects whose members hosts read, each with its own members.
enum class Members { Root, Release, Application, System, File, Setting };

/// The walks' rules over one manifest, without its text.
class Linter
{
public:
    Linter(const QJsonDocument &manifest, const QString &hostOs, bool signedManifest);
    QVector<Finding> run();

private:
    void add(const QString &pointer, Rule rule, const QString &message)
    {
        addAs(ruleEntry(rule).severity, pointer, rule, message);
    }
    void addAs(Severity severity, const QString &pointer, Rule rule, const QString &message);

    // root.cpp
    bool topLevel();
    // releases.cpp
    void releases();
    void release(int index, const QJsonObject &entry);
    // entries.cpp: application and OS entries
    void applications();
    void systems(int app, const QJsonObject &entry, const QString &name);
    bool platform(const QString &at, const QString &os);
    QString misspeltPlatform(const QString &os) const;
    // files.cpp, and settings.cpp: an OS entry's lists, and what their entries share
    QJsonArray entryList(const QString &at, const QJsonObject &system, const QString &member);
    void entryRules(
        const QString &at, const QJsonObject &entry, Members members, const QString &released);
    void files(const QString &at, const QJsonObject &system, const QString &released);
    void dropped(const QString &at, const QJsonObject &entry, const SkipReason &reason);
    void url(const QString &at, const QJsonValue &value);
    void digest(const QString &at, const QJsonObject &entry);
    void outside(const QString &at, const QJsonObject &entry);
    // settings.cpp
    void settings(const QString &at, const QJsonObject &system, const QString &released);
    // names.cpp
    void similarNames();
    void misnamed(const QString &at, const QJsonObject &entry, Members members);
    // versions.cpp
    void unreleased(const QString &at, const QJsonValue &version, const QString &released);
    void misread(const QString &at, const QJsonValue &version);
    void nullVersion(const QString &at, const QJsonValue &version, const QString &consequence);

    const QJsonDocument &manifest;
    const QString hostOs;
    const bool signedManifest; // checked against trusted keys
    const QJsonArray list;
    QVector<Finding> findings;
    QHash<QString, QString> misspelledAs; // a missing member's pointer: its misspelling's
    // The releases hosts read: of each name and platform, each version with the index of
    // its first release.
    QHash<QString, QHash<QString, int>> releasesOf;
    // The same for the releases under a misspelled platform, by the platform meant: the
    // platform's error names their cause, so no entry of the platform meant is blamed for it.
    QHash<QString, QHash<QString, int>> misplacedOf;
};

#endif // RULES_LINTER_H
