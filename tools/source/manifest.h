// SPDX-License-Identifier: MIT
#ifndef SOURCE_MANIFEST_H
#define SOURCE_MANIFEST_H

#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <QVector>

/// A member that appears twice in one object: hosts see one of them.
struct RepeatedKey
{
    QString pointer; // of the member, the same for both occurrences
    QString key; // the member's name, decoded
    int offset = 0; // of the repeated member's value
    int firstOffset = 0; // of the value it hides, as Qt 6 does
    int end = 0; // one past each value
    int firstEnd = 0;
    int name = 0; // of each one's name
    int firstName = 0;
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

/// Reads a local path, standard input ("-"), or an address ("scheme://...") fetched with
/// the library's own GET, refusing what hosts refuse, without parsing, so that a signature
/// can be checked on the exact bytes first. On failure returns false.
bool readSource(const QString &source, QByteArray &text, LoadError &error);

/// Parses @p text as hosts do; on failure @p error points at the first character that is
/// not JSON.
bool parseManifest(const QByteArray &text, Manifest &manifest, LoadError &error);

/// What to add to a failure of the library's GET: when it met a redirect and did not follow
/// it, that hosts refuse it unless they opt in, and the option that follows it; else empty.
QString redirectAdvice(bool notFollowed);

/// How a source is named in findings and messages.
QString displayName(const QString &source);

#endif // SOURCE_MANIFEST_H
