// SPDX-License-Identifier: MIT
#ifndef HTTPSERVER_H
#define HTTPSERVER_H

#include <QtNetwork>

// A loopback HTTP/1.1 server on a thread of its own, so that a client blocking the test
// thread is still served. One request per connection, keyed by its target as sent ("/path",
// or the absolute URL when the client talks to it as a proxy). Unknown targets get 404.
// Given a certificate and its key (PEM), it speaks HTTPS instead.
class HttpServer
{
public:
    struct Response
    {
        static constexpr qint64 NoLength = -2; // the close ends the body

        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers {};
        // fillSize spaces, then `body`: made as the socket drains, never held whole.
        QByteArray body {};
        qint64 fillSize = 0;
        qint64 contentLength = -1; // -1: the real size; larger: closes mid-body
        bool silent = false; // no answer at all
        int trickleMs = 0; // > 0: one body byte per interval, the first after one

        qint64 size() const { return fillSize + body.size(); }
        static Response json(const QByteArray &body, int status = 200);
        // `fill` spaces and `body` compressed as @p encoding says ("gzip" or "deflate";
        // anything else is sent as is).
        static Response encoded(
            const QByteArray &encoding, const QByteArray &body, qint64 fill = 0);
    };

    explicit HttpServer(const QByteArray &certificate = {}, const QByteArray &key = {});
    ~HttpServer();

    QString url(const QString &target) const;
    void setResponse(const QString &target, const Response &response);
    int requestCount(const QString &target) const;
    qint64 bytesSent(const QString &target) const; // headers included

private:
    void serve(QTcpSocket *socket);

    QThread thread;
    QTcpServer *server = nullptr;
    bool tls = false;
    mutable QMutex mutex;
    QHash<QString, Response> responses;
    QHash<QString, int> requests;
    QHash<QString, qint64> sent;
};

Q_DECLARE_METATYPE(HttpServer::Response)

#endif // HTTPSERVER_H
