// SPDX-License-Identifier: MIT
#ifndef REFERENCEVERSION_H
#define REFERENCEVERSION_H

#include "mzu.h"

#include <QRegularExpression>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QRegExp>
#endif

// The regular expression that defines the version syntax. Version::fromString is a
// hand-written equivalent; fuzz_version and the benchmarks hold it to these.
namespace Reference {

inline bool store(bool matched, const QString (&groups)[4], MZU::Version &version)
{
    version.major = matched ? groups[0].toUInt() : 0;
    version.minor = matched ? groups[1].toUInt() : 0;
    version.patch = matched ? groups[2].toUInt() : 0;
    version.suffix = matched ? groups[3].mid(1) : version.suffix;
    return matched;
}

/// The pattern with QRegularExpression, reading the text as QRegExp does: "\d" is any
/// Unicode decimal digit and "." takes line breaks too. QRegExp reads UTF-16 code units,
/// PCRE code points: a surrogate is neither a digit, "." nor "-" for QRegExp, so each is
/// matched as U+FFFD (none of those either) and the groups are cut from the original text.
inline bool parseWithRegularExpression(const QString &text, MZU::Version &version)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("(\\d+)\\.(\\d+)\\.(\\d+)(\\-.*)?")),
        QRegularExpression::UseUnicodePropertiesOption
            | QRegularExpression::DotMatchesEverythingOption);
    QString subject = text;
    for (QChar &unit : subject) {
        if (unit.isSurrogate())
            unit = QChar(QChar::ReplacementCharacter);
    }
    const QRegularExpressionMatch match = pattern.match(subject);
    QString groups[4];
    for (int i = 0; i < 4 && match.capturedStart(i + 1) >= 0; ++i)
        groups[i] = text.mid(int(match.capturedStart(i + 1)), int(match.capturedLength(i + 1)));
    return store(match.hasMatch(), groups, version);
}

/// The reference this Qt has: QRegExp, as the library's first version ran it, where it exists.
inline bool parseVersion(const QString &text, MZU::Version &version)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QRegExp pattern(QStringLiteral("(\\d+)\\.(\\d+)\\.(\\d+)(\\-.*)?"));
    const bool matched = pattern.exactMatch(text);
    const QString groups[4] = { pattern.cap(1), pattern.cap(2), pattern.cap(3), pattern.cap(4) };
    return store(matched, groups, version);
#else
    return parseWithRegularExpression(text, version);
#endif
}

} // namespace Reference

#endif // REFERENCEVERSION_H
