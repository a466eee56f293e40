// SPDX-License-Identifier: MIT
#ifndef SOURCE_PLACES_H
#define SOURCE_PLACES_H

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSet>
#include <QString>
#include <QVector>

// Every question of where a JSON Pointer is in a manifest's text.

/// 1-based; the column counts characters (Unicode code points), not bytes.
struct TextPosition
{
    int line = 1;
    int column = 1;
};

/// Byte offsets in a manifest's text of a value, and of the opening quote of its member's
/// name (of the value itself when it is an element of an array, or the root).
struct Place
{
    int value = 0;
    int name = 0;
};

/// The place in @p text (JSON that Qt accepts) of the value at each pointer of @p pointers
/// that exists. Where a member is repeated, of the last one.
QHash<QString, Place> places(const QByteArray &text, const QSet<QString> &pointers);

/// The line and column of each byte offset in @p offsets, for LF, CRLF and CR line ends;
/// a leading byte order mark takes no column.
QVector<TextPosition> positions(const QByteArray &text, const QVector<int> &offsets);

/// The number written at @p offset, as written ("1.0"); empty when none is.
QByteArray numberAt(const QByteArray &text, int offset);

/// @p key escaped as one JSON Pointer reference token.
QString pointerToken(QString key);

/// The value at @p pointer in @p document, undefined when there is none.
QJsonValue valueAt(const QJsonDocument &document, const QString &pointer);

/// The value written in @p text from @p begin to @p end.
QJsonValue valueIn(const QByteArray &text, int begin, int end);

#endif // SOURCE_PLACES_H
