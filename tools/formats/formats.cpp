// SPDX-License-Identifier: MIT
#include "formats/formats.h"

#include "download/download_p.h"

#include "mzupdater_version.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

namespace {

// Controls, format characters (zero-width space, direction marks, byte order mark) and every
// space but the ASCII one: each reads as nothing, or as a plain space.
const char *severityName(const Finding &finding)
{
    return finding.severity == Severity::Error ? "error" : "warning";
}

QString ruleId(const Finding &finding)
{
    return QLatin1String(ruleEntry(finding.rule).id);
}

// GitHub's workflow commands end a value at a line break, and a property at ":" or ",".
QString githubData(QString text)
{
    return text.replace('%', "%25").replace('\r', "%0D").replace('\n', "%0A");
}

QString githubProperty(const QString &text)
{
    return githubData(text).replace(':', "%3A").replace(',', "%2C");
}

QString message(const Finding &finding)
{
    return escaped(finding.message)
        + (finding.pointer.isEmpty() ? QString() : " [" + escaped(finding.pointer) + ']');
}

// One line a finding: @p line appends it to the text, given the manifest's name as shown.
QByteArray lines(const QVector<Linted> &manifests,
    void (*line)(QString &out, const QString &file, const Finding &finding))
{
    QString out;
    for (const Linted &manifest : manifests) {
        const QString file = escaped(displayName(manifest.source));
        for (const Finding &finding : manifest.findings)
            line(out, file, finding);
    }
    return out.toUtf8();
}

// A finding with no place in the text is at 1:1, where problem matchers keep it.
void textLine(QString &out, const QString &file, const Finding &finding)
{
    out += QStringLiteral("%1:%2:%3: %4: %5\n")
               .arg(file, QString::number(finding.position.line),
                   QString::number(finding.position.column), QLatin1String(severityName(finding)),
                   message(finding));
}

void githubLine(QString &out, const QString &file, const Finding &finding)
{
    out +=
        QStringLiteral("::%1 file=%2,line=%3,col=%4")
            .arg(QLatin1String(severityName(finding)), githubProperty(file),
                QString::number(finding.position.line), QString::number(finding.position.column));
    out += ",title=" + githubProperty("mzupdater " + ruleId(finding)) + "::";
    out += githubData(message(finding)); // a message may be megabytes: no copies
    out += '\n';
}

QByteArray json(const QVector<Linted> &manifests, const QString &os)
{
    QJsonArray sources;
    QJsonArray list;
    int errors = 0;
    int warnings = 0;
    for (const Linted &manifest : manifests) {
        sources.append(displayName(manifest.source));
        for (const Finding &finding : manifest.findings) {
            QJsonObject entry { { "file", displayName(manifest.source) },
                { "pointer", finding.pointer }, { "severity", severityName(finding) },
                { "rule", ruleId(finding) }, { "message", finding.message } };
            if (finding.offset >= 0) {
                entry.insert("line", finding.position.line);
                entry.insert("column", finding.position.column);
                entry.insert("offset", finding.offset);
            }
            list.append(entry);
            ++(finding.severity == Severity::Error ? errors : warnings);
        }
    }
    return indentedJson({ { "manifest", sources.first() }, { "manifests", sources }, { "os", os },
        { "findings", list }, { "errors", errors }, { "warnings", warnings } });
}

bool webAddress(const QString &source)
{
    return source.contains(QLatin1String("://")) && !QUrl(source).isLocalFile();
}

// A URI that code scanning uploads accept: a relative reference for a relative path and for
// standard input, a file: URL for a local file, and for a web address its file name (the
// address itself goes in the messages).
QString artifactUri(const QString &source)
{
    const QUrl url(source);
    if (webAddress(source)) {
        const QString name = url.fileName();
        return QString::fromUtf8(QUrl::toPercentEncoding(name.isEmpty() ? url.host() : name));
    }
    const QString path = url.isLocalFile() ? url.toLocalFile() : source;
    if (QDir::isAbsolutePath(path))
        return QString::fromUtf8(QUrl::fromLocalFile(path).toEncoded());
    return QString::fromUtf8(QUrl::toPercentEncoding(displayName(path), "/"));
}

QByteArray sarif(const QVector<Linted> &manifests)
{
    const auto textObject = [](const QString &text) { return QJsonObject { { "text", text } }; };
    QJsonArray rules;
    for (const RuleEntry &rule : ruleEntries()) {
        const QString description = QLatin1String(rule.summary);
        const QString help = QLatin1String(rule.help);
        rules.append(
            QJsonObject { { "id", rule.id }, { "shortDescription", textObject(description) },
                { "fullDescription", textObject(description + ' ' + help) },
                { "help",
                    textObject(help + " See \"lint\" in docs/manifest.md for what hosts do.") } });
    }
    QJsonArray results;
    QJsonArray artifacts;
    QHash<QByteArray, int> seen; // fingerprints so far
    for (const Linted &manifest : manifests) {
        const QString uri = artifactUri(manifest.source);
        const bool address = webAddress(manifest.source);
        artifacts.append(QJsonObject { { "location", QJsonObject { { "uri", uri } } } });
        for (const Finding &finding : manifest.findings) {
            // A finding with no place in the text is at 1:1: code scanning needs a region.
            const QJsonObject physical {
                { "artifactLocation",
                    QJsonObject { { "uri", uri }, { "index", artifacts.size() - 1 } } },
                { "region",
                    QJsonObject { { "startLine", finding.position.line },
                        { "startColumn", finding.position.column } } }
            };
            QJsonObject location { { "physicalLocation", physical } };
            if (!finding.pointer.isEmpty())
                location.insert("logicalLocations",
                    QJsonArray { QJsonObject { { "fullyQualifiedName", finding.pointer } } });
            QString text = escaped(finding.message);
            if (address && !text.contains(manifest.source))
                text += QStringLiteral(" (in %1)").arg(escaped(manifest.source));
            // The same finding keeps its fingerprint when lines move or wording changes.
            const QByteArray key = (ruleId(finding) + '\n' + finding.pointer + '\n' + uri).toUtf8();
            const QByteArray hash =
                QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(32);
            results.append(QJsonObject { { "ruleId", ruleId(finding) },
                { "ruleIndex", int(finding.rule) }, { "level", severityName(finding) },
                { "message", textObject(text) }, { "locations", QJsonArray { location } },
                { "partialFingerprints",
                    QJsonObject { { "mzupdaterFinding/v1",
                        QStringLiteral("%1:%2").arg(QLatin1String(hash)).arg(++seen[hash]) } } } });
        }
    }
    const QJsonObject driver { { "name", "mzupdater" }, { "version", MZUPDATER_VERSION_STRING },
        { "semanticVersion", MZUPDATER_VERSION_STRING }, { "rules", rules } };
    const QJsonObject run { { "tool", QJsonObject { { "driver", driver } } },
        { "columnKind", "unicodeCodePoints" }, { "artifacts", artifacts }, { "results", results } };
    return indentedJson({ { "$schema", "https://json.schemastore.org/sarif-2.1.0.json" },
        { "version", "2.1.0" }, { "runs", QJsonArray { run } } });
}

} // namespace

bool formatNamed(const QString &name, Format &format)
{
    const QStringList names { "text", "json", "github", "sarif" }; // in the order of Format
    format = names.contains(name) ? Format(names.indexOf(name)) : format;
    return names.contains(name);
}

QByteArray formatFindings(Format format, const QVector<Linted> &manifests, const QString &os)
{
    switch (format) {
    case Format::Json:
        return json(manifests, os);
    case Format::Github:
        return lines(manifests, githubLine);
    case Format::Sarif:
        return sarif(manifests);
    case Format::Text:
        break;
    }
    return lines(manifests, textLine);
}

QString escaped(const QString &text, bool multiline)
{
    return MZU::Internal::printable(text, multiline);
}

QByteArray indentedJson(const QJsonObject &object)
{
    // Qt escapes what JSON must; DEL, C1 controls and direction marks stay raw, and only
    // ever inside strings, where a \u escape means the same.
    const QString text = QString::fromUtf8(QJsonDocument(object).toJson());
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && MZU::Internal::invisible(c))
            MZU::Internal::appendEscape(result, c);
        else
            result += c;
    }
    return result.toUtf8();
}
