// SPDX-License-Identifier: MIT
#include "httpserver.h"

#include <memory>

#include <zlib.h>

namespace {

// Bytes [offset, offset + count) of the fill and the body after it.
QByteArray bodyPart(const HttpServer::Response &response, qint64 offset, qint64 count)
{
    const qint64 from = qBound(offset, response.fillSize, offset + count);
    QByteArray part(int(from - offset), ' ');
    return part + response.body.mid(int(from - response.fillSize), int(offset + count - from));
}

// Hands over connections as QSslSocket, encrypting, when given a certificate.
struct Listener : QTcpServer
{
    QByteArray certificate, key;

    void incomingConnection(qintptr descriptor) override
    {
        if (certificate.isEmpty())
            return QTcpServer::incomingConnection(descriptor);
        auto *socket = new QSslSocket(this);
        socket->setLocalCertificate(QSslCertificate(certificate));
        socket->setPrivateKey(QSslKey(key, QSsl::Rsa));
        socket->setSocketDescriptor(descriptor);
        socket->startServerEncryption();
        addPendingConnection(socket);
    }
};

} // namespace

HttpServer::Response HttpServer::Response::json(const QByteArray &body, int status)
{
    return { status, { { "Content-Type", "application/json" } }, body };
}

HttpServer::Response HttpServer::Response::encoded(
    const QByteArray &encoding, const QByteArray &body, qint64 fill)
{
    Response response { 200,
        { { "Content-Type", "application/json" }, { "Content-Encoding", encoding } }, body, fill };
    if (encoding != "gzip" && encoding != "deflate")
        return response;
    QByteArray input = bodyPart(response, 0, response.size());
    response.fillSize = 0;
    z_stream stream {};
    // Run-length matches only: hundreds of megabytes of spaces compress in a blink.
    deflateInit2(&stream, 9, Z_DEFLATED, encoding == "gzip" ? 31 : 15, 9, Z_RLE);
    response.body.resize(int(deflateBound(&stream, uLong(input.size()))));
    stream.next_in = reinterpret_cast<Bytef *>(input.data());
    stream.avail_in = uInt(input.size());
    stream.next_out = reinterpret_cast<Bytef *>(response.body.data());
    stream.avail_out = uInt(response.body.size());
    deflate(&stream, Z_FINISH);
    response.body.resize(int(stream.total_out));
    response.body.squeeze();
    deflateEnd(&stream);
    return response;
}

HttpServer::HttpServer(const QByteArray &certificate, const QByteArray &key)
    : tls(!certificate.isEmpty())
{
    auto *listener = new Listener;
    listener->certificate = certificate;
    listener->key = key;
    server = listener;
    server->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, server, &QObject::deleteLater);
    thread.start();
    QMetaObject::invokeMethod(
        server,
        [this] {
            QObject::connect(server, &QTcpServer::newConnection, server, [this] {
                while (QTcpSocket *socket = server->nextPendingConnection())
                    serve(socket);
            });
            server->listen(QHostAddress::LocalHost, 0);
        },
        Qt::BlockingQueuedConnection);
}

HttpServer::~HttpServer()
{
    QMetaObject::invokeMethod(
        server,
        [this] {
            server->close();
            for (QTcpSocket *socket : server->findChildren<QTcpSocket *>())
                socket->abort();
        },
        Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

QString HttpServer::url(const QString &target) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(QLatin1String(tls ? "https" : "http"), QString::number(server->serverPort()), target);
}

void HttpServer::setResponse(const QString &target, const Response &response)
{
    QMutexLocker locker(&mutex);
    responses.insert(target, response);
}

int HttpServer::requestCount(const QString &target) const
{
    QMutexLocker locker(&mutex);
    return requests.value(target);
}

qint64 HttpServer::bytesSent(const QString &target) const
{
    QMutexLocker locker(&mutex);
    return sent.value(target);
}

// On the server's thread: the connection's state lives as long as its socket.
void HttpServer::serve(QTcpSocket *socket)
{
    struct Connection
    {
        QByteArray request;
        QString target;
        Response response;
        qint64 offset = 0;
    };
    const auto c = std::make_shared<Connection>();
    // Writes only a little ahead of the peer, so that a huge body is made as fast as it is read.
    const auto pump = [socket, c] {
        const qint64 chunk = c->response.trickleMs > 0 ? 1 : 64 * 1024;
        if (socket->state() != QAbstractSocket::ConnectedState)
            return;
        do {
            const qint64 count = qMin(chunk, c->response.size() - c->offset);
            socket->write(bodyPart(c->response, c->offset, count));
            c->offset += count;
        } while (chunk > 1 && c->offset < c->response.size() && socket->bytesToWrite() < 4 * chunk);
        if (c->offset == c->response.size())
            socket->disconnectFromHost();
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [this, c, pump](qint64 n) {
        QMutexLocker locker(&mutex);
        sent[c->target] += n;
        locker.unlock();
        if (c->response.trickleMs == 0)
            pump();
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, c, pump] {
        c->request += socket->readAll();
        if (!c->target.isNull() || !c->request.contains("\r\n\r\n"))
            return;
        c->target = QString::fromUtf8(c->request.split(' ').value(1));
        {
            QMutexLocker locker(&mutex);
            ++requests[c->target];
            c->response = responses.value(c->target, Response { 404 });
        }
        const Response &response = c->response;
        if (response.silent)
            return;
        const QHash<int, QByteArray> phrases { { 200, "OK" }, { 404, "Not Found" },
            { 429, "Too Many Requests" }, { 503, "Service Unavailable" } };
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
            + phrases.value(response.status) + "\r\n";
        if (response.contentLength != Response::NoLength)
            head += "Content-Length: "
                + QByteArray::number(
                    response.contentLength < 0 ? response.size() : response.contentLength)
                + "\r\n";
        for (const auto &header : response.headers)
            head += header.first + ": " + header.second + "\r\n";
        socket->write(head + "Connection: close\r\n\r\n");
        if (response.trickleMs == 0)
            return pump();
        auto *timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, pump);
        timer->start(response.trickleMs);
    });
}
