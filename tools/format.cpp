// SPDX-License-Identifier: MIT
#include "format.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

namespace {

bool invisible(ushort c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x200e || c == 0x200f
        || (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

const char *severityName(const Finding &finding)
{
    return finding.severity == Finding::Error ? "error" : "warning";
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

QByteArray text(const QVector<Linted> &manifests)
{
    QString out;
    for (const Linted &manifest : manifests) {
        const QString file = escaped(displayName(manifest.source));
        for (const Finding &finding : manifest.findings) {
            out += file;
            if (finding.offset >= 0)
                out += QStringLiteral(":%1:%2")
                           .arg(finding.position.line)
                           .arg(finding.position.column);
            out += QStringLiteral(": %1: %2\n")
                       .arg(QLatin1String(severityName(finding)), message(finding));
        }
    }
    return out.toUtf8();
}

QByteArray github(const QVector<Linted> &manifests)
{
    QString out;
    for (const Linted &manifest : manifests) {
        for (const Finding &finding : manifest.findings) {
            out += QStringLiteral("::%1 file=%2")
                       .arg(QLatin1String(severityName(finding)),
                           githubProperty(escaped(displayName(manifest.source))));
            if (finding.offset >= 0)
                out += QStringLiteral(",line=%1,col=%2")
                           .arg(finding.position.line)
                           .arg(finding.position.column);
            out += ",title=" + githubProperty("mzupdater " + QLatin1String(finding.rule));
            out += "::" + githubData(message(finding)) + '\n';
        }
    }
    return out.toUtf8();
}

QByteArray json(const QVector<Linted> &manifests, const QString &os)
{
    QJsonArray sources;
    QJsonArray list;
    int errors = 0;
    int total = 0;
    for (const Linted &manifest : manifests) {
        sources.append(manifest.source);
        for (const Finding &finding : manifest.findings) {
            QJsonObject entry { { "file", displayName(manifest.source) },
                { "pointer", finding.pointer }, { "severity", severityName(finding) },
                { "rule", finding.rule }, { "message", finding.message } };
            if (finding.offset >= 0) {
                entry.insert("line", finding.position.line);
                entry.insert("column", finding.position.column);
                entry.insert("offset", finding.offset);
            }
            list.append(entry);
            errors += finding.severity == Finding::Error;
            ++total;
        }
    }
    return jsonText({ { "manifest", sources.first() }, { "manifests", sources }, { "os", os },
        { "findings", list }, { "errors", errors }, { "warnings", total - errors } });
}

QByteArray sarif(const QVector<Linted> &manifests)
{
    QJsonArray rules;
    QHash<QString, int> ruleIndex;
    for (const Rule &rule : lintRules()) {
        ruleIndex.insert(QLatin1String(rule.id), rules.size());
        rules.append(QJsonObject { { "id", rule.id },
            { "shortDescription", QJsonObject { { "text", rule.description } } } });
    }
    QJsonArray results;
    QJsonArray artifacts;
    for (const Linted &manifest : manifests) {
        // A relative reference for a relative path, so that code scanning finds it in the
        // checkout; a file: URL for an absolute one.
        const QString &source = manifest.source;
        const QString uri = source.contains(QLatin1String("://")) ? source
            : source == QLatin1String("-")                        ? QStringLiteral("stdin")
            : QDir::isAbsolutePath(source)
            ? QString::fromUtf8(QUrl::fromLocalFile(source).toEncoded())
            : QString::fromUtf8(QUrl::toPercentEncoding(source, "/"));
        artifacts.append(QJsonObject { { "location", QJsonObject { { "uri", uri } } } });
        for (const Finding &finding : manifest.findings) {
            QJsonObject physical { { "artifactLocation",
                QJsonObject { { "uri", uri }, { "index", artifacts.size() - 1 } } } };
            if (finding.offset >= 0)
                physical.insert("region",
                    QJsonObject { { "startLine", finding.position.line },
                        { "startColumn", finding.position.column } });
            QJsonObject location { { "physicalLocation", physical } };
            if (!finding.pointer.isEmpty())
                location.insert("logicalLocations",
                    QJsonArray { QJsonObject { { "fullyQualifiedName", finding.pointer } } });
            results.append(QJsonObject { { "ruleId", finding.rule },
                { "ruleIndex", ruleIndex.value(QLatin1String(finding.rule)) },
                { "level", severityName(finding) },
                { "message", QJsonObject { { "text", finding.message } } },
                { "locations", QJsonArray { location } } });
        }
    }
    const QJsonObject driver { { "name", "mzupdater" }, { "version", MZUPDATER_VERSION },
        { "semanticVersion", MZUPDATER_VERSION }, { "rules", rules } };
    const QJsonObject run { { "tool", QJsonObject { { "driver", driver } } },
        { "columnKind", "unicodeCodePoints" }, { "artifacts", artifacts }, { "results", results } };
    return jsonText({ { "$schema", "https://json.schemastore.org/sarif-2.1.0.json" },
        { "version", "2.1.0" }, { "runs", QJsonArray { run } } });
}

} // namespace

bool formatNamed(const QString &name, Format &format)
{
    const std::pair<const char *, Format> formats[] = { { "text", Format::Text },
        { "json", Format::Json }, { "github", Format::Github }, { "sarif", Format::Sarif } };
    for (const auto &candidate : formats) {
        if (name == QLatin1String(candidate.first)) {
            format = candidate.second;
            return true;
        }
    }
    return false;
}

QByteArray formatFindings(Format format, const QVector<Linted> &manifests, const QString &os)
{
    switch (format) {
    case Format::Json:
        return json(manifests, os);
    case Format::Github:
        return github(manifests);
    case Format::Sarif:
        return sarif(manifests);
    case Format::Text:
        break;
    }
    return text(manifests);
}

QString escaped(const QString &text, bool multiline)
{
    const auto shown = [&](QChar c) {
        return invisible(c.unicode()) && !(multiline && (c == '\n' || c == '\t'));
    };
    if (std::none_of(text.begin(), text.end(), shown))
        return text;
    QString result;
    for (const QChar c : text) {
        if (!shown(c))
            result += c;
        else if (c == '\n')
            result += QLatin1String("\\n");
        else if (c == '\r')
            result += QLatin1String("\\r");
        else if (c == '\t')
            result += QLatin1String("\\t");
        else
            result += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return result;
}

QByteArray jsonText(const QJsonObject &object)
{
    // Qt escapes what JSON must; DEL, C1 controls and direction marks stay raw, and only
    // ever inside strings, where a \u escape means the same.
    const QString text = QString::fromUtf8(QJsonDocument(object).toJson());
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && invisible(c.unicode()))
            result += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            result += c;
    }
    return result.toUtf8();
}
