// SPDX-License-Identifier: MIT
#ifndef RULES_REGISTRY_H
#define RULES_REGISTRY_H

#include <QString>
#include <QVector>

/// Every rule a finding may name. Code names a rule by its value; its id and texts come
/// from ruleEntry(), and rules/ holds one file per family of them.
// clang-format off
enum class Rule {
    NotJson, Unreadable, BadSignature, SignatureExpiring, // reading
    IgnoredManifest, NoApps, NotObject, UnusableMember, // root.cpp, and any entry
    NullVersion, VersionOverflow, VersionDigits, // versions.cpp
    DuplicateRelease, SuffixOrder, TipNotMarked, ValueNotText, // releases.cpp, settings.cpp
    CriticalNotBoolean, RolloutMalformed, // releases.cpp
    EntryOrder, SecondEntry, // entries.cpp
    FileDropped, FileDigest, UnhashedFile, FileOutside, // files.cpp
    UnknownPlatform, MisspelledMember, SimilarName, // entries.cpp, names.cpp
    PlatformWithoutRelease, VersionWithoutRelease, // entries.cpp, versions.cpp
    RepeatedKey, UnknownEscape, RawControl, // text.cpp
    UrlScheme, UrlCharacters, UrlCredentials // files.cpp
};
// clang-format on

enum class Severity { Warning, Error };

struct RuleEntry
{
    Rule rule;
    const char *id; // what users filter on: never change it
    Severity severity; // a finding's unless it says otherwise
    int exitCode; // lint's exit code for it: 3 or 4, or 0 to go by the severity
    const char *summary;
    const char *help; // how to mend it
};

/// Every rule, in a fixed order (SARIF's ruleIndex).
const QVector<RuleEntry> &ruleEntries();

const RuleEntry &ruleEntry(Rule rule);

#endif // RULES_REGISTRY_H
