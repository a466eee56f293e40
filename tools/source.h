// SPDX-License-Identifier: MIT
#ifndef SOURCE_H
#define SOURCE_H

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QSet>
#include <QString>
#include <QVector>

/// A member that appears twice in one object: hosts see only the last one.
struct RepeatedKey
{
    QString pointer; // of the member, the same for both occurrences
    int offset = 0; // of the repeated member's value
    int firstOffset = 0; // of the value it hides
};

/// A string that JSON forbids but Qt reads: an unknown escape ("\\U", read as "U") or a raw
/// control character.
struct StringFault
{
    QString pointer; // of the string's value, or of the member it names
    int offset = 0; // of the backslash or the character
    char escape = 0; // the letter after the backslash, or 0 for a control character
    ushort control = 0;
    QString read; // the string as hosts read it
};

/// A manifest as a host gets it, with the text it came from for placing findings.
struct Manifest
{
    QString source; // as given: a path, an address, or "-" for standard input
    QJsonDocument document;
    QByteArray text;
    QVector<RepeatedKey> repeatedKeys;
    QVector<StringFault> stringFaults;
};

/// Why a manifest could not be read. @p offset is where in its text it stops being JSON,
/// or -1 when there is no text to point into.
struct LoadError
{
    QString message;
    int offset = -1;
    QByteArray text; // the text @p offset points into
};

/// 1-based; the column counts characters (Unicode code points), not bytes.
struct TextPosition
{
    int line = 1;
    int column = 1;
};

/// Reads a local path, standard input ("-"), or an address ("scheme://...") fetched with
/// the library's own GET, refusing what hosts refuse. On failure returns false.
bool loadManifest(const QString &source, Manifest &manifest, LoadError &error);

/// The exact bytes loadManifest() parses: the same reading, refusing the same, without
/// parsing, so that a signature can be checked on them first.
bool readSource(const QString &source, QByteArray &text, LoadError &error);

/// Parses @p text as hosts do; on failure @p error points at the first character that is
/// not JSON.
bool parseManifest(const QByteArray &text, Manifest &manifest, LoadError &error);

/// The byte offset in @p text (JSON that Qt accepts) of the value at each pointer of
/// @p pointers that exists. Where a member is repeated, the offset of the last one.
QHash<QString, int> valueOffsets(const QByteArray &text, const QSet<QString> &pointers);

/// The line and column of each byte offset in @p offsets, for LF, CRLF and CR line ends;
/// a leading byte order mark takes no column.
QVector<TextPosition> positions(const QByteArray &text, const QVector<int> &offsets);

/// @p key escaped as one JSON Pointer reference token.
QString pointerToken(QString key);

/// How a source is named in findings and messages.
QString displayName(const QString &source);

#endif // SOURCE_H
