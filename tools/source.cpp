#include "source.h"

#include "downloadjson.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringList>
#include <QUrl>

#include <cstring>

namespace {

constexpr qint64 maximumSize = 64 * 1024 * 1024; // hosts refuse larger manifests

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

// The library answers every failure with a null document. This first request of our own
// tells which failure it was, and sees the redirects that hosts do not follow.
bool probe(const QUrl &url, QByteArray &body, QString &error)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(30000);
    QNetworkReply *reply = manager.get(request);
    QEventLoop loop;
    bool tooLarge = false;
    const auto take = [&] {
        if (tooLarge)
            return;
        if (body.size() + reply->bytesAvailable() > maximumSize) {
            tooLarge = true;
            reply->abort();
            return;
        }
        body += reply->readAll();
    };
    QObject::connect(reply, &QIODevice::readyRead, &loop, take);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    take();

    const QString address = url.toString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray location = reply->rawHeader("Location");
    if (tooLarge) {
        error = QStringLiteral("%1 is larger than 64 MiB; hosts refuse it").arg(address);
    } else if (status >= 300 && status < 400 && !location.isEmpty()) {
        error = QStringLiteral("the server answers %1 with a redirect (HTTP %2) to %3; hosts do "
                               "not follow redirects, so publish the manifest at this address")
                    .arg(address)
                    .arg(status)
                    .arg(url.resolved(QUrl::fromEncoded(location)).toString());
    } else if (status >= 400) {
        error = QStringLiteral("the server answers %1 with HTTP %2 %3")
                    .arg(address)
                    .arg(status)
                    .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString())
                    .trimmed();
    } else if (reply->error() != QNetworkReply::NoError) {
        error = QStringLiteral("cannot download %1: %2").arg(address, reply->errorString());
    }
    delete reply;
    return error.isEmpty();
}

QStringList *capturedWarnings = nullptr;

bool fetch(const QString &address, Manifest &manifest, QString &error)
{
    QByteArray body;
    Manifest probed;
    if (!probe(QUrl(address, QUrl::TolerantMode), body, error)
        || !parse(body, QStringLiteral("the answer from %1").arg(address), probed, error))
        return false;

    // The document itself comes from the library, so that it is exactly what hosts get.
    QStringList warnings;
    capturedWarnings = &warnings;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
            capturedWarnings->append(message);
        });
    manifest.document = downloadJSon(address);
    qInstallMessageHandler(previous);
    capturedWarnings = nullptr;
    if (manifest.document.isNull()) {
        error = QStringLiteral("cannot download %1: %2")
                    .arg(address,
                        warnings.isEmpty() ? QStringLiteral("the second answer is not JSON")
                                           : warnings.join(QLatin1String("; ")));
        return false;
    }
    if (manifest.document == probed.document)
        manifest.text = body;
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
