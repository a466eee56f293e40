#include "downloadjson.h"
#include "httpserver.h"
#include "messagelog.h"

#include <QElapsedTimer>
#include <QtTest>

Q_DECLARE_METATYPE(HttpServer::Response)

namespace {

constexpr qint64 cap = 64 * 1024 * 1024;

QString namError(const QString &text)
{
    return QStringLiteral("(MZUpdater JSON) NAM error  \"%1\"").arg(text);
}

// A JSON array of exactly `size` bytes.
HttpServer::Response spaces(qint64 size, bool declared, HttpServer::Response::Behaviour behaviour)
{
    HttpServer::Response response;
    response.body = "[";
    response.fillSize = size - 2;
    response.tail = "]";
    response.contentLength = declared ? -1 : HttpServer::Response::NoLength;
    response.behaviour = behaviour;
    return response;
}

} // namespace

class tst_Download : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void download_data();
    void download();

private:
    HttpServer server;
};

void tst_Download::download_data()
{
    QTest::addColumn<QString>("address"); // a path on the server, or an address as is
    QTest::addColumn<HttpServer::Response>("response");
    QTest::addColumn<int>("timeoutMs"); // -1: the default
    QTest::addColumn<QStringList>("warnings"); // %1: the address
    QTest::addColumn<QByteArray>("json"); // the expected document; empty: null

    using R = HttpServer::Response;
    const QStringList none;
    const QStringList invalid { "Cannot download from  \"%1\"  - invalid address" };
    const QStringList canceled { namError("Operation canceled") };
    const QStringList tooLarge { "Cannot download from  \"%1\"  - manifest larger than 64 MiB" };
    // Qt's own words and offset, which differ between Qt versions.
    const auto notJson = [](const QByteArray &body) {
        QJsonParseError error;
        QJsonDocument::fromJson(body, &error);
        return QStringLiteral("Cannot read  \"%1\"  - not JSON: \"") + error.errorString()
            + "\" at offset " + QString::number(error.offset);
    };
    R stall;
    stall.behaviour = R::StallBeforeHeaders;
    R slow = R::json("[]");
    slow.trickleMs = 400;
    // 17 bytes 40 ms apart: longer in total than the timeout, never silent for that long.
    R steady = R::json("[1,2,3,4,5,6,7,8]");
    steady.trickleMs = 40;
    R redirect = R::redirect(301, server.url("/target"));
    redirect.body = "[\"moved\"]";
    // These statuses have no body, whatever Content-Length says: not a cut connection.
    R notModified;
    notModified.status = 304;
    notModified.contentLength = 120;
    const QByteArray manifest = R"({"name": "Versions.json", "apps": []})";
    R truncatedGzip = R::encoded("gzip", manifest);
    truncatedGzip.body.chop(12);

    QTest::newRow("empty address") << "" << R() << -1 << invalid << QByteArray();
    QTest::newRow("invalid host") << "http://bad host/Versions.json" << R() << -1 << invalid
                                  << QByteArray();
    QTest::newRow("404 with JSON body")
        << "/missing" << R::json("[1]", 404) << -1
        << QStringList { namError("Error transferring %1 - server replied: Not Found") }
        << QByteArray();
    QTest::newRow("not JSON") << "/broken" << R::json("{\"name\": }") << -1
                              << QStringList { notJson("{\"name\": }") } << QByteArray();
    QTest::newRow("HTML page") << "/html" << R::json("\n<!DOCTYPE html><html></html>") << -1
                               << QStringList { notJson("\n<!DOCTYPE html><html></html>")
                                      + " (the body looks like HTML)" }
                               << QByteArray();
    QTest::newRow("304 with Content-Length")
        << "/304" << notModified << -1 << QStringList { notJson("") } << QByteArray();
    QTest::newRow("array root") << "/array" << R::json("[1, \"two\"]") << -1 << none
                                << QByteArray("[1, \"two\"]");
    QTest::newRow("301 not followed")
        << "/301" << redirect << -1
        << QStringList { "Cannot download from  \"%1\"  - redirected (HTTP 301 ) to \""
               + server.url("/target") + "\" - redirects are not followed" }
        << QByteArray();
    QTest::newRow("gzip") << "/gzip" << R::encoded("gzip", manifest) << -1 << none << manifest;
    QTest::newRow("deflate") << "/deflate" << R::encoded("deflate", manifest) << -1 << none
                             << manifest;
    QTest::newRow("gzip cut short")
        << "/cut" << truncatedGzip << -1
        << QStringList { "Cannot download from  \"%1\"  - cannot decode its \"gzip\" body" }
        << QByteArray();
    QTest::newRow("encoding not asked for")
        << "/br" << R::encoded("br", manifest) << -1
        << QStringList { "Cannot download from  \"%1\"  - cannot decode its \"br\" body" }
        << QByteArray();
    QTest::newRow("no answer") << "/stall" << stall << 300 << canceled << QByteArray();
    QTest::newRow("gap longer than timeout") << "/slow" << slow << 300 << canceled << QByteArray();
    QTest::newRow("steady trickle")
        << "/steady" << steady << 300 << none << QByteArray("[1,2,3,4,5,6,7,8]");
    QTest::newRow("timeout 0 waits") << "/slow0" << slow << 0 << none << QByteArray("[]");
    QTest::newRow("exactly 64 MiB")
        << "/cap" << spaces(cap, false, R::Answer) << -1 << none << QByteArray("[]");
    QTest::newRow("one byte over")
        << "/over" << spaces(cap + 1, false, R::Answer) << -1 << tooLarge << QByteArray();
    // Only the header tells the size: refusing must not wait for the body.
    QTest::newRow("1 GiB declared, not sent")
        << "/declared" << spaces(16 * cap, true, R::StallAfterHeaders) << 2000 << tooLarge
        << QByteArray();
    QTest::newRow("1 GiB streamed")
        << "/streamed" << spaces(16 * cap, false, R::Answer) << -1 << tooLarge << QByteArray();
    QTest::newRow("gzip decoding to 64 MiB + 1")
        << "/bomb" << R::encoded("gzip", "[", cap - 1, "]") << -1 << tooLarge << QByteArray();
}

void tst_Download::download()
{
    QFETCH(QString, address);
    QFETCH(HttpServer::Response, response);
    QFETCH(int, timeoutMs);
    QFETCH(QStringList, warnings);
    QFETCH(QByteArray, json);

    const bool onServer = address.startsWith(QLatin1Char('/'));
    const QString url = onServer ? server.url(address) : address;
    server.setResponse(address, response);
    QElapsedTimer clock;
    clock.start();
    MessageLog log;
    const QJsonDocument document = timeoutMs < 0 ? downloadJSon(url) : downloadJSon(url, timeoutMs);
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(MessageLog::take(), warnings.replaceInStrings(QLatin1String("%1"), url));
    QCOMPARE(document, json.isEmpty() ? QJsonDocument() : QJsonDocument::fromJson(json));
    QCOMPARE(server.requestCount(address), onServer ? 1 : 0);
    QCOMPARE(server.requestCount("/target"), 0);
    if (warnings.contains(namError("Operation canceled")))
        QVERIFY2(
            elapsed >= timeoutMs * 9 / 10 && elapsed < 5000, qPrintable(QString::number(elapsed)));
    // Far below the 1 GiB stream, with room for what the buffers on the way hold.
    QVERIFY2(server.bytesSent(address) < 4 * cap,
        qPrintable(QString::number(server.bytesSent(address))));
}

QTEST_GUILESS_MAIN(tst_Download)
#include "tst_download.moc"
