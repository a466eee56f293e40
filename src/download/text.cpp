// SPDX-License-Identifier: MIT
// How the download shows what it did not write itself: addresses and a server's words.
#include "download_p.h"

#include <QDateTime>

#include <algorithm>

namespace MZU {
namespace Internal {

qint64 retryAfterOf(const QByteArray &value, qint64 now)
{
    const QByteArray text = value.trimmed();
    bool isNumber = false;
    const qint64 seconds = text.toLongLong(&isNumber);
    if (isNumber) // a year at most, whatever the server says: the caller caps it further
        return seconds >= 0 ? now + qMin<qint64>(seconds, 366 * 86400) : 0;
    // An HTTP date is RFC 2822's with "GMT" for the zone, which only Qt 5 reads itself.
    QString date = QString::fromLatin1(text);
    if (date.endsWith(QLatin1String(" GMT")))
        date.replace(date.size() - 3, 3, QStringLiteral("+0000"));
    const QDateTime moment = QDateTime::fromString(date, Qt::RFC2822Date);
    return moment.isValid() ? moment.toSecsSinceEpoch() : 0;
}

QString sizeText(qint64 bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    if (bytes >= 1024 && bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

bool invisible(QChar c)
{
    if (c.unicode() < 0x7f)
        return c.unicode() < 0x20;
    if (c.unicode() == 0x200c || c.unicode() == 0x200d)
        return false; // the joiners that emoji and Persian text need
    switch (c.category()) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Space:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

void appendEscape(QString &text, QChar c)
{
    const char *hex = "0123456789abcdef";
    const ushort u = c.unicode();
    const char escape[] = { '\\', 'u', hex[u >> 12], hex[(u >> 8) & 15], hex[(u >> 4) & 15],
        hex[u & 15] };
    text += QLatin1String(escape, 6);
}

QString printable(const QString &text, bool keepLines)
{
    const auto hidden = [keepLines](QChar c) {
        return invisible(c) && !(keepLines && (c == QLatin1Char('\n') || c == QLatin1Char('\t')));
    };
    if (std::none_of(text.begin(), text.end(), hidden))
        return text;
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (!hidden(c))
            result += c;
        else if (c == QLatin1Char('\n'))
            result += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            result += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            result += QLatin1String("\\t");
        else
            appendEscape(result, c);
    }
    return result;
}

QString shownAddress(const QString &address)
{
    // Edited as text rather than through QUrl, which would re-encode the rest.
    QString shown = address;
    const int scheme = int(shown.indexOf(QLatin1String("://")));
    if (scheme > 0) {
        const int start = scheme + 3;
        int end = int(shown.size());
        for (const QChar stop : { QLatin1Char('/'), QLatin1Char('?'), QLatin1Char('#') }) {
            const int at = int(shown.indexOf(stop, start));
            if (at >= 0)
                end = qMin(end, at);
        }
        const int user = int(shown.lastIndexOf(QLatin1Char('@'), end - 1));
        const int colon = user >= start ? int(shown.indexOf(QLatin1Char(':'), start)) : -1;
        if (colon >= 0 && colon < user)
            shown.replace(colon + 1, user - colon - 1, QLatin1String("***"));
    }
    return printable(shown);
}

} // namespace Internal
} // namespace MZU
