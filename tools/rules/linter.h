// SPDX-License-Identifier: MIT
#ifndef RULES_LINTER_H
#define RULES_LINTER_H

#include "rules/lint.h"

#include "manifest/manifest_p.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>

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

/// The objects whose members hosts read, each with its own members.
enum class Members { Root, Release, Application, System, File, Setting };

/// The walks' rules over one manifest, without its text.
class Linter
{
public:
    Linter(const QJsonDocument &manifest, const QString &hostOs, bool signedManifest);
    QVector<Finding> run();

private:
    // False when the same finding was made already: several walks pass over one element.
    bool add(const QString &pointer, Rule rule, const QString &message)
    {
        return addAs(ruleEntry(rule).severity, pointer, rule, message);
    }
    bool addAs(Severity severity, const QString &pointer, Rule rule, const QString &message);

    // root.cpp
    bool topLevel();
    // releases.cpp
    void releases();
    void release(int index, const QJsonObject &entry);
    // entries.cpp: application and OS entries
    void applications();
    void systems(int app, const QJsonObject &entry, const QString &name);
    bool platform(const QString &at, const QString &os);
    // files.cpp
    void files(const QString &at, const QJsonObject &system, const QString &released);
    void dropped(
        const QString &at, const QJsonObject &entry, const MZU::Internal::SkipReason &reason);
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
    QSet<QString> seen;
    QHash<QString, QString> misspelledAs; // a missing member's pointer: its misspelling's
    QHash<QString, bool> platforms; // known or not
    // The releases hosts read: of each name and platform, each version with the index of
    // its first release.
    QHash<QString, QHash<QString, int>> releasesOf;
};

#endif // RULES_LINTER_H
