// SPDX-License-Identifier: MIT
#ifndef RULES_LINT_H
#define RULES_LINT_H

#include "rules/registry.h"
#include "source/manifest.h"
#include "source/places.h"

#include <QJsonDocument>
#include <QString>
#include <QVector>

namespace MZU {
struct Version;
}

struct Finding
{
    Rule rule = Rule::NotJson;
    Severity severity = Severity::Error;
    QString pointer; // JSON Pointer of the value at fault, or of the member that is missing
    QString message;
    int offset = -1; // in the manifest's text; -1 until placed, and when there is no text
    bool atName = false; // placed at the member's name rather than at its value
    QString placeAt; // the pointer to place it at instead: a missing member's misspelling
    TextPosition position;
};

/// A finding of @p rule, with the rule's severity, placed at @p offset when it is known.
Finding makeFinding(Rule rule, const QString &pointer, const QString &message, int offset = -1);

/// Every place where the library would skip, drop or misread something in @p manifest,
/// placed in its text (a missing member at its object), in document order. @p hostOs counts
/// as a known platform besides the usual forms. @p signedManifest: its signature was
/// checked, so file entries should carry "sha256".
QVector<Finding> lintManifest(
    const Manifest &manifest, const QString &hostOs, bool signedManifest = false);

/// The findings in the text itself, placed: repeated members, unknown escapes, raw control
/// characters.
QVector<Finding> textFindings(const Manifest &manifest);

/// The finding for a manifest that could not be read, placed where its text stops being
/// JSON when there is one.
Finding unreadable(const LoadError &error);

/// Why hosts ignore @p manifest as a whole, or empty text when they read it.
QString ignoredBecause(const QJsonDocument &manifest);

/// The first number of @p text, parsed into @p version, that is not zero but reads as 0.
QString droppedNumber(const QString &text, const MZU::Version &version);

#endif // RULES_LINT_H
