#include "mzu.h"

#include "manifest_p.h"

namespace MZU {

namespace {

// QString::toUInt() in base 10 on a run of digits, without its allocation for the
// common case of ASCII digits.
quint32 digitsToUInt(const QChar *digits, int length)
{
    quint64 value = 0;
    int i = 0;
    while (i < length && digits[i] == QLatin1Char('0'))
        ++i;
    if (length - i > 10)
        return 0;
    for (; i < length; ++i) {
        const ushort unit = digits[i].unicode();
        if (unit < '0' || unit > '9')
            return QString(digits, length).toUInt(); // other scripts' digits: Qt decides
        value = value * 10 + (unit - '0');
    }
    return value > 0xffffffffu ? 0 : quint32(value);
}

} // namespace

Version::Version(const QString &text)
{
    fromString(text);
}

// Hand-written equivalent of matching "(\d+)\.(\d+)\.(\d+)(\-.*)?" exactly with QRegExp,
// which reads UTF-16 code units; the tests hold it to that expression over a large
// generated set of texts.
bool Version::fromString(const QString &text)
{
    const QChar *data = text.constData();
    const int size = text.size();
    int pos = 0;
    quint32 numbers[3];
    bool matched = true;
    for (int group = 0; group < 3 && matched; ++group) {
        const int start = pos;
        while (pos < size && data[pos].isDigit())
            ++pos;
        matched = pos > start;
        numbers[group] = matched ? digitsToUInt(data + start, pos - start) : 0;
        if (group < 2) {
            matched = matched && pos < size && data[pos] == QLatin1Char('.');
            ++pos;
        }
    }
    if (!matched || (pos < size && data[pos] != QLatin1Char('-'))) {
        major = minor = patch = 0;
        return false;
    }
    major = numbers[0];
    minor = numbers[1];
    patch = numbers[2];
    suffix = pos < size ? text.mid(pos + 1) : QString();
    return true;
}

bool operator<(const Version &a, const Version &b)
{
    if (a.major != b.major)
        return a.major < b.major;
    if (a.minor != b.minor)
        return a.minor < b.minor;
    if (a.patch != b.patch)
        return a.patch < b.patch;
    if (b.suffix.isEmpty())
        return false;
    if (a.suffix.isEmpty())
        return true;
    return a.suffix < b.suffix;
}

bool operator==(const Version &a, const Version &b)
{
    return a.major == b.major && a.minor == b.minor && a.patch == b.patch && a.suffix == b.suffix;
}

bool operator==(const ApplicationInfo &a, const ApplicationInfo &b)
{
    return a.version == b.version;
}

bool operator<(const ApplicationInfo &a, const ApplicationInfo &b)
{
    return a.version < b.version;
}

} // namespace MZU
