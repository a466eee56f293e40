#include "httpserver.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr qint64 chunkSize = 64 * 1024;
constexpr qint64 writeAhead = 256 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    }
    return "Status";
}

// Bytes [offset, offset + count) of the response body.
QByteArray bodyPart(const HttpServer::Response &response, qint64 offset, qint64 count)
{
    QByteArray part;
    part.reserve(int(count));
    const qint64 end = offset + count;
    const qint64 fillStart = response.body.size();
    const qint64 tailStart = fillStart + response.fillSize;
    if (offset < fillStart)
        part += response.body.mid(int(offset), int(qMin(end, fillStart) - offset));
    if (end > fillStart && offset < tailStart)
        part += QByteArray(int(qMin(end, tailStart) - qMax(offset, fillStart)), response.fillByte);
    if (end > tailStart)
        part += response.tail.mid(
            int(qMax(offset, tailStart) - tailStart), int(end - qMax(offset, tailStart)));
    return part;
}

} // namespace

struct HttpServer::Connection : QObject
{
    explicit Connection(QTcpSocket *socket)
        : QObject(socket)
        , socket(socket)
    {
    }
    QTcpSocket *socket;
    QByteArray request;
    QString target;
    Response response;
    qint64 offset = 0;
    bool answered = false;
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

int HttpServer::openConnections() const
{
    QMutexLocker locker(&mutex);
    return open;
}

void HttpServer::dropConnections()
{
    QMetaObject::invokeMethod(
        server,
        [this] {
            for (QTcpSocket *socket : server->findChildren<QTcpSocket *>())
                socket->abort();
        },
        Qt::BlockingQueuedConnection);
}

void HttpServer::release(const QString &target)
{
    QMetaObject::invokeMethod(
        server,
        [this, target] {
            const QList<QPointer<Connection>> waiting = std::exchange(held, {});
            for (const QPointer<Connection> &connection : waiting) {
                if (connection && connection->target == target)
                    respond(connection);
                else if (connection)
                    held.append(connection);
            }
        },
        Qt::BlockingQueuedConnection);
}

// The handlers below run on the server's thread.

void HttpServer::accept(QTcpSocket *socket)
{
    auto *connection = new Connection(socket);
    {
        QMutexLocker locker(&mutex);
        ++open;
    }
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
    QObject::connect(socket, &QTcpSocket::disconnected, server, [this, socket] {
        {
            QMutexLocker locker(&mutex);
            --open;
        }
        socket->deleteLater();
    });
}

void HttpServer::readRequest(Connection *connection)
{
    connection->request += connection->socket->readAll();
    const int end = connection->request.indexOf("\r\n\r\n");
    if (connection->answered || end < 0)
        return;
    connection->answered = true;
    const QList<QByteArray> requestLine =
        connection->request.left(connection->request.indexOf("\r\n")).split(' ');
    connection->target = QString::fromUtf8(requestLine.value(1));
    {
        QMutexLocker locker(&mutex);
        ++requests[connection->target];
        Response notFound;
        notFound.status = 404;
        connection->response = responses.value(connection->target, notFound);
    }
    if (connection->response.behaviour == Response::Hold)
        held.append(connection);
    else if (connection->response.behaviour != Response::StallBeforeHeaders)
        respond(connection);
}

void HttpServer::respond(Connection *connection)
{
    const Response &response = connection->response;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + reasonPhrase(response.status) + "\r\n";
    if (response.contentLength != Response::NoLength) {
        const qint64 length = response.contentLength == Response::ActualLength
            ? response.size()
            : response.contentLength;
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    for (const auto &header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    head += "Connection: close\r\n\r\n";
    connection->socket->write(head);
    if (response.behaviour == Response::StallAfterHeaders)
        return;

    if (response.trickleMs > 0) {
        auto *timer = new QTimer(connection);
        QObject::connect(timer, &QTimer::timeout, connection, [connection, timer] {
            if (connection->offset < connection->response.size())
                connection->socket->write(bodyPart(connection->response, connection->offset++, 1));
            if (connection->offset == connection->response.size()) {
                timer->stop();
                connection->socket->disconnectFromHost();
            }
        });
        timer->start(response.trickleMs);
        return;
    }
    connection->pumping = true;
    pump(connection);
}

// Writes ahead only a little, so that a huge body is made as fast as the peer reads it.
void HttpServer::pump(Connection *connection)
{
    QTcpSocket *socket = connection->socket;
    const qint64 size = connection->response.size();
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    while (connection->offset < size && socket->bytesToWrite() < writeAhead) {
        const qint64 count = qMin(chunkSize, size - connection->offset);
        socket->write(bodyPart(connection->response, connection->offset, count));
        connection->offset += count;
    }
    if (connection->offset == size)
        socket->disconnectFromHost();
}
