// SPDX-License-Identifier: MIT
#include "source/places.h"

#include "source/scanner.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cstring>
#include <numeric>

QHash<QString, Place> places(const QByteArray &text, const QSet<QString> &pointers)
{
    QHash<QString, Place> offsets;
    if (pointers.isEmpty())
        return offsets;
    Scanner scanner(text);
    scanner.wanted = &pointers;
    scanner.offsets = &offsets;
    scanner.run();
    return offsets;
}

QVector<TextPosition> positions(const QByteArray &text, const QVector<int> &offsets)
{
    QVector<int> order(offsets.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(
        order.begin(), order.end(), [&](int a, int b) { return offsets.at(a) < offsets.at(b); });
    QVector<TextPosition> result(offsets.size());
    const char *data = text.constData();
    const int bom = text.startsWith("\xef\xbb\xbf") ? 3 : 0;
    int at = bom;
    TextPosition position;
    for (int index : qAsConst(order)) {
        const int target = qBound(0, offsets.at(index), int(text.size()));
        for (; at < target; ++at) {
            const char c = data[at];
            if (c == '\n' || (c == '\r' && (at + 1 >= text.size() || data[at + 1] != '\n'))) {
                ++position.line;
                position.column = 1;
            } else if (c != '\r' && (uchar(c) & 0xc0) != 0x80) {
                ++position.column; // continuation bytes belong to the character before
            }
        }
        result[index] = position;
    }
    return result;
}

QString pointerToken(QString key)
{
    return key.replace(QLatin1Char('~'), QLatin1String("~0"))
        .replace(QLatin1Char('/'), QLatin1String("~1"));
}

QByteArray numberAt(const QByteArray &text, int offset)
{
    int end = offset;
    while (end < text.size() && std::strchr("-+.0123456789eE", text.at(end)) && text.at(end))
        ++end;
    return text.mid(offset, end - offset);
}

QJsonValue valueAt(const QJsonDocument &document, const QString &pointer)
{
    QJsonValue value =
        document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    for (QString token : pointer.split('/').mid(1)) {
        token.replace(QLatin1String("~1"), QLatin1String("/"))
            .replace(QLatin1String("~0"), QLatin1String("~"));
        value = value.isArray() ? value.toArray().at(token.toInt()) : value.toObject().value(token);
    }
    return value;
}

QJsonValue valueIn(const QByteArray &text, int begin, int end)
{
    return QJsonDocument::fromJson('[' + text.mid(begin, end - begin) + ']').array().at(0);
}
