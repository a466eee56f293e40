#include "source.h"

#include "download/signature_p.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonParseError>
#include <QStringList>

#include <cstring>

namespace {

bool parse(const QByteArray &text, const QString &what, Manifest &manifest, QString &error)
{
    QJsonParseError parseError;
    manifest.document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error == QJsonParseError::NoError) {
        manifest.text = text;
        return true;
    }
    if (text.trimmed().isEmpty()) {
        error = QStringLiteral("%1 is empty, not JSON").arg(what);
        return false;
    }
    const QByteArray before = text.left(parseError.offset);
    error = QStringLiteral("%1 is not JSON: %2 at line %3, column %4")
                .arg(what, parseError.errorString())
                .arg(before.count('\n') + 1)
                .arg(before.size() - before.lastIndexOf('\n'));
    return false;
}

bool readFile(const QString &path, QByteArray &text, QString &error)
{
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        error = QStringLiteral("cannot read %1: it is a directory").arg(path);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    text = file.readAll();
    return true;
}

// The library's own GET, so that the tool sees exactly what hosts get, with the cause of a
// failure that hosts only log.
bool fetch(const QString &address, QByteArray &text, QString &error)
{
    using namespace MZU::Internal;
    const Fetched fetched = MZU::Internal::fetch(address, defaultTransferTimeoutMs);
    error = fetchProblem(fetched, address, maximumManifestSize);
    if (!error.isEmpty()) {
        if (fetched.outcome == Fetched::Received)
            error += QLatin1String(", so publish the manifest at this address");
        return false;
    }
    text = fetched.body;
    return true;
}

// Records where each value starts. The text has been parsed already, so the scan trusts it
// and only guards against running off its end.
class Scanner
{
public:
    Scanner(const QByteArray &text, QHash<QString, int> &offsets)
        : begin(text.constData())
        , p(begin)
        , end(begin + text.size())
        , offsets(offsets)
    {
    }

    void value(const QString &pointer)
    {
        space();
        if (p >= end)
            return;
        offsets.insert(pointer, int(p - begin));
        if (*p == '{' || *p == '[') {
            const bool object = *p == '{';
            ++p;
            for (int index = 0;; ++index) {
                space();
                if (p >= end || *p == '}' || *p == ']')
                    break;
                QString token = QString::number(index);
                if (object) {
                    if (*p != '"')
                        return;
                    token = pointerToken(string());
                    space();
                    if (p < end && *p == ':')
                        ++p;
                }
                value(pointer + QLatin1Char('/') + token);
                space();
                if (p >= end || *p != ',')
                    break;
                ++p;
            }
            if (p < end)
                ++p;
        } else if (*p == '"') {
            string();
        } else {
            while (p < end && !std::strchr(",]} \t\r\n", *p))
                ++p;
        }
    }

private:
    void space()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
            ++p;
    }

    QString string()
    {
        QString text;
        QByteArray run;
        for (++p; p < end && *p != '"'; ++p) {
            if (*p != '\\') {
                run += *p;
                continue;
            }
            if (++p >= end)
                break;
            const char escapes[] = "b\bf\fn\nr\rt\t";
            if (*p == 'u' && end - p > 4) {
                text += QString::fromUtf8(run) + QChar(QByteArray(p + 1, 4).toUShort(nullptr, 16));
                run.clear();
                p += 4;
            } else if (const char *e = std::strchr(escapes, *p); e && *p) {
                run += e[1];
            } else {
                run += *p;
            }
        }
        if (p < end)
            ++p;
        return text + QString::fromUtf8(run);
    }

    const char *begin;
    const char *p;
    const char *end;
    QHash<QString, int> &offsets;
};

} // namespace

bool readSource(const QString &source, QByteArray &text, QString &error)
{
    if (source.contains(QLatin1String("://")))
        return fetch(source, text, error);
    return readFile(source, text, error);
}

bool parseManifest(
    const QByteArray &text, const QString &source, Manifest &manifest, QString &error)
{
    return parse(text,
        source.contains(QLatin1String("://")) ? QStringLiteral("the answer from %1").arg(source)
                                              : source,
        manifest, error);
}

bool loadManifest(const QString &source, Manifest &manifest, QString &error)
{
    QByteArray text;
    return readSource(source, text, error) && parseManifest(text, source, manifest, error);
}

QHash<QString, int> valueOffsets(const QByteArray &text)
{
    QHash<QString, int> offsets;
    Scanner(text, offsets).value(QString());
    return offsets;
}

QString pointerToken(QString key)
{
    return key.replace(QLatin1Char('~'), QLatin1String("~0"))
        .replace(QLatin1Char('/'), QLatin1String("~1"));
}
