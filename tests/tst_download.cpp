#include "downloadjson.h"
#include "httpserver.h"
#include "messagelog.h"

#include <QElapsedTimer>
#include <QtTest>

#include <limits>

Q_DECLARE_METATYPE(HttpServer::Response)

namespace {

constexpr qint64 mebibyte = 1024 * 1024;
constexpr qint64 bodyLimit = 64 * mebibyte;

QString namError(const QString &text)
{
    return QStringLiteral("(MZUpdater JSON) NAM error  \"%1\"").arg(text);
}

// A server path per data row.
QString rowTarget(const char *prefix)
{
    return QLatin1String(prefix)
        + QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
}

// A JSON array of exactly `size` bytes, made as it is sent.
HttpServer::Response streamedArray(qint64 size, bool declareLength)
{
    HttpServer::Response response;
    response.body = "[";
    response.fillSize = size - 2;
    response.tail = "]";
    if (!declareLength)
        response.contentLength = HttpServer::Response::NoLength;
    return response;
}

} // namespace

class tst_Download : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void results_data();
    void results();
    void timeout_data();
    void timeout();
    void sizeLimit_data();
    void sizeLimit();

private:
    // Runs one download; pins the exact warning, or proves silence when `warning` is empty.
    void download(
        const QString &address, const QString &warning, int timeoutMs, QJsonDocument *document);

    HttpServer server;
};

void tst_Download::download(
    const QString &address, const QString &warning, int timeoutMs, QJsonDocument *document)
{
    const auto run = [&] {
        return timeoutMs < 0 ? downloadJSon(address) : downloadJSon(address, timeoutMs);
    };
    if (!warning.isEmpty()) {
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        *document = run();
        return;
    }
    MessageLog log;
    *document = run();
    QCOMPARE(MessageLog::take(), QStringList());
}

void tst_Download::results_data()
{
    QTest::addColumn<QString>("address"); // a path on the server, or an address as is
    QTest::addColumn<HttpServer::Response>("response");
    QTest::addColumn<QString>("warning"); // %1: the address
    QTest::addColumn<QByteArray>("json"); // the expected document; empty: null

    using R = HttpServer::Response;
    const QString invalid = QStringLiteral("Cannot download from  \"%1\"  - invalid address");
    const QString redirectTo = server.url(QStringLiteral("/target"));
    R truncated = R::json(R"({"name": "Versions.json"})");
    truncated.contentLength = 100;

    QTest::newRow("empty address") << QString() << R() << invalid << QByteArray();
    QTest::newRow("invalid host") << QStringLiteral("http://bad host/Versions.json") << R()
                                  << invalid << QByteArray();
    QTest::newRow("404") << QStringLiteral("/missing") << R::json("no such file", 404)
                         << namError("Error transferring %1 - server replied: Not Found")
                         << QByteArray();
    QTest::newRow("500 with JSON body")
        << QStringLiteral("/500") << R::json(R"({"name": "Versions.json"})", 500)
        << namError("Error transferring %1 - server replied: Internal Server Error")
        << QByteArray();
    QTest::newRow("closed mid-body") << QStringLiteral("/truncated") << truncated
                                     << namError("Connection closed") << QByteArray();
    QTest::newRow("not JSON") << QStringLiteral("/html") << R::json("<html></html>") << QString()
                              << QByteArray();
    QTest::newRow("empty body") << QStringLiteral("/empty") << R::json("") << QString()
                                << QByteArray();
    QTest::newRow("array root") << QStringLiteral("/array") << R::json("[1, \"two\"]") << QString()
                                << QByteArray("[1, \"two\"]");
    QTest::newRow("object root") << QStringLiteral("/object") << R::json(R"({"apps": []})")
                                 << QString() << QByteArray(R"({"apps": []})");
    QTest::newRow("301 not followed")
        << QStringLiteral("/301") << R::redirect(301, redirectTo) << QString() << QByteArray();
    QTest::newRow("302 not followed")
        << QStringLiteral("/302") << R::redirect(302, redirectTo) << QString() << QByteArray();
    R jsonRedirect = R::redirect(302, redirectTo);
    jsonRedirect.body = "[\"moved\"]";
    QTest::newRow("302 with JSON body")
        << QStringLiteral("/302json") << jsonRedirect << QString() << QByteArray("[\"moved\"]");
}

void tst_Download::results()
{
    QFETCH(QString, address);
    QFETCH(HttpServer::Response, response);
    QFETCH(QString, warning);
    QFETCH(QByteArray, json);

    const bool onServer = address.startsWith(QLatin1Char('/'));
    if (onServer)
        server.setResponse(address, response);
    const QString url = onServer ? server.url(address) : address;
    QJsonDocument document;
    download(url, QString(warning).replace(QLatin1String("%1"), url), -1, &document);
    if (QTest::currentTestFailed())
        return;
    if (json.isEmpty())
        QVERIFY(document.isNull());
    else
        QCOMPARE(document, QJsonDocument::fromJson(json));
    if (onServer)
        QCOMPARE(server.requestCount(address), 1);
    QCOMPARE(server.requestCount(QStringLiteral("/target")), 0);
}

void tst_Download::timeout_data()
{
    QTest::addColumn<HttpServer::Response>("response");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("completes");

    using R = HttpServer::Response;
    R stall;
    stall.behaviour = R::StallBeforeHeaders;
    R headersOnly = R::json("[1]");
    headersOnly.behaviour = R::StallAfterHeaders;
    // 17 bytes every 40 ms: longer in total than the timeout, never silent for that long.
    R steady = R::json("[1,2,3,4,5,6,7,8]");
    steady.trickleMs = 40;
    R slow = R::json("[]");
    slow.trickleMs = 600;
    R slowUnlimited = slow;
    slowUnlimited.trickleMs = 400;

    QTest::newRow("no answer") << stall << 300 << false;
    QTest::newRow("headers, then silence") << headersOnly << 300 << false;
    QTest::newRow("gap longer than timeout") << slow << 300 << false;
    QTest::newRow("steady trickle") << steady << 300 << true;
    QTest::newRow("timeout 0 waits") << slowUnlimited << 0 << true;
}

void tst_Download::timeout()
{
    QFETCH(HttpServer::Response, response);
    QFETCH(int, timeoutMs);
    QFETCH(bool, completes);

    const QString target = rowTarget("/timeout/");
    server.setResponse(target, response);
    QElapsedTimer clock;
    clock.start();
    QJsonDocument document;
    download(server.url(target), completes ? QString() : namError("Operation canceled"), timeoutMs,
        &document);
    const qint64 elapsed = clock.elapsed();
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(document.isNull(), !completes);
    if (completes) {
        QCOMPARE(document, QJsonDocument::fromJson(response.body));
    } else {
        QVERIFY2(elapsed >= timeoutMs * 9 / 10, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed)));
    }
}

void tst_Download::sizeLimit_data()
{
    QTest::addColumn<HttpServer::Response>("response");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<qint64>("maxSent"); // bound on what the server may send

    const qint64 huge = 1024 * mebibyte;
    const qint64 any = std::numeric_limits<qint64>::max();
    // Only the header tells the size: refusing it must not wait for the body.
    HttpServer::Response declaredOnly = streamedArray(huge, true);
    declaredOnly.behaviour = HttpServer::Response::StallAfterHeaders;

    QTest::newRow("exactly 64 MiB") << streamedArray(bodyLimit, false) << true << any;
    QTest::newRow("one byte over") << streamedArray(bodyLimit + 1, false) << false << any;
    QTest::newRow("one byte over, declared") << streamedArray(bodyLimit + 1, true) << false << any;
    QTest::newRow("1 GiB declared, not sent") << declaredOnly << false << any;
    // Far below the whole stream, with room for what the buffers on the way hold.
    QTest::newRow("1 GiB streamed") << streamedArray(huge, false) << false << 4 * bodyLimit;
}

void tst_Download::sizeLimit()
{
    QFETCH(HttpServer::Response, response);
    QFETCH(bool, accepted);
    QFETCH(qint64, maxSent);

    const QString target = rowTarget("/size/");
    server.setResponse(target, response);
    const QString address = server.url(target);
    const QString warning =
        QStringLiteral("Cannot download from  \"%1\"  - manifest larger than 64 MiB").arg(address);
    QJsonDocument document;
    download(address, accepted ? QString() : warning, 10000, &document);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(document.isNull(), !accepted);
    if (accepted)
        QCOMPARE(document.array().size(), 0);
    QTRY_COMPARE(server.openConnections(), 0);
    const qint64 sent = server.bytesSent(target);
    QVERIFY2(sent < maxSent, qPrintable(QString::number(sent)));
}

QTEST_GUILESS_MAIN(tst_Download)
#include "tst_download.moc"
