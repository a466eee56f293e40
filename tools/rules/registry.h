// SPDX-License-Identifier: MIT
#ifndef RULES_REGISTRY_H
#define RULES_REGISTRY_H

#include <QString>
#include <QVector>

/// Every rule a finding may name. Code names a rule by its value; its id and texts come
/// from ruleEntry(), and rules/ holds one file per family of them.
enum class Rule {
    NotJson,
    Unreadable,
    BadSignature,
    SignatureExpiring,
    IgnoredManifest,
    NoApps,
    NotObject,
    UnusableMember,
    NullVersion,
    VersionOverflow,
    VersionDigits,
    DuplicateRelease,
    SuffixOrder,
    TipNotMarked,
    ValueNotText,
    EntryOrder,
    SecondEntry,
    FileDropped,
    FileDigest,
    UnhashedFile,
    FileOutside,
    UnknownPlatform,
    MisspelledMember,
    SimilarName,
    PlatformWithoutRelease,
    VersionWithoutRelease,
    RepeatedKey,
    UnknownEscape,
    RawControl,
    UrlScheme,
    UrlCharacters,
    UrlCredentials
};

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
