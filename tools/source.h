#ifndef SOURCE_H
#define SOURCE_H

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QString>

/// A manifest as a host gets it, with the text it came from for placing findings.
struct Manifest
{
    QJsonDocument document;
    QByteArray text; // empty when the text hosts get is not known
};

/// Reads a local path directly, or fetches an address ("scheme://...") with the library's
/// download. On failure returns false and sets @p error to one line that names the cause.
bool loadManifest(const QString &source, Manifest &manifest, QString &error);

/// The bytes of a local path, or of an address fetched with the library's download.
/// On failure returns false and sets @p error to one line that names the cause.
bool readSource(const QString &source, QByteArray &text, QString &error);

/// Parses @p text, read from @p source, into @p manifest; on failure says where it broke.
bool parseManifest(
    const QByteArray &text, const QString &source, Manifest &manifest, QString &error);

/// The byte offset in @p text (valid JSON) of every value, keyed by its JSON Pointer.
QHash<QString, int> valueOffsets(const QByteArray &text);

/// @p key escaped as one JSON Pointer reference token.
QString pointerToken(QString key);

#endif // SOURCE_H
