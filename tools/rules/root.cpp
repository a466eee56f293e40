// SPDX-License-Identifier: MIT
#include "rules/linter.h"

bool Linter::topLevel()
{
    const QString ignored = ignoredBecause(manifest);
    if (!ignored.isEmpty())
        add(manifest.isObject() ? QStringLiteral("/name") : QString(), Rule::IgnoredManifest,
            ignored + ": hosts ignore the whole manifest");
    if (!manifest.isObject())
        return false;
    const QJsonValue appsValue = manifest.object().value(QLatin1String("apps"));
    if (appsValue.isUndefined())
        add(QStringLiteral("/apps"), Rule::NoApps,
            QStringLiteral("no \"apps\" array: hosts find nothing"));
    else if (!appsValue.isArray())
        add(QStringLiteral("/apps"), Rule::NoApps,
            QStringLiteral("\"apps\" is %1, not an array: hosts find nothing")
                .arg(typeOf(appsValue)));
    else if (list.isEmpty())
        addAs(Severity::Warning, QStringLiteral("/apps"), Rule::NoApps,
            QStringLiteral("\"apps\" is empty: hosts find nothing"));
    misnamed(QString(), manifest.object(), Members::Root);
    return true;
}

QString ignoredBecause(const QJsonDocument &manifest)
{
    if (!manifest.isObject())
        return QStringLiteral("the root is %1, not an object")
            .arg(manifest.isArray() ? QStringLiteral("an array") : QStringLiteral("empty"));
    if (isManifest(manifest))
        return QString();
    const QJsonValue name = manifest.object().value(QLatin1String("name"));
    if (name.isString())
        return QStringLiteral("root \"name\" is %1, not \"Versions.json\"")
            .arg(inQuotes(name.toString()));
    return "root " + notText(QStringLiteral("name"), name) + " (it must be \"Versions.json\")";
}
