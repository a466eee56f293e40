// SPDX-License-Identifier: MIT
#include "rules/registry.h"

const QVector<RuleEntry> &ruleEntries()
{
    static const QVector<RuleEntry> rules {
        { Rule::NotJson, "not-json", Severity::Error, 3,
            "The text is not JSON that hosts can parse.",
            "Mend the text at the place given: the message says what JSON expects there." },
        { Rule::Unreadable, "unreadable", Severity::Error, 3,
            "The manifest cannot be read, downloaded, or is larger than hosts accept.",
            "Check the path or address and the server's answer; keep the manifest below 4 MiB." },
        { Rule::BadSignature, "bad-signature", Severity::Error, 4,
            "The manifest's signature does not verify with the --key/--key-file keys: hosts "
            "trusting them refuse it.",
            "Sign the manifest as published, byte for byte, with a key the hosts trust." },
        { Rule::SignatureExpiring, "signature-expiring", Severity::Warning, 0,
            "The manifest's signature expires in less than 7 days: hosts trusting the "
            "--key/--key-file keys refuse it a day after that.",
            "Sign the manifest again with a later expires= in the trusted comment." },
        { Rule::IgnoredManifest, "ignored-manifest", Severity::Error, 3,
            "Hosts ignore the whole manifest (root not an object, or its "
            "\"name\" is not \"Versions.json\").",
            "Make the root an object with \"name\": \"Versions.json\", spelled exactly so." },
        { Rule::NoApps, "no-apps", Severity::Error, 0,
            "\"apps\" is missing, empty or not an array: hosts find nothing.",
            "Give the root an \"apps\" array of release and application entries." },
        { Rule::NotObject, "not-object", Severity::Error, 0,
            "An element hosts skip because it is not an object.",
            "Write the element as an object with the members its list needs." },
        { Rule::UnusableMember, "unusable-member", Severity::Error, 0,
            "A member hosts need is missing, empty or of the wrong type.",
            "Give the member as a non-empty string (\"os\" of an application entry: an array)." },
        { Rule::NullVersion, "null-version", Severity::Error, 0,
            "A version that does not parse or is 0.0.0: the entry is skipped.",
            "Write the version as MAJOR.MINOR.PATCH, optionally followed by -suffix." },
        { Rule::VersionOverflow, "version-overflow", Severity::Warning, 0,
            "A version number beyond 32 bits reads as 0 (an error when the whole version then "
            "reads 0.0.0).",
            "Keep each number of the version below 4294967296." },
        { Rule::VersionDigits, "version-digits", Severity::Warning, 0,
            "A version with digits of another script, which read as 0 (an error when the whole "
            "version then reads 0.0.0).",
            "Write the version's digits as ASCII 0-9, as the message shows." },
        { Rule::DuplicateRelease, "duplicate-release", Severity::Error, 0,
            "Two releases of one application and platform share a version.",
            "Remove one of the two, or give it the version it was meant to have." },
        { Rule::SuffixOrder, "suffix-order", Severity::Warning, 0,
            "A pre-release-looking suffix sorts after the plain release.",
            "Give a pre-release a lower version than the release, or remove it once released." },
        { Rule::TipNotMarked, "tip-not-marked", Severity::Warning, 0,
            "A \"tip\" that looks meant but does not mark a tip.",
            "Write \"tip\": \"true\" (or true), or remove the member." },
        { Rule::ValueNotText, "value-not-text", Severity::Warning, 0,
            "A member read as text holds another JSON type and reads as empty.",
            "Write the value as a JSON string, in double quotes." },
        { Rule::CriticalNotBoolean, "critical-not-boolean", Severity::Error, 0,
            "A \"critical\" that is not true or false: hosts do not treat the release as "
            "critical.",
            "Write \"critical\": true (a JSON boolean, not text)." },
        { Rule::RolloutMalformed, "rollout-malformed", Severity::Error, 0,
            "A \"rollout\" hosts cannot read: the release is held back from every install.",
            "Write \"rollout\": {\"start\": \"YYYY-MM-DDTHH:MM:SSZ\", \"days\": D} with D a "
            "number of 0 or more." },
        { Rule::EntryOrder, "entry-order", Severity::Error, 0,
            "An entry of a name stands before its application entry.",
            "Move the application entry (with the \"os\" array) above the other entries of its "
            "name." },
        { Rule::SecondEntry, "second-entry", Severity::Error, 0,
            "A second application or OS entry of one name is never read.",
            "Merge its files and settings into the first entry of that name." },
        { Rule::FileDropped, "file-dropped", Severity::Error, 0,
            "A file entry hosts drop (filename, location or url unusable).",
            "Give \"filename\" and \"location\" as non-empty strings and \"url\" as a valid "
            "URL." },
        { Rule::FileDigest, "file-digest", Severity::Warning, 0,
            "A \"size\" or \"sha256\" of the wrong form: fileMatches() fails.",
            "Give \"size\" as a whole number of bytes and \"sha256\" as 64 hexadecimal "
            "digits." },
        { Rule::UnhashedFile, "unhashed-file", Severity::Warning, 0,
            "A file entry without \"sha256\" in a signed manifest.",
            "Add the file's \"sha256\", so that the signature covers the file too." },
        { Rule::FileOutside, "file-outside", Severity::Warning, 0,
            "A file entry whose \"location\" or \"filename\" is absolute or climbs above the "
            "installation with \"..\".",
            "Give paths relative to the installation folder, without \"..\" that leaves it." },
        { Rule::UnknownPlatform, "unknown-platform", Severity::Warning, 0,
            "A platform name that matches no known form.",
            "Write the platform as hosts name theirs: mac, linux or win, \"-\", and an "
            "architecture such as x86_64 or arm64." },
        { Rule::MisspelledMember, "misspelled-member", Severity::Warning, 0,
            "A member name that almost spells one hosts read.",
            "Spell the member as the message suggests." },
        { Rule::SimilarName, "similar-name", Severity::Warning, 0,
            "Application names that differ only slightly.",
            "Spell the application's name the same way in every entry." },
        { Rule::PlatformWithoutRelease, "platform-without-release", Severity::Warning, 0,
            "An OS entry for a platform with no release of its application.",
            "Add a release for that platform, or check the platform's spelling." },
        { Rule::VersionWithoutRelease, "version-without-release", Severity::Warning, 0,
            "A file or setting version that no release has.",
            "Use the version of the release that brings the file or setting." },
        { Rule::RepeatedKey, "repeated-key", Severity::Error, 0,
            "A member that appears twice in one object: hosts see one.",
            "Keep one of the two members." },
        { Rule::UnknownEscape, "unknown-escape", Severity::Warning, 0,
            "A backslash before a letter JSON does not escape: hosts drop the backslash.",
            "Write a backslash as \"\\\\\" (a Windows path: \"C:\\\\Users\")." },
        { Rule::RawControl, "raw-control", Severity::Warning, 0,
            "A raw control character or line break inside a string, which JSON forbids.",
            "Write it as an escape: \"\\n\" for a line break, \"\\t\" for a tab." },
        { Rule::UrlScheme, "url-scheme", Severity::Warning, 0,
            "A file URL without a scheme, or with one hosts are not expected to fetch.",
            "Write the full URL, starting with https://." },
        { Rule::UrlCharacters, "url-characters", Severity::Warning, 0,
            "A file URL with backslashes or white space.",
            "Separate with \"/\" and write a space as %20." },
        { Rule::UrlCredentials, "url-credentials", Severity::Warning, 0,
            "A file URL with a user name or password.",
            "Remove them from the URL: every host and every reader of the manifest gets them." },
    };
    return rules;
}

const RuleEntry &ruleEntry(Rule rule)
{
    return ruleEntries().at(int(rule)); // listed in the order of the enum, as a test checks
}
