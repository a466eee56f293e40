#ifndef REFERENCEVERSION_H
#define REFERENCEVERSION_H

#include "mzu.h"

#include <QRegularExpression>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QRegExp>
#endif

// The regular expression that defines the version syntax. Version::fromString is a
// hand-written equivalent; the tests, fuzz_version and the benchmarks hold it to these.
namespace Reference {

inline QString versionPattern()
{
    return QStringLiteral("(\\d+)\\.(\\d+)\\.(\\d+)(\\-.*)?");
}

inline bool store(bool matched, const QString (&groups)[4], MZU::Version &version)
{
    if (!matched) {
        version.major = version.minor = version.patch = 0;
        return false;
    }
    version.major = groups[0].toUInt(nullptr, 10);
    version.minor = groups[1].toUInt(nullptr, 10);
    version.patch = groups[2].toUInt(nullptr, 10);
    version.suffix = groups[3].mid(1);
    return true;
}

/// The same pattern with QRegularExpression, reading the text as QRegExp does: "\d" is any
/// Unicode decimal digit and "." takes line breaks too. QRegExp reads UTF-16 code units,
/// PCRE code points: a surrogate, paired or not, is neither a digit, "." nor "-" for
/// QRegExp, so each is matched as U+FFFD (which is none of those either, and keeps the
/// positions) and the groups are cut from the original text.
inline bool parseWithRegularExpression(const QString &text, MZU::Version &version)
{
    // Compiled once: compiling it on every call took 60 times as long as the match.
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(versionPattern()),
        QRegularExpression::UseUnicodePropertiesOption
            | QRegularExpression::DotMatchesEverythingOption);
    QString subject = text;
    for (QChar &unit : subject) {
        if (unit.isSurrogate())
            unit = QChar(QChar::ReplacementCharacter);
    }
    const QRegularExpressionMatch match = pattern.match(subject);
    QString groups[4];
    for (int i = 0; i < 4 && match.hasMatch(); ++i) {
        const auto start = match.capturedStart(i + 1); // -1 for a group that took no part
        if (start >= 0)
            groups[i] = text.mid(int(start), int(match.capturedLength(i + 1)));
    }
    return store(match.hasMatch(), groups, version);
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
/// The expression as the library's first version ran it.
inline bool parseWithRegExp(const QString &text, MZU::Version &version)
{
    QRegExp pattern(versionPattern(), Qt::CaseSensitive, QRegExp::RegExp);
    const bool matched = pattern.exactMatch(text);
    const QString groups[4] = { pattern.cap(1), pattern.cap(2), pattern.cap(3), pattern.cap(4) };
    return store(matched, groups, version);
}
#endif

/// The reference this Qt has: QRegExp where it exists.
inline bool parseVersion(const QString &text, MZU::Version &version)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    return parseWithRegExp(text, version);
#else
    return parseWithRegularExpression(text, version);
#endif
}

} // namespace Reference

#endif // REFERENCEVERSION_H
