// SPDX-License-Identifier: MIT
#include "rules/linter.h"

namespace {

// Spaces, joiners and marks that print as nothing or as another character: "ver\u200bsion"
// must not print as "version".
bool lookAlike(ushort c)
{
    return c == 0xa0 || c == 0xad || c == 0x34f || c == 0x180e || (c >= 0x2000 && c <= 0x200f)
        || (c >= 0x2010 && c <= 0x201f) || (c >= 0x2028 && c <= 0x202f)
        || (c >= 0x205f && c <= 0x206f) || c == 0x3000 || c == 0xfeff
        || (c >= 0xff01 && c <= 0xff5e);
}

QString shownAt(const Finding &finding)
{
    return finding.placeAt.isEmpty() ? finding.pointer : finding.placeAt;
}

// @p message with the number at @p offset as written there (1.0), not as Qt prints it (1).
QString asWritten(const QString &message, const QByteArray &text, int offset)
{
    const QByteArray written = numberAt(text, offset);
    if (written.isEmpty())
        return message;
    const QJsonValue value = QJsonDocument::fromJson('[' + written + ']').array().at(0);
    const QString printed = shortJson(value);
    if (!value.isDouble() || printed == QLatin1String(written))
        return message;
    return QString(message).replace(
        QRegularExpression("(?<![\\w.+-])" + QRegularExpression::escape(printed) + "(?![\\w.])"),
        QString::fromLatin1(written));
}

} // namespace

QString inQuotes(const QString &text)
{
    QString result = QStringLiteral("\"");
    for (const QChar c : text) {
        if (lookAlike(c.unicode()))
            result += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            result += c;
    }
    return result + '"';
}

QString shortJson(const QJsonValue &value)
{
    const QByteArray text = QJsonDocument(QJsonArray { value }).toJson(QJsonDocument::Compact);
    const QString inner = QString::fromUtf8(text.mid(1, text.size() - 2));
    return inner.size() > 40 ? inner.left(37) + "..." : inner;
}

QString typeOf(const QJsonValue &value)
{
    if (value.isBool() || value.isDouble())
        return QStringLiteral("a %1 (%2)")
            .arg(QLatin1String(value.isBool() ? "boolean" : "number"), shortJson(value));
    const char *const names[] = { "null", "", "", "a string", "an array", "an object" };
    return QLatin1String(value.isUndefined() ? "missing" : names[value.type()]);
}

// Why a member that must be a non-empty string is not one.
QString notText(const QString &member, const QJsonValue &value)
{
    if (value.isUndefined())
        return inQuotes(member) + " is missing";
    if (!value.isString())
        return inQuotes(member) + " is " + typeOf(value) + ", not a string";
    return inQuotes(member) + " is empty";
}

QString appsPointer(int index)
{
    return QLatin1String("/apps/") + QString::number(index);
}

Linter::Linter(const QJsonDocument &manifest, const QString &hostOs, bool signedManifest)
    : manifest(manifest)
    , hostOs(hostOs)
    , signedManifest(signedManifest)
    , list(manifest.object().value(QLatin1String("apps")).toArray())
{
}

QVector<Finding> Linter::run()
{
    if (topLevel()) {
        releases();
        applications();
        similarNames();
    }
    // A member reported missing is shown where it was misspelled.
    for (Finding &finding : findings) {
        finding.placeAt = misspelledAs.value(finding.pointer);
        finding.atName = finding.atName || !finding.placeAt.isEmpty();
    }
    return findings;
}

void Linter::addAs(Severity severity, const QString &pointer, Rule rule, const QString &message)
{
    findings.append(makeFinding(rule, pointer, message));
    findings.last().severity = severity;
}

QVector<Finding> lintManifest(const Manifest &manifest, const QString &hostOs, bool signedManifest)
{
    QVector<Finding> findings = Linter(manifest.document, hostOs, signedManifest).run();
    // Where the findings are: their pointers and every parent, for a missing member.
    QSet<QString> wanted;
    for (const Finding &finding : qAsConst(findings)) {
        for (QString pointer = shownAt(finding); !wanted.contains(pointer);
             pointer.truncate(qMax(0, pointer.lastIndexOf('/')))) {
            wanted.insert(pointer);
            if (pointer.isEmpty())
                break;
        }
    }
    const QHash<QString, Place> found = places(manifest.text, wanted);
    for (Finding &finding : findings) {
        QString pointer = shownAt(finding);
        while (!found.contains(pointer) && !pointer.isEmpty())
            pointer.truncate(pointer.lastIndexOf('/'));
        const Place place = found.value(pointer);
        finding.offset = place.value;
        if (pointer == shownAt(finding)) {
            finding.message = asWritten(finding.message, manifest.text, place.value);
            if (finding.atName)
                finding.offset = place.name;
        }
    }
    findings += textFindings(manifest);
    QVector<int> offsets;
    for (const Finding &finding : qAsConst(findings))
        offsets.append(finding.offset);
    const QVector<TextPosition> shown = positions(manifest.text, offsets);
    for (int i = 0; i < findings.size(); ++i)
        findings[i].position = shown.at(i);
    // Document order: by place, a parent before the members that it lacks.
    std::stable_sort(findings.begin(), findings.end(), [](const Finding &a, const Finding &b) {
        return a.offset != b.offset ? a.offset < b.offset
                                    : a.pointer.count('/') < b.pointer.count('/');
    });
    return findings;
}

Finding makeFinding(Rule rule, const QString &pointer, const QString &message, int offset)
{
    return { rule, ruleEntry(rule).severity, pointer, message, offset, false, {}, {} };
}

Finding unreadable(const LoadError &error)
{
    Finding finding = makeFinding(error.offset >= 0 ? Rule::NotJson : Rule::Unreadable, QString(),
        error.message, error.offset);
    if (error.offset >= 0)
        finding.position = positions(error.text, { error.offset }).constFirst();
    return finding;
}
