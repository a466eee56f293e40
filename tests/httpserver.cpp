#include "httpserver.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <zlib.h>

namespace {

// Bytes [offset, offset + count) of the body.
QByteArray bodyPart(const HttpServer::Response &response, qint64 offset, qint64 count)
{
    QByteArray part(int(count), ' ');
    const auto copy = [&](const QByteArray &piece, qint64 start) {
        const qint64 from = qMax(offset, start);
        const qint64 to = qMin(offset + count, start + piece.size());
        if (from < to)
            part.replace(int(from - offset), int(to - from), piece.constData() + (from - start),
                int(to - from));
    };
    copy(response.body, 0);
    copy(response.tail, response.size() - response.tail.size());
    return part;
}

} // namespace

struct HttpServer::Connection : QObject
{
    using QObject::QObject;
    QTcpSocket *socket = nullptr;
    QByteArray request;
    QString target;
    Response response;
    qint64 offset = 0;
    bool pumping = false;
};

HttpServer::Response HttpServer::Response::json(const QByteArray &body, int status)
{
    Response response;
    response.status = status;
    response.body = body;
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return response;
}

HttpServer::Response HttpServer::Response::redirect(int status, const QString &location)
{
    Response response;
    response.status = status;
    response.headers.append(qMakePair(QByteArray("Location"), location.toUtf8()));
    return response;
}

HttpServer::Response HttpServer::Response::encoded(
    const QByteArray &encoding, const QByteArray &head, qint64 fill, const QByteArray &tail)
{
    Response response = json(head + tail);
    response.headers.append(qMakePair(QByteArray("Content-Encoding"), encoding));
    if (encoding != "gzip" && encoding != "deflate")
        return response;
    z_stream stream {};
    // Run-length matches only: gigabytes of spaces compress in a blink.
    deflateInit2(&stream, 9, Z_DEFLATED, encoding == "gzip" ? 31 : 15, 9, Z_RLE);
    const QByteArray spaces(1024 * 1024, ' ');
    QByteArray out;
    char chunk[64 * 1024];
    const auto put = [&](const char *data, qint64 size, int flush) {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        stream.avail_in = uInt(size);
        do {
            stream.next_out = reinterpret_cast<Bytef *>(chunk);
            stream.avail_out = sizeof chunk;
            deflate(&stream, flush);
            out.append(chunk, int(sizeof chunk - stream.avail_out));
        } while (stream.avail_out == 0);
    };
    put(head.constData(), head.size(), Z_NO_FLUSH);
    for (qint64 left = fill; left > 0; left -= spaces.size())
        put(spaces.constData(), qMin<qint64>(left, spaces.size()), Z_NO_FLUSH);
    put(tail.constData(), tail.size(), Z_FINISH);
    deflateEnd(&stream);
    response.body = out;
    return response;
}

HttpServer::HttpServer()
{
    server = new QTcpServer;
    server->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, server, &QObject::deleteLater);
    thread.start();
    QMetaObject::invokeMethod(
        server,
        [this] {
            QObject::connect(server, &QTcpServer::newConnection, server, [this] {
                while (QTcpSocket *socket = server->nextPendingConnection())
                    accept(socket);
            });
            if (server->listen(QHostAddress::LocalHost, 0))
                serverPort = server->serverPort();
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
    return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort).arg(target);
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

// The handlers below run on the server's thread.

void HttpServer::accept(QTcpSocket *socket)
{
    auto *connection = new Connection(socket);
    connection->socket = socket;
    QObject::connect(socket, &QTcpSocket::readyRead, connection,
        [this, connection] { readRequest(connection); });
    QObject::connect(socket, &QTcpSocket::bytesWritten, connection, [this, connection](qint64 n) {
        {
            QMutexLocker locker(&mutex);
            sent[connection->target] += n;
        }
        if (connection->pumping)
            pump(connection);
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void HttpServer::readRequest(Connection *connection)
{
    connection->request += connection->socket->readAll();
    if (!connection->target.isNull() || !connection->request.contains("\r\n\r\n"))
        return;
    connection->target = QString::fromUtf8(connection->request.split(' ').value(1));
    Response notFound;
    notFound.status = 404;
    {
        QMutexLocker locker(&mutex);
        ++requests[connection->target];
        connection->response = responses.value(connection->target, notFound);
    }
    const Response &response = connection->response;
    if (response.behaviour == Response::StallBeforeHeaders)
        return;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status)
        + (response.status == 404 ? " Not Found\r\n" : " OK\r\n");
    if (response.contentLength != Response::NoLength) {
        const qint64 length = response.contentLength < 0 ? response.size() : response.contentLength;
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    for (const auto &header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    connection->socket->write(head + "Connection: close\r\n\r\n");
    if (response.behaviour == Response::StallAfterHeaders)
        return;
    if (response.trickleMs > 0) {
        auto *timer = new QTimer(connection);
        QObject::connect(
            timer, &QTimer::timeout, connection, [this, connection] { pump(connection); });
        timer->start(response.trickleMs);
        return;
    }
    connection->pumping = true;
    pump(connection);
}

// Writes only a little ahead of the peer, so that a huge body is made as fast as it is read.
void HttpServer::pump(Connection *connection)
{
    QTcpSocket *socket = connection->socket;
    const qint64 size = connection->response.size();
    const qint64 chunk = connection->pumping ? 64 * 1024 : 1;
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    do {
        const qint64 count = qMin(chunk, size - connection->offset);
        socket->write(bodyPart(connection->response, connection->offset, count));
        connection->offset += count;
    } while (chunk > 1 && connection->offset < size && socket->bytesToWrite() < 4 * chunk);
    if (connection->offset == size)
        socket->disconnectFromHost();
}
