// SPDX-License-Identifier: MIT
#ifndef FORMATS_FORMATS_H
#define FORMATS_FORMATS_H

#include "rules/lint.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

enum class Format { Text, Json, Github, Sarif };

/// The format named @p name ("text", "json", "github", "sarif"); false when none is.
bool formatNamed(const QString &name, Format &format);

/// The findings of one manifest.
struct Linted
{
    QString source;
    QVector<Finding> findings;
};

/// The findings of every manifest in @p format, ready to print.
QByteArray formatFindings(Format format, const QVector<Linted> &manifests, const QString &os);

/// @p text with control characters, escape sequences, invisible format characters (direction
/// marks, zero-width spaces) and spaces but the ASCII one shown as escapes (\n, \u001b,
/// \u200b), so that manifest text cannot steer a terminal or a log, nor hide in a name. Line
/// breaks and tabs stay when @p multiline.
QString escaped(const QString &text, bool multiline = false);

/// @p object as indented JSON, with the characters escaped() shows written as \u escapes.
QByteArray indentedJson(const QJsonObject &object);

#endif // FORMATS_FORMATS_H
