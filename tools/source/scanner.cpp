// SPDX-License-Identifier: MIT
#include "source/scanner.h"

#include <algorithm>
#include <cctype>
#include <cstring>

bool Scanner::unexpected(const QString &expected)
{
    if (p >= end)
        return fail(p, QStringLiteral("the text ends where %1 should follow").arg(expected));
    if (*p == '/' && end - p > 1 && (p[1] == '/' || p[1] == '*'))
        return fail(p, QStringLiteral("a comment: JSON has none, and hosts refuse the manifest"));
    const uchar c = uchar(*p);
    // A character other than ASCII by its code point, as the column counts it.
    const int length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
    const QVector<uint> decoded =
        QString::fromUtf8(p, int(std::min<qint64>(length, end - p))).toUcs4();
    QString seen = QStringLiteral("byte 0x%1").arg(c, 2, 16);
    if (c >= 0x20 && c < 0x7f)
        seen = QStringLiteral("'%1'").arg(QChar(c));
    else if (c >= 0x80 && decoded.size() == 1 && decoded.at(0) != QChar::ReplacementCharacter)
        seen = QStringLiteral("U+%1").arg(decoded.at(0), 4, 16, QLatin1Char('0')).toUpper();
    return fail(p, QStringLiteral("%1 where %2 should be").arg(seen, expected));
}

bool Scanner::string(QString *decoded)
{
    const char *start = p++;
    bool escapes = false;
    // Only the first fault of each kind in a string is kept: memory stays linear in the text.
    const int known = faults ? int(faults->size()) : 0;
    bool escapeNoted = false;
    bool controlNoted = false;
    while (p < end && *p != '"') {
        const uchar c = uchar(*p);
        if (c == '\\') {
            escapes = true;
            if (++p >= end)
                break;
            if (*p == 'u' && (end - p < 5 || !std::all_of(p + 1, p + 5, [](char h) {
                    return std::isxdigit(uchar(h));
                })))
                return fail(p - 1, QStringLiteral("\\u must be followed by four hex digits"));
            if (faults && !escapeNoted && !std::strchr("\"\\/bfnrtu", *p)) {
                faults->append({ QString(), int(p - 1 - begin), *p, 0, QString() });
                escapeNoted = true;
            }
            p += *p == 'u' ? 5 : 1;
            continue;
        }
        if (c < 0x20 && faults && !controlNoted) {
            faults->append({ QString(), int(p - begin), 0, c, QString() });
            controlNoted = true;
        }
        if (c >= 0x80) {
            const int length = c >= 0xc2 && c <= 0xdf ? 2
                : c >= 0xe0 && c <= 0xef              ? 3
                : c >= 0xf0 && c <= 0xf4              ? 4
                                                      : 0;
            if (length == 0 || end - p < length || !std::all_of(p + 1, p + length, [](char b) {
                    return (uchar(b) & 0xc0) == 0x80;
                }))
                return fail(p, QStringLiteral("a byte that is not UTF-8 in a string"));
            p += length;
            continue;
        }
        ++p;
    }
    if (p >= end)
        return fail(start, QStringLiteral("a string that is never closed"));
    if (decoded || (faults && faults->size() > known)) {
        // Escapes as Qt reads them, unknown ones too.
        const int length = int(p - start + 1); // with the quotes
        const QString read = escapes ? valueIn(QByteArray(start, length), 0, length).toString()
                                     : QString::fromUtf8(start + 1, length - 2);
        for (int i = known; faults && i < faults->size(); ++i)
            (*faults)[i].read = read;
        if (decoded)
            *decoded = read;
    }
    ++p;
    return true;
}

bool Scanner::number()
{
    const char *start = p;
    if (*p == '-')
        ++p;
    int digits = 0;
    if (p < end && *p == '0') {
        ++p;
        ++digits;
    } else {
        for (; p < end && std::isdigit(uchar(*p)); ++p)
            ++digits;
    }
    if (p < end && *p == '.') {
        for (++p; p < end && std::isdigit(uchar(*p)); ++p)
            ++digits;
    }
    if (digits == 0)
        return fail(start, QStringLiteral("a number without digits"));
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-'))
            ++p;
        if (p >= end || !std::isdigit(uchar(*p)))
            return fail(start, QStringLiteral("a number whose exponent has no digits"));
        while (p < end && std::isdigit(uchar(*p)))
            ++p;
    }
    return true;
}

QString Scanner::pointerOf(int levelCount) const
{
    QString pointer;
    for (int i = 0; i < levelCount; ++i)
        pointer += QLatin1Char('/') + token(levels.at(i));
    return pointer;
}

void Scanner::noteMember(Level &level, const QString &key, int offset)
{
    const auto hidden = level.members.constFind(key);
    level.repeat = -1;
    if (hidden != level.members.cend()) {
        repeated->append({ pointerOf(depth), key, offset, hidden->offset, 0, hidden->end,
            level.name, hidden->name });
        level.repeat = int(repeated->size()) - 1;
    }
    level.members.insert(key, { offset, 0, level.name });
}

void Scanner::ended(Level &level)
{
    if (!repeated || !level.object)
        return;
    level.members[level.key].end = int(p - begin);
    if (level.repeat >= 0)
        (*repeated)[level.repeat].end = int(p - begin);
    level.repeat = -1;
}

void Scanner::closed()
{
    if (--depth > 0)
        ended(levels[depth - 1]);
}

bool Scanner::value(int parents)
{
    // The value at p belongs to levels[parents - 1], or is the root (pointer "").
    const Level *parent = parents > 0 ? &levels.at(parents - 1) : nullptr;
    const bool reachable = wanted && (!parent || parent->tracked);
    const QString pointer =
        reachable && parent ? parent->pointer + QLatin1Char('/') + token(*parent) : QString();
    const bool tracked = reachable && wanted->contains(pointer);
    if (tracked && offsets)
        offsets->insert(
            pointer, { int(p - begin), parent && parent->object ? parent->name : int(p - begin) });
    switch (*p) {
    case '{':
    case '[':
        // Qt refuses a document nested deeper than this.
        if (depth >= 1024)
            return fail(p, QStringLiteral("nested more than 1024 levels deep; hosts refuse it"));
        if (depth == levels.size())
            levels.append(Level());
        levels[depth++] = { *p == '{', tracked, 0, pointer, QString(), {}, -1, 0 };
        ++p;
        return true;
    case '"':
        return string(nullptr);
    case 't':
    case 'f':
    case 'n': {
        const char *word = *p == 't' ? "true" : *p == 'f' ? "false" : "null";
        const int length = int(std::strlen(word));
        if (end - p < length || std::strncmp(p, word, size_t(length)) != 0)
            return fail(p, QStringLiteral("not a JSON value (true, false and null are)"));
        p += length;
        return true;
    }
    default:
        if (*p == '-' || *p == '.' || std::isdigit(uchar(*p)))
            return number();
        return unexpected(QStringLiteral("a value"));
    }
}

bool Scanner::run()
{
    if (end - p >= 3 && std::memcmp(p, "\xef\xbb\xbf", 3) == 0)
        p += 3;
    space();
    if (p >= end)
        return fail(p, QStringLiteral("the text is empty"));
    if (*p == '/')
        return unexpected(QStringLiteral("'{'"));
    if (*p != '{' && *p != '[')
        return fail(p, QStringLiteral("the text must begin with '{': hosts read only an object"));
    if (!value(0))
        return false;
    // Each turn is just after a '{', a '[' or a value inside the innermost level.
    bool opened = true;
    while (depth > 0) {
        Level &level = levels[depth - 1];
        const char close = level.object ? '}' : ']';
        space();
        if (p < end && *p == close) {
            ++p;
            closed();
            opened = false;
            continue;
        }
        if (!opened) {
            if (p >= end || *p != ',')
                return unexpected(QStringLiteral("',' or '%1'").arg(QLatin1Char(close)));
            const char *comma = p++;
            space();
            if (p < end && (*p == '}' || *p == ']'))
                return fail(comma,
                    QStringLiteral("a comma before '%1': JSON allows none there")
                        .arg(QLatin1Char(*p)));
            ++level.index;
        }
        if (level.object) {
            if (p >= end || *p != '"')
                return unexpected(QStringLiteral("a member name in double quotes"));
            QString key;
            level.name = int(p - begin);
            const int known = faults ? faults->size() : 0;
            if (!string(repeated || level.tracked ? &key : nullptr))
                return false;
            level.key = key;
            placeFaults(known);
            space();
            if (p >= end || *p != ':')
                return unexpected(QStringLiteral("':'"));
            ++p;
            space();
            if (p < end && repeated)
                noteMember(level, key, int(p - begin));
        }
        if (p >= end)
            return unexpected(QStringLiteral("a value"));
        const int before = depth;
        const int known = faults ? faults->size() : 0;
        if (!value(depth))
            return false;
        placeFaults(known);
        opened = depth > before;
        if (!opened)
            ended(levels[before - 1]);
    }
    space();
    if (p < end)
        return unexpected(QStringLiteral("nothing (the document has ended)"));
    return true;
}
