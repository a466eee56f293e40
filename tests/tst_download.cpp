#include "download/download_p.h"
#include "downloadjson.h"
#include "httpserver.h"
#include "messagelog.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

Q_DECLARE_METATYPE(HttpServer::Response)

namespace {

constexpr qint64 cap = 64 * 1024 * 1024;

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
    QTest::addColumn<int>("limitMs"); // the whole-transfer limit; -1: the default
    QTest::addColumn<QStringList>("warnings"); // %1: the address
    QTest::addColumn<QByteArray>("json"); // the expected document; empty: null
    QTest::addColumn<QString>("rules"); // logging filter rules, as a host would set them

    using R = HttpServer::Response;
    const auto row = [](const char *name, const QString &address, const R &response,
                         const QString &warning, const QByteArray &json = QByteArray(),
                         int timeoutMs = -1, int limitMs = -1, const QString &rules = {}) {
        QTest::newRow(name) << address << response << timeoutMs << limitMs
                            << (warning.isEmpty() ? QStringList() : QStringList { warning }) << json
                            << rules;
    };
    const QString invalid = "Cannot download from  \"%1\"  - invalid address";
    const QString canceled = namError("Operation canceled");
    const QString tooLarge = "Cannot download from  \"%1\"  - manifest larger than 64 MiB";
    const QString undecodable = "Cannot download from  \"%1\"  - cannot decode its \"%2\" body";
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
    R closesMidBody = R::json(manifest);
    closesMidBody.contentLength = manifest.size() + 100;
    R shortLength = R::json(manifest);
    shortLength.contentLength = manifest.size() - 5;
    R chunked = R::json("zz\r\n{}\r\n0\r\n\r\n");
    chunked.contentLength = R::NoLength;
    chunked.headers.append(qMakePair(QByteArray("Transfer-Encoding"), QByteArray("chunked")));
    // Never silent for long, so only the whole-transfer limit ends it.
    R trickle = R::json("[1, 2]");
    trickle.trickleMs = 100;
    const QByteArray deep = QByteArray(50000, '[') + QByteArray(50000, ']');
    QTcpServer closed;
    if (!closed.listen(QHostAddress::LocalHost))
        qFatal("cannot find a free port");
    const QString refused = QString("http://127.0.0.1:%1/Versions.json").arg(closed.serverPort());
    closed.close();

    row("empty address", "", R(), invalid);
    row("invalid host", "http://bad host/Versions.json", R(), invalid);
    row("warnings filtered out", "http://bad host/Versions.json", R(), "", {}, -1, -1,
        "mzupdater.warning=false");
    row("refused connection", refused, R(), namError("Connection refused"));
    row("404 with JSON body", "/missing", R::json("[1]", 404),
        namError("Error transferring %1 - server replied: Not Found"));
    row("not JSON", "/broken", R::json("{\"name\": }"), notJson("{\"name\": }"));
    row("HTML page", "/html", R::json("\n<!DOCTYPE html><html></html>"),
        notJson("\n<!DOCTYPE html><html></html>") + " (the body looks like HTML)");
    // Qt's parser refuses nesting past its limit: a null document, not a crash.
    row("deep nesting", "/deep", R::json(deep), notJson(deep));
    row("304 with Content-Length", "/304", notModified, notJson(""));
    row("array root", "/array", R::json("[1, \"two\"]"), "", "[1, \"two\"]");
    row("301 not followed", "/301", redirect,
        "Cannot download from  \"%1\"  - redirected (HTTP 301 ) to \"" + server.url("/target")
            + "\" - redirects are not followed");
    row("closes mid-body", "/cut-body", closesMidBody, namError("Connection closed"));
    row("Content-Length short", "/short", shortLength, notJson(manifest.left(manifest.size() - 5)));
    row("malformed chunked body", "/chunked", chunked, notJson(QByteArray()));
    row("gzip", "/gzip", R::encoded("gzip", manifest), "", manifest);
    row("deflate", "/deflate", R::encoded("deflate", manifest), "", manifest);
    row("gzip cut short", "/cut", truncatedGzip, undecodable.arg("%1", "gzip"));
    row("encoding not asked for", "/br", R::encoded("br", manifest), undecodable.arg("%1", "br"));
    row("no answer", "/stall", stall, canceled, {}, 300);
    row("gap longer than timeout", "/slow", slow, canceled, {}, 300);
    row("steady trickle", "/steady", steady, "", "[1,2,3,4,5,6,7,8]", 300);
    row("timeout 0 waits", "/slow0", slow, "", "[]", 0);
    row("past the whole-transfer limit", "/limit", trickle,
        "Cannot download from  \"%1\"  - not finished within 0 s", {}, 5000, 400);
    row("exactly 64 MiB", "/cap", spaces(cap, false, R::Answer), "", "[]");
    row("one byte over", "/over", spaces(cap + 1, false, R::Answer), tooLarge);
    // Only the header tells the size: refusing must not wait for the body.
    row("1 GiB declared, not sent", "/declared", spaces(16 * cap, true, R::StallAfterHeaders),
        tooLarge, {}, 2000);
    row("1 GiB streamed", "/streamed", spaces(16 * cap, false, R::Answer), tooLarge);
    row("gzip decoding to 64 MiB + 1", "/bomb", R::encoded("gzip", "[", cap - 1, "]"), tooLarge);
}

void tst_Download::download()
{
    QFETCH(QString, address);
    QFETCH(HttpServer::Response, response);
    QFETCH(int, timeoutMs);
    QFETCH(int, limitMs);
    QFETCH(QStringList, warnings);
    QFETCH(QByteArray, json);
    QFETCH(QString, rules);

    const bool onServer = address.startsWith(QLatin1Char('/'));
    const QString url = onServer ? server.url(address) : address;
    server.setResponse(address, response);
    QElapsedTimer clock;
    clock.start();
    MessageLog log;
    QLoggingCategory::setFilterRules(rules);
    const int defaultLimit = MZU::Internal::transferLimitMs;
    if (limitMs >= 0)
        MZU::Internal::transferLimitMs = limitMs;
    const QJsonDocument document = timeoutMs < 0 ? downloadJSon(url) : downloadJSon(url, timeoutMs);
    MZU::Internal::transferLimitMs = defaultLimit;
    QLoggingCategory::setFilterRules(QString());
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
