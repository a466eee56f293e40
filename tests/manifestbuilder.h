// SPDX-License-Identifier: MIT
#ifndef MANIFESTBUILDER_H
#define MANIFESTBUILDER_H

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

// Terse manifests for test tables, as plain Qt JSON values. A member given as Undefined is
// left out (QJsonObject drops it on insertion).
namespace ManifestBuilder {

// @p base with the members of @p extra added, replaced or (when Undefined) removed.
inline QJsonObject merged(QJsonObject base, const QJsonObject &extra)
{
    for (auto it = extra.begin(); it != extra.end(); ++it)
        base.insert(it.key(), it.value());
    return base;
}

inline QJsonDocument manifest(const QJsonArray &apps, const QString &name = "Versions.json")
{
    return QJsonDocument(QJsonObject { { "name", name }, { "apps", apps } });
}

// A release entry of the catalogue: "os" is a string.
inline QJsonObject release(const QJsonValue &name, const QJsonValue &os, const QJsonValue &version,
    const QJsonObject &extra = {})
{
    return merged({ { "name", name }, { "os", os }, { "version", version } }, extra);
}

// An application entry for the file and setting walks: "os" is an array of OS entries.
inline QJsonObject application(const QJsonValue &name, const QJsonArray &systems)
{
    return QJsonObject { { "name", name }, { "os", systems } };
}

inline QJsonObject system(const QJsonValue &name, const QJsonValue &files)
{
    return { { "name", name }, { "files", files } };
}

inline QJsonObject file(
    const QJsonValue &version, const QString &filename = "f", const QJsonObject &extra = {})
{
    return merged({ { "version", version }, { "filename", filename }, { "location", "bin" },
                      { "url", "http://example.com/" + filename } },
        extra);
}

} // namespace ManifestBuilder

#endif // MANIFESTBUILDER_H
