#ifndef HTTPSERVER_H
#define HTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QThread>

class QTcpServer;
class QTcpSocket;

// A loopback HTTP/1.1 server for tests. It runs on a thread of its own, so that a client
// blocking the test thread is still served. Each connection carries one request and is
// closed after the answer; requests are keyed by their target as sent ("/path", or the
// absolute URL when the client talks to it as a proxy). Unknown targets get 404.
class HttpServer
{
public:
    struct Response
    {
        enum Behaviour {
            Answer,
            StallBeforeHeaders, // read the request, never answer
            StallAfterHeaders, // send the headers, then nothing
            Hold, // answer only on release()
        };
        static constexpr qint64 ActualLength = -1;
        static constexpr qint64 NoLength = -2; // the close ends the body

        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        // The body is `body`, then fillSize copies of fillByte, then `tail`. The filler is
        // made as the socket drains, so huge bodies are never held.
        QByteArray body;
        qint64 fillSize = 0;
        char fillByte = ' ';
        QByteArray tail;
        // Declared Content-Length. Larger than the body: the connection closes mid-body.
        qint64 contentLength = ActualLength;
        Behaviour behaviour = Answer;
        int trickleMs = 0; // > 0: one body byte per interval

        qint64 size() const { return body.size() + fillSize + tail.size(); }
        static Response json(const QByteArray &body, int status = 200);
        static Response redirect(int status, const QString &location);
    };

    HttpServer();
    ~HttpServer();

    quint16 port() const { return serverPort; }
    QString url(const QString &target) const;
    void setResponse(const QString &target, const Response &response);
    int requestCount(const QString &target) const;
    qint64 bytesSent(const QString &target) const; // headers included
    int openConnections() const;
    void dropConnections(); // aborts every open connection, stalled ones included
    void release(const QString &target); // answers the held requests for target

private:
    struct Connection;
    void accept(QTcpSocket *socket);
    void readRequest(Connection *connection);
    void respond(Connection *connection);
    void pump(Connection *connection);

    QThread thread;
    QTcpServer *server = nullptr;
    quint16 serverPort = 0;
    mutable QMutex mutex;
    QHash<QString, Response> responses;
    QHash<QString, int> requests;
    QHash<QString, qint64> sent;
    int open = 0;
    QList<QPointer<Connection>> held; // used on the server's thread only
};

#endif // HTTPSERVER_H
