// SPDX-License-Identifier: MIT
// How the download shows what it did not write itself: addresses and a server's words.
#include "download_p.h"

#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>

namespace MZU {
namespace Internal {

qint64 retryAfterOf(const QByteArray &value, qint64 now)
{
    const QString text = QString::fromLatin1(value.trimmed());
    if (text.isEmpty())
        return 0;
    static const QRegularExpression seconds(QStringLiteral("^[0-9]+$"));
    if (seconds.match(text).hasMatch()) // beyond 31 years reads as 31 years
        return now + (text.size() > 9 ? 999999999 : text.toLongLong());
    // IMF-fixdate, RFC 850's and asctime()'s, as RFC 9110 asks recipients to read them all.
    static const QRegularExpression imf(QStringLiteral(
        "^[A-Za-z]{3}, ([0-9]{2}) ([A-Za-z]{3}) ([0-9]{4}) ([0-9]{2}):([0-9]{2}):([0-9]{2}) GMT$"));
    static const QRegularExpression rfc850(QStringLiteral(
        "^[A-Za-z]+, ([0-9]{2})-([A-Za-z]{3})-([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2}) GMT$"));
    static const QRegularExpression asctime(QStringLiteral(
        "^[A-Za-z]{3} ([A-Za-z]{3}) +([0-9]{1,2}) ([0-9]{2}):([0-9]{2}):([0-9]{2}) ([0-9]{4})$"));
    QString day, month, year, hour, minute, second;
    if (const QRegularExpressionMatch m = imf.match(text); m.hasMatch()) {
        day = m.captured(1), month = m.captured(2), year = m.captured(3);
        hour = m.captured(4), minute = m.captured(5), second = m.captured(6);
    } else if (const QRegularExpressionMatch m = rfc850.match(text); m.hasMatch()) {
        day = m.captured(1), month = m.captured(2), year = m.captured(3);
        hour = m.captured(4), minute = m.captured(5), second = m.captured(6);
        // Two digits: 19xx or 20xx, whichever is not more than 50 years ahead.
        const int thisYear = QDateTime::fromSecsSinceEpoch(now, Qt::UTC).date().year();
        int full = thisYear / 100 * 100 + year.toInt();
        if (full > thisYear + 50)
            full -= 100;
        year = QString::number(full);
    } else if (const QRegularExpressionMatch m = asctime.match(text); m.hasMatch()) {
        month = m.captured(1), day = m.captured(2), hour = m.captured(3);
        minute = m.captured(4), second = m.captured(5), year = m.captured(6);
    } else {
        return 0;
    }
    static const QStringList months { QStringLiteral("Jan"), QStringLiteral("Feb"),
        QStringLiteral("Mar"), QStringLiteral("Apr"), QStringLiteral("May"), QStringLiteral("Jun"),
        QStringLiteral("Jul"), QStringLiteral("Aug"), QStringLiteral("Sep"), QStringLiteral("Oct"),
        QStringLiteral("Nov"), QStringLiteral("Dec") };
    const int monthNumber = int(months.indexOf(month)) + 1;
    const QDate date(year.toInt(), monthNumber, day.toInt());
    const QTime time(hour.toInt(), minute.toInt(), second.toInt());
    if (monthNumber == 0 || !date.isValid() || !time.isValid())
        return 0;
    return QDateTime(date, time, Qt::UTC).toSecsSinceEpoch();
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
