// SPDX-License-Identifier: MIT
#include "rules/linter.h"

namespace {

// The digits of @p text written in ASCII, when some are of another script; else empty.
QString asciiDigits(const QString &text)
{
    const auto other = [](QChar c) { return c.isDigit() && (c < '0' || c > '9'); };
    QString result = text;
    for (QChar &c : result) {
        if (other(c))
            c = QChar('0' + c.digitValue());
    }
    return result == text ? QString() : result;
}

} // namespace

// @p released: the application's name and platform, when it has releases there.
void Linter::unreleased(const QString &at, const QJsonValue &value, const QString &released)
{
    const Version version(value.toString());
    // Those under a misspelling of the platform too: its error names the cause.
    QHash<QString, int> versions = misplacedOf.value(released);
    versions.insert(releasesOf.value(released));
    if (released.isEmpty() || version.isNull() || versions.contains(version.toString()))
        return;
    // A slip of the hand: the release a small edit away, the nearest and then the first.
    QString nearest;
    QPair<int, int> best { 3, 0 }; // the distance, then the release's index; 3 is too far
    for (auto it = versions.cbegin(); it != versions.cend(); ++it) {
        const QPair<int, int> here { editDistance(version.toString(), it.key(), 2), it.value() };
        if (here < best) {
            best = here;
            nearest = it.key();
        }
    }
    add(at, Rule::VersionWithoutRelease,
        QStringLiteral("no release of %1 for %2 is %3: hosts get this entry when they move past "
                       "%3, with whichever release comes next%4")
            .arg(inQuotes(released.section('\n', 0, 0)), inQuotes(released.section('\n', 1)),
                version.toString(),
                nearest.isEmpty() ? QString() : QStringLiteral("; did you mean %1?").arg(nearest)));
}

// A version hosts read as null, under the rule of its cause.
void Linter::nullVersion(const QString &at, const QJsonValue &value, const QString &consequence)
{
    const QString text = value.toString();
    const QString start = "\"version\" " + inQuotes(text);
    Version version;
    Rule rule = Rule::NullVersion;
    QString why = start + " is the null version";
    if (!value.isString() || text.isEmpty()) {
        why = notText(QStringLiteral("version"), value);
    } else if (!version.fromString(text)) {
        why = start + " is not a version (MAJOR.MINOR.PATCH, optionally -suffix)";
    } else if (const QString dropped = droppedNumber(text, version); !dropped.isEmpty()) {
        rule = Rule::VersionOverflow;
        why = start + " reads as 0.0.0: " + dropped + " does not fit in 32 bits";
    } else if (const QString ascii = asciiDigits(text); !ascii.isEmpty()) {
        rule = Rule::VersionDigits;
        why = start + " reads as 0.0.0: hosts read digits of another script as 0; write "
            + inQuotes(ascii);
    }
    addAs(Severity::Error, at, rule, why + "; " + consequence);
}

void Linter::misread(const QString &at, const QJsonValue &value)
{
    Version version;
    if (!version.fromString(value.toString()) || version.isNull())
        return; // the walks report these
    if (const QString ascii = asciiDigits(value.toString()); !ascii.isEmpty())
        add(at, Rule::VersionDigits,
            QStringLiteral("\"version\" %1 reads as %2: hosts read digits of another script as "
                           "0; write %3")
                .arg(inQuotes(value.toString()), version.toString(), inQuotes(ascii)));
    if (const QString dropped = droppedNumber(value.toString(), version); !dropped.isEmpty())
        add(at, Rule::VersionOverflow,
            QStringLiteral("\"version\" %1 reads as %2: %3 does not fit in 32 bits")
                .arg(inQuotes(value.toString()), version.toString(), dropped));
}

QString droppedNumber(const QString &text, const Version &version)
{
    // Only a number of ten digits or more can pass 32 bits.
    int run = 0;
    const bool long10 = std::any_of(
        text.begin(), text.end(), [&](QChar c) { return (run = c.isDigit() ? run + 1 : 0) >= 10; });
    if (!long10)
        return QString();
    const QStringList numbers = text.section('-', 0, 0).split('.');
    const quint32 parsed[] = { version.major, version.minor, version.patch };
    for (int i = 0; i < 3 && i < numbers.size(); ++i) {
        const QString &digits = numbers.at(i);
        if (parsed[i] == 0
            && std::any_of(digits.begin(), digits.end(), [](QChar c) { return c != '0'; }))
            return digits;
    }
    return QString();
}
