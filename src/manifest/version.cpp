// SPDX-License-Identifier: MIT
#include "mzu.h"

#include "manifest_p.h"

#include <QDebug>

namespace MZU {

namespace {

// QString::toUInt() on a run of digits, without its allocation for ASCII ones: every walk
// parses a version per entry. 0 past 32 bits.
quint32 number(const QString &text, int start, int end)
{
    quint64 value = 0;
    for (int i = start; i < end; ++i) {
        const ushort unit = text.at(i).unicode();
        if (unit < '0' || unit > '9')
            return text.mid(start, end - start).toUInt(); // other scripts' digits, as Qt reads them
        value = value * 10 + (unit - '0');
        if (value > 0xffffffffu)
            return 0;
    }
    return quint32(value);
}

} // namespace

Version::Version(const QString &text)
{
    fromString(text);
}

// Matches "(\d+)\.(\d+)\.(\d+)(\-.*)?" exactly as QRegExp did, over UTF-16 code units:
// Qt 6 has no QRegExp, and QRegularExpression reads code points.
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
        numbers[group] = matched ? number(text, start, pos) : 0;
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

int compare(const Version &a, const Version &b)
{
    for (const auto &[x, y] :
        { std::pair(a.major, b.major), std::pair(a.minor, b.minor), std::pair(a.patch, b.patch) }) {
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.suffix.isEmpty() != b.suffix.isEmpty())
        return a.suffix.isEmpty() ? -1 : 1;
    return QString::compare(a.suffix, b.suffix);
}

QDebug operator<<(QDebug debug, const Version &version)
{
    const QDebugStateSaver saver(debug);
    debug.nospace().noquote() << "MZU::Version(" << version.toString() << ')';
    return debug;
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
