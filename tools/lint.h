#ifndef LINT_H
#define LINT_H

#include <QJsonDocument>
#include <QString>
#include <QVector>

namespace MZU {
struct Version;
}

struct Finding
{
    enum Severity { Warning, Error };
    QString pointer; // JSON Pointer of the value at fault, or of the member that is missing
    Severity severity = Error;
    QString message;
};

/// Every place where the library would skip, drop or misread something in @p manifest, in
/// no particular order. @p hostOs counts as a known platform besides the usual forms.
QVector<Finding> lint(const QJsonDocument &manifest, const QString &hostOs);

/// Why hosts ignore @p manifest as a whole, or empty text when they read it.
QString ignoredBecause(const QJsonDocument &manifest);

/// The first number of @p text, parsed into @p version, that is not zero but reads as 0.
QString droppedNumber(const QString &text, const MZU::Version &version);

#endif // LINT_H
