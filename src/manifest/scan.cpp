#include "manifest_p.h"

#include <array>
#include <cstring>
#include <string_view>

namespace MZU {
namespace Internal {

namespace {

// Anything past these is left to QJsonDocument, whose own limits then decide.
constexpr int maximumDepth = 64;
constexpr int maximumScanSize = 16 * 1024 * 1024;
constexpr int maximumNumberDigits = 15; // exact as a double and as an integer

enum ByteClass : unsigned char { Plain, Quote, Backslash, Control, High };

constexpr std::array<unsigned char, 256> byteClasses = [] {
    std::array<unsigned char, 256> classes {};
    for (int c = 0; c < 256; ++c) {
        classes[c] = c == '"' ? Quote
            : c == '\\'       ? Backslash
            : c < 0x20        ? Control
            : c >= 0x80       ? High
                              : Plain;
    }
    return classes;
}();

// Qt's readers have differed on these over the years; not worth vouching for.
bool isNonCharacter(uint codePoint)
{
    return (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) || (codePoint & 0xFFFE) == 0xFFFE;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A strict JSON reader that keeps nothing but the places of the few members asked for.
// Every function returns false on anything it does not vouch for: not JSON, or JSON on
// which Qt's reader might see otherwise (escaped keys, repeated members, exponents...).
class Reader
{
public:
    explicit Reader(const QByteArray &json)
        : base(json.constData())
        , p(base)
        , end(base + json.size())
    {
    }

    void skipSpace()
    {
        while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t'))
            ++p;
    }
    bool at(char c) const { return p < end && *p == c; }
    bool atEnd() const { return p == end; }

    bool keyIs(const RawText &key, std::string_view word) const
    {
        return size_t(key.end - key.begin) == word.size()
            && std::memcmp(base + key.begin, word.data(), word.size()) == 0;
    }

    /// Any value; @p raw, when given, gets where it stands and what it is.
    bool value(int depth, RawText *raw = nullptr)
    {
        skipSpace();
        if (p == end)
            return false;
        RawText::Kind kind = RawText::Other;
        bool read = false;
        switch (*p) {
        case '"':
            return string(raw);
        case '{':
            read = object(depth + 1, [&](const RawText &) { return value(depth + 1); });
            break;
        case '[':
            read = array(depth + 1, [&] { return value(depth + 1); });
            break;
        case 't':
            read = literal("true");
            kind = RawText::True;
            break;
        case 'f':
            read = literal("false");
            kind = RawText::False;
            break;
        case 'n':
            read = literal("null");
            break;
        default:
            read = number();
            break;
        }
        if (raw)
            *raw = { 0, 0, kind };
        return read;
    }

    /// At "{": calls @p member(key) with the reader at the member's value, which it reads.
    template <typename Member> bool object(int depth, Member member)
    {
        return container(depth, '}', [&] {
            skipSpace();
            RawText key;
            if (!at('"') || !string(&key) || key.kind != RawText::String)
                return false;
            skipSpace();
            if (!at(':'))
                return false;
            ++p;
            return member(key);
        });
    }

    /// At "[": calls @p element() for each element, which it reads.
    template <typename Element> bool array(int depth, Element element)
    {
        return container(depth, ']', element);
    }

private:
    // At "{" or "[": @p item() reads each member or element.
    template <typename Item> bool container(int depth, char close, Item item)
    {
        if (depth > maximumDepth)
            return false;
        ++p;
        skipSpace();
        if (at(close)) {
            ++p;
            return true;
        }
        for (;;) {
            if (!item())
                return false;
            skipSpace();
            if (at(close)) {
                ++p;
                return true;
            }
            if (!at(','))
                return false;
            ++p;
        }
    }

    // At the opening quote.
    bool string(RawText *raw)
    {
        const char *const begin = ++p;
        bool escaped = false;
        for (;;) {
            while (p < end && byteClasses[uchar(*p)] == Plain)
                ++p;
            if (p == end)
                return false;
            switch (byteClasses[uchar(*p)]) {
            case Quote:
                if (raw) {
                    *raw = { int(begin - base), int(p - base),
                        escaped ? RawText::EscapedString : RawText::String };
                }
                ++p;
                return true;
            case Backslash:
                escaped = true;
                if (!escape())
                    return false;
                break;
            case High:
                if (!utf8())
                    return false;
                break;
            default:
                return false; // a control character as it is
            }
        }
    }

    bool hex4(uint &unit)
    {
        if (end - p < 4)
            return false;
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexDigit(p[i]);
            if (digit < 0)
                return false;
            unit = unit * 16 + uint(digit);
        }
        p += 4;
        return true;
    }

    // At the backslash.
    bool escape()
    {
        if (end - p < 2)
            return false;
        const char c = p[1];
        p += 2;
        if (c != 'u')
            return c != '\0' && std::strchr("\"\\/bfnrt", c);
        uint unit = 0;
        if (!hex4(unit))
            return false;
        if (unit >= 0xD800 && unit < 0xDC00) {
            uint low = 0;
            if (end - p < 2 || p[0] != '\\' || p[1] != 'u')
                return false;
            p += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        } else if (unit >= 0xDC00 && unit < 0xE000) {
            return false;
        }
        return unit != 0 && !isNonCharacter(unit);
    }

    // At a byte from 0x80: one well-formed UTF-8 sequence.
    bool utf8()
    {
        const uchar lead = uchar(*p);
        int trailing = 0;
        uint codePoint = 0;
        uchar low = 0x80;
        uchar high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            trailing = 1;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trailing = 2;
            codePoint = lead & 0x0F;
            low = lead == 0xE0 ? 0xA0 : low; // not overlong
            high = lead == 0xED ? 0x9F : high; // not a surrogate
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trailing = 3;
            codePoint = lead & 0x07;
            low = lead == 0xF0 ? 0x90 : low;
            high = lead == 0xF4 ? 0x8F : high; // not past U+10FFFF
        } else {
            return false;
        }
        if (end - p <= trailing)
            return false;
        for (int i = 1; i <= trailing; ++i) {
            const uchar byte = uchar(p[i]);
            if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF))
                return false;
            codePoint = codePoint << 6 | (byte & 0x3F);
        }
        p += trailing + 1;
        return !isNonCharacter(codePoint);
    }

    bool literal(std::string_view word)
    {
        if (size_t(end - p) < word.size() || std::memcmp(p, word.data(), word.size()) != 0)
            return false;
        p += word.size();
        return true;
    }

    bool number()
    {
        int digits = 0;
        const auto takeDigits = [&] {
            const char *const first = p;
            while (p < end && *p >= '0' && *p <= '9')
                ++p;
            digits += int(p - first);
            return p != first;
        };
        if (at('-'))
            ++p;
        if (at('0')) {
            ++p;
            ++digits;
        } else if (!(p < end && *p >= '1' && *p <= '9') || !takeDigits()) {
            return false;
        }
        if (at('.')) {
            ++p;
            if (!takeDigits())
                return false;
        }
        // An exponent can overflow, and Qt refuses what does.
        return !at('e') && !at('E') && digits <= maximumNumberDigits;
    }

    const char *const base;
    const char *p;
    const char *const end;
};

void appendUtf8(QByteArray &out, uint codePoint)
{
    if (codePoint < 0x80) {
        out += char(codePoint);
    } else if (codePoint < 0x800) {
        out += char(0xC0 | codePoint >> 6);
        out += char(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += char(0xE0 | codePoint >> 12);
        out += char(0x80 | (codePoint >> 6 & 0x3F));
        out += char(0x80 | (codePoint & 0x3F));
    } else {
        out += char(0xF0 | codePoint >> 18);
        out += char(0x80 | (codePoint >> 12 & 0x3F));
        out += char(0x80 | (codePoint >> 6 & 0x3F));
        out += char(0x80 | (codePoint & 0x3F));
    }
}

// The text of a string the reader has checked, escapes and all.
QString unescaped(const char *from, const char *to)
{
    QByteArray out;
    out.reserve(int(to - from));
    const auto hex4 = [](const char *at) {
        uint unit = 0;
        for (int i = 0; i < 4; ++i)
            unit = unit * 16 + uint(hexDigit(at[i]));
        return unit;
    };
    while (from < to) {
        const char *const backslash =
            static_cast<const char *>(std::memchr(from, '\\', size_t(to - from)));
        if (!backslash) {
            out.append(from, int(to - from));
            break;
        }
        out.append(from, int(backslash - from));
        from = backslash;
        const char c = from[1];
        from += 2;
        switch (c) {
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            uint unit = hex4(from);
            from += 4;
            if (unit >= 0xD800 && unit < 0xDC00) { // its low half follows, as checked
                unit = 0x10000 + ((unit - 0xD800) << 10) + (hex4(from + 2) - 0xDC00);
                from += 6;
            }
            appendUtf8(out, unit);
            break;
        }
        default: // '"', '\\' and '/' stand for themselves
            out += c;
            break;
        }
    }
    return QString::fromUtf8(out);
}

} // namespace

QString rawText(const QByteArray &json, const RawText &raw)
{
    const char *const from = json.constData() + raw.begin;
    switch (raw.kind) {
    case RawText::String:
        return QString::fromUtf8(from, raw.end - raw.begin);
    case RawText::EscapedString:
        return unescaped(from, json.constData() + raw.end);
    case RawText::True:
        return QStringLiteral("true");
    case RawText::False:
        return QStringLiteral("false");
    case RawText::Absent:
    case RawText::Other:
        break;
    }
    return QString();
}

std::optional<std::vector<ScannedRelease>> scanReleases(
    const QByteArray &json, const QString &os, const QString &name)
{
    const QByteArray wantedName = name.toUtf8();
    const QByteArray wantedOs = os.toUtf8();
    // Text that UTF-8 cannot carry (a lone surrogate) compares only as Qt compares it.
    if (json.size() > maximumScanSize || QString::fromUtf8(wantedName) != name
        || QString::fromUtf8(wantedOs) != os)
        return std::nullopt;
    const auto same = [&json](const RawText &raw, const QByteArray &utf8, const QString &text) {
        if (raw.kind == RawText::String)
            return raw.end - raw.begin == utf8.size()
                && std::memcmp(json.constData() + raw.begin, utf8.constData(), size_t(utf8.size()))
                == 0;
        return raw.kind == RawText::EscapedString && rawText(json, raw) == text;
    };

    Reader reader(json);
    std::vector<ScannedRelease> releases;
    // A release entry, at depth 3: its name, os, version, changelog and tip.
    const auto release = [&] {
        reader.skipSpace();
        if (!reader.at('{'))
            return reader.value(2);
        static constexpr std::string_view keys[] = { "name", "os", "version", "changelog", "tip" };
        RawText members[5];
        const bool read = reader.object(3, [&](const RawText &key) {
            for (int i = 0; i < 5; ++i) {
                if (reader.keyIs(key, keys[i]))
                    return members[i].kind == RawText::Absent && reader.value(3, &members[i]);
            }
            return reader.value(3);
        });
        if (!read || name.isEmpty() || !same(members[0], wantedName, name)
            || !same(members[1], wantedOs, os))
            return read;
        Version version(rawText(json, members[2]));
        if (version.isNull())
            return true;
        // Other kinds read through QVariant: rare enough to leave to the document.
        if (members[3].kind == RawText::Other || members[4].kind == RawText::Other)
            return false;
        releases.push_back({ std::move(version), members[3], members[4] });
        return true;
    };

    RawText rootName;
    bool appsSeen = false;
    reader.skipSpace();
    if (!reader.at('{'))
        return std::nullopt;
    const bool read = reader.object(1, [&](const RawText &key) {
        if (reader.keyIs(key, "name"))
            return rootName.kind == RawText::Absent && reader.value(1, &rootName);
        if (!reader.keyIs(key, "apps"))
            return reader.value(1);
        if (appsSeen)
            return false;
        appsSeen = true;
        reader.skipSpace();
        return reader.at('[') ? reader.array(2, release) : reader.value(1); // else: no releases
    });
    reader.skipSpace();
    if (!read || !reader.atEnd() || rootName.kind != RawText::String
        || !reader.keyIs(rootName, "Versions.json"))
        return std::nullopt;
    return releases;
}

} // namespace Internal
} // namespace MZU
