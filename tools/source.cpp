#include "source.h"

#include "download/download_p.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonParseError>
#include <QStringList>
#include <QUrl>

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

bool readFile(const QString &path, Manifest &manifest, QString &error)
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
    return parse(file.readAll(), path, manifest, error);
}

// The library's own GET, so that the tool sees exactly what hosts get, with the cause of a
// failure that hosts only log.
bool fetch(const QString &address, Manifest &manifest, QString &error)
{
    using MZU::Internal::Fetched;
    const Fetched fetched = MZU::Internal::fetch(address, MZU::Internal::defaultTransferTimeoutMs);
    const QUrl url(address, QUrl::TolerantMode);
    switch (fetched.outcome) {
    case Fetched::InvalidAddress:
        error = QStringLiteral("%1 is not a valid address").arg(address);
        return false;
    case Fetched::NoReply:
        error = QStringLiteral("cannot download %1: Qt gave no reply").arg(address);
        return false;
    case Fetched::TooLarge:
        error = QStringLiteral("%1 is larger than 64 MiB; hosts refuse it").arg(address);
        return false;
    case Fetched::TooSlow:
        error = QStringLiteral("%1 did not arrive within %2 s; hosts give up")
                    .arg(address)
                    .arg(MZU::Internal::transferLimitMs.load() / 1000);
        return false;
    case Fetched::Undecodable:
        error = QStringLiteral("cannot decode the %1 body of %2")
                    .arg(QString::fromLatin1(fetched.encoding), address);
        return false;
    case Fetched::NetworkError:
        error = fetched.status >= 400
            ? QStringLiteral("the server answers %1 with HTTP %2").arg(address).arg(fetched.status)
            : QStringLiteral("cannot download %1: %2").arg(address, fetched.errorText);
        return false;
    case Fetched::Received:
        break;
    }
    if (fetched.status >= 300 && fetched.status < 400 && !fetched.location.isEmpty()) {
        error = QStringLiteral("the server answers %1 with a redirect (HTTP %2) to %3; hosts do "
                               "not follow redirects, so publish the manifest at this address")
                    .arg(address)
                    .arg(fetched.status)
                    .arg(url.resolved(QUrl::fromEncoded(fetched.location)).toString());
        return false;
    }
    return parse(fetched.body, QStringLiteral("the answer from %1").arg(address), manifest, error);
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

bool loadManifest(const QString &source, Manifest &manifest, QString &error)
{
    if (source.contains(QLatin1String("://")))
        return fetch(source, manifest, error);
    return readFile(source, manifest, error);
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
