#ifndef MANIFESTBUILDER_H
#define MANIFESTBUILDER_H

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QPair>
#include <QString>
#include <QVector>

// Terse manifests for test tables. Every builder returns plain Qt JSON values, so they nest
// and mix freely with hand-written JSON.
namespace ManifestBuilder {

// JSON text with ' standing for ", so that it fits in a C++ literal. A typo is a broken
// test, not a case: it aborts.
inline QJsonValue json(const char *text)
{
    QByteArray bytes = QByteArray("[") + text + ']';
    bytes.replace('\'', '"');
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("Bad JSON in a test table: %s (%s)", text, qPrintable(error.errorString()));
    return document.array().at(0);
}

inline QJsonObject object(const char *text)
{
    return json(text).toObject();
}

// @p base with the members of @p changes added or replaced.
inline QJsonObject merged(QJsonObject base, const QJsonObject &changes)
{
    for (auto it = changes.begin(); it != changes.end(); ++it)
        base.insert(it.key(), it.value());
    return base;
}

inline QJsonObject without(QJsonObject base, const QString &key)
{
    base.remove(key);
    return base;
}

inline QJsonDocument manifest(const QJsonArray &apps, const QString &name = "Versions.json")
{
    return QJsonDocument(QJsonObject { { "name", name }, { "apps", apps } });
}

// A release entry of the catalogue: "os" is a string.
inline QJsonObject release(const QJsonValue &name, const QJsonValue &os, const QJsonValue &version,
    const QJsonObject &extra = QJsonObject())
{
    return merged(QJsonObject { { "name", name }, { "os", os }, { "version", version } }, extra);
}

// An application entry for the file and setting walks: "os" is an array of OS entries.
inline QJsonObject application(const QJsonValue &name, const QJsonArray &systems)
{
    return QJsonObject { { "name", name }, { "os", systems } };
}

// An OS entry; an Undefined list leaves its key out.
inline QJsonObject system(const QJsonValue &name, const QJsonValue &files,
    const QJsonValue &settings = QJsonValue(QJsonValue::Undefined))
{
    QJsonObject entry { { "name", name } };
    if (!files.isUndefined())
        entry.insert("files", files);
    if (!settings.isUndefined())
        entry.insert("settings", settings);
    return entry;
}

// A complete file entry; @p extra adds or replaces members.
inline QJsonObject file(const QJsonValue &version, const QString &filename = "f",
    const QJsonObject &extra = QJsonObject())
{
    return merged(QJsonObject { { "version", version }, { "filename", filename },
                      { "location", "bin" }, { "url", "http://example.com/" + filename } },
        extra);
}

inline QJsonObject setting(const QJsonValue &version, const QJsonValue &key,
    const QJsonValue &type = QJsonValue(QJsonValue::Undefined),
    const QJsonValue &value = QJsonValue(QJsonValue::Undefined))
{
    QJsonObject entry { { "version", version }, { "key", key } };
    if (!type.isUndefined())
        entry.insert("type", type);
    if (!value.isUndefined())
        entry.insert("value", value);
    return entry;
}

// Replaces placeholders in the document's text, so that one table serves several names
// (for instance an OS name known only at run time).
inline QJsonDocument substituted(
    const QJsonDocument &document, const QVector<QPair<QString, QString>> &replacements)
{
    if (document.isNull())
        return document;
    QString text = QString::fromUtf8(document.toJson(QJsonDocument::Compact));
    for (const auto &replacement : replacements)
        text.replace(replacement.first, replacement.second);
    return QJsonDocument::fromJson(text.toUtf8());
}

// Tables write "@os" for the OS name a walk runs for and "@OS" for it in upper case.
inline QJsonDocument forOs(const QJsonDocument &document, const QString &os)
{
    return substituted(document, { { "@os", os }, { "@OS", os.toUpper() } });
}

} // namespace ManifestBuilder

#endif // MANIFESTBUILDER_H
