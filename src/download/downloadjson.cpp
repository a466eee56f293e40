#include "downloadjson.h"

#include "download_p.h"

#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

namespace MZU {
namespace Internal {

Fetched fetch(const QString &address, int transferTimeoutMs)
{
    Fetched fetched;
    if (!QUrl(address, QUrl::TolerantMode).isValid())
        return fetched;

    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(address, QUrl::TolerantMode));
    request.setTransferTimeout(transferTimeoutMs);
    // Qt 6 follows redirects unless told not to; Qt 5 never did, and a manifest is
    // fetched from exactly the address the installation names.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager.get(request);
    if (!reply) {
        fetched.outcome = Fetched::NoReply;
        return fetched;
    }

    QEventLoop loop;
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QObject::connect(reply, SIGNAL(error(QNetworkReply::NetworkError)), &loop, SLOT(quit()));
#else
    QObject::connect(reply, &QNetworkReply::errorOccurred, &loop, &QEventLoop::quit);
#endif
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);

    // The body is taken as it arrives, so that an oversized one is refused without ever
    // being held whole, by us or by the reply's buffer. That buffer is otherwise unbounded:
    // Qt's network thread keeps reading while this thread is slow to take the bytes (under
    // the sanitizers, Qt 6 had 460 MB of a 1 GiB stream sent before the refusal).
    reply->setReadBufferSize(readBufferSize);
    bool tooLarge = false;
    const auto refuse = [&] {
        tooLarge = true;
        reply->abort();
    };
    const auto takeBody = [&] {
        if (tooLarge)
            return;
        if (fetched.body.size() + reply->bytesAvailable() > maximumManifestSize)
            refuse();
        else
            fetched.body += reply->readAll();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!tooLarge && length.isValid() && length.toLongLong() > maximumManifestSize)
            refuse();
    });
    QObject::connect(reply, &QIODevice::readyRead, &loop, takeBody);
    loop.exec(QEventLoop::AllEvents);
    // QCoreApplication::exit() also ends this loop on the main thread: a partial body
    // must not pass for a whole one.
    if (reply->error() == QNetworkReply::NoError && !reply->isFinished())
        reply->abort();
    if (!tooLarge && reply->error() == QNetworkReply::NoError)
        takeBody(); // what arrived after the last readyRead

    // Qt sometimes takes a connection closed early for the end of the body: hold the body
    // to its declared length, unless Qt decompressed it (then the length is not comparable).
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    const bool truncated = !tooLarge && reply->error() == QNetworkReply::NoError
        && declared.isValid() && reply->rawHeader("Content-Encoding").isEmpty()
        && fetched.body.size() < declared.toLongLong();

    fetched.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    fetched.location = reply->rawHeader("Location");
    if (tooLarge) {
        fetched.outcome = Fetched::TooLarge;
    } else if (reply->error() != QNetworkReply::NoError) {
        fetched.outcome = Fetched::NetworkError;
        fetched.errorText = reply->errorString();
    } else if (truncated) {
        fetched.outcome = Fetched::NetworkError;
        fetched.errorText = QStringLiteral("Connection closed"); // what Qt says when it notices
    } else {
        fetched.outcome = Fetched::Received;
    }
    if (fetched.outcome != Fetched::Received)
        fetched.body.clear();
    delete reply;
    return fetched;
}

} // namespace Internal
} // namespace MZU

QJsonDocument downloadJSon(const QString &address)
{
    return downloadJSon(address, MZU::Internal::defaultTransferTimeoutMs);
}

QJsonDocument downloadJSon(const QString &address, int transferTimeoutMs)
{
    using MZU::Internal::Fetched;
    const Fetched fetched = MZU::Internal::fetch(address, transferTimeoutMs);
    switch (fetched.outcome) {
    case Fetched::Received:
        return QJsonDocument::fromJson(fetched.body);
    case Fetched::InvalidAddress:
        qWarning() << "Cannot download from " << address << " - invalid address";
        break;
    case Fetched::NoReply:
        qWarning() << "NetworkAccessManager - NULL reply";
        break;
    case Fetched::NetworkError:
        qWarning() << "(MZUpdater JSON) NAM error " << fetched.errorText;
        break;
    case Fetched::TooLarge:
        qWarning() << "Cannot download from " << address << " - manifest larger than 64 MiB";
        break;
    }
    return QJsonDocument();
}
