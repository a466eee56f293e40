#include "downloadjson.h"

#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

constexpr int defaultTransferTimeoutMs = 30000;
constexpr qint64 maximumBodySize = 64 * 1024 * 1024;

} // namespace

QJsonDocument downloadJSon(const QString &address)
{
    return downloadJSon(address, defaultTransferTimeoutMs);
}

QJsonDocument downloadJSon(const QString &address, int transferTimeoutMs)
{
    QJsonDocument result;
    if (!QUrl(address, QUrl::TolerantMode).isValid()) {
        qWarning() << "Cannot download from " << address << " - invalid address";
        return result;
    }

    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(address, QUrl::TolerantMode));
    request.setTransferTimeout(transferTimeoutMs);
    QNetworkReply *reply = manager.get(request);
    if (!reply) {
        qWarning() << "NetworkAccessManager - NULL reply";
        return result;
    }

    QEventLoop loop;
    QObject::connect(reply, SIGNAL(error(QNetworkReply::NetworkError)), &loop, SLOT(quit()));
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);

    // The body is taken as it arrives, so that an oversized one is refused without ever
    // being held whole, by us or by the reply's buffer.
    QByteArray body;
    bool tooLarge = false;
    const auto takeBody = [&] {
        if (tooLarge)
            return;
        if (body.size() + reply->bytesAvailable() > maximumBodySize) {
            tooLarge = true;
            reply->abort();
            return;
        }
        body += reply->readAll();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maximumBodySize && !tooLarge) {
            tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QIODevice::readyRead, &loop, takeBody);
    loop.exec(QEventLoop::AllEvents);
    // QCoreApplication::exit() also ends this loop on the main thread: a partial body
    // must not pass for a whole one.
    if (reply->error() == QNetworkReply::NoError && !reply->isFinished())
        reply->abort();

    if (!tooLarge && reply->error() == QNetworkReply::NoError)
        takeBody(); // what arrived after the last readyRead

    if (tooLarge)
        qWarning() << "Cannot download from " << address << " - manifest larger than 64 MiB";
    else if (reply->error() != QNetworkReply::NoError)
        qWarning() << "(MZUpdater JSON) NAM error " << reply->errorString();
    else
        result = QJsonDocument::fromJson(body);
    delete reply;
    return result;
}
