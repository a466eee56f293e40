// SPDX-License-Identifier: MIT
#include "download/download_p.h"
#include "download/signature_p.h"
#include "downloadjson.h"
#include "httpserver.h"
#include "messagelog.h"
#include "mzu.h"
#include "peakmemory.h"

#include <QElapsedTimer>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>

namespace {

constexpr qint64 cap = 4 * 1024 * 1024;

// A JSON array of exactly `size` bytes.
HttpServer::Response spaces(qint64 size, bool declared = false)
{
    return { 200, {}, "[]", size - 2, declared ? -1 : HttpServer::Response::NoLength };
}

QByteArray read(const QString &name) // in the signature folder
{
    QFile file(MZUPDATER_TEST_DATA "/signature/" + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

QString key(const QString &name)
{
    return QString::fromLatin1(read(name).split('\n').value(1));
}

// Presents a self-signed certificate; served by the download's own event loop.
class TlsServer : public QTcpServer
{
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setLocalCertificate(QSslCertificate(read("../selfsigned.crt")));
        socket->setPrivateKey(QSslKey(read("../selfsigned.key"), QSsl::Rsa));
        socket->setSocketDescriptor(descriptor);
        socket->startServerEncryption();
    }
};

} // namespace

class tst_Download : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(tls.listen(QHostAddress::LocalHost));
        MZU::Internal::nowOverride = 1769904000; // 2026-02-01T00:00:00Z
    }
    void cleanup() { MZU::setTrustedKeys({}); }
    void download_data();
    void download();
    void filtered();

private:
    HttpServer server;
    TlsServer tls;
};

void tst_Download::download_data()
{
    QTest::addColumn<QString>("address"); // a path on the server, or an address as is
    QTest::addColumn<HttpServer::Response>("response");
    QTest::addColumn<QStringList>("keys"); // trusted: the signature beside it is fetched
    QTest::addColumn<HttpServer::Response>("signature");
    QTest::addColumn<QStringList>("warnings"); // %1: the address; "...": any end
    QTest::addColumn<QByteArray>("json"); // the expected document; empty: null
    QTest::addColumn<int>("timeoutMs"); // -1: the default
    QTest::addColumn<int>("limitMs"); // the whole-transfer limit; -1: the default
    QTest::addColumn<int>("exitAfterMs"); // > 0: QCoreApplication::exit() then

    using R = HttpServer::Response;
    const auto row = [](const char *name, const QString &address, const R &response,
                         const QStringList &warnings, const QByteArray &json = QByteArray(),
                         int timeoutMs = -1, int limitMs = -1, int exitAfterMs = 0) {
        QTest::newRow(name) << address << response << QStringList() << R() << warnings << json
                            << timeoutMs << limitMs << exitAfterMs;
    };
    // Made by minisign: keys a and b, Versions.json signed with key a as Versions.json.minisig
    // (prehashed) and Versions.json.legacy.minisig, and other.json.minisig, of another file.
    const QByteArray signedManifest = read("Versions.json");
    const QString untrusted = "key not trusted: signed with key 4C16C38D60606C39, which is not "
                              "trusted";
    // "refused": the last key is refused, and key b, trusted before, stays.
    const auto signedRow = [&](const char *name, const QByteArray &body, const R &signature,
                               const QStringList &keys, const QString &cause) {
        const QString why = cause == "refused" ? untrusted : cause;
        QStringList warnings { "Refusing the manifest from %1 - " + why };
        if (cause == "refused")
            warnings.prepend("Trusted key \"" + keys.last()
                + "\" refused - not a minisign public key (the base64 line of minisign.pub); the "
                  "trusted keys are unchanged");
        // The query stays on both addresses.
        static int count = 0;
        QTest::newRow(name) << QStringLiteral("/%1/Versions.json?channel=beta").arg(++count)
                            << R::json(body) << keys << signature
                            << (why.isEmpty() ? QStringList() : warnings)
                            << (why.isEmpty() ? body : QByteArray()) << -1 << -1 << 0;
    };
    const QString from = "Cannot download from %1 - ";
    const QStringList canceled { namError("Operation canceled"),
        from + "canceled before it finished" };
    const QString tooLarge = from + "larger than 4 MiB";
    const QStringList cutOff { "?" + namError("Connection closed"),
        from + "cut off before the body ended" };
    // One body byte every `ms`, the first after one interval.
    const auto trickled = [](R response, int ms) { return response.trickleMs = ms, response; };
    const R redirect { 301, { { "Location", "/target" } }, "[\"moved\"]" };
    // These statuses have no body, whatever Content-Length says: not a cut connection.
    const R notModified { 304, {}, {}, 0, 120 };
    const QByteArray manifest = R"({"name": "Versions.json", "apps": []})";
    R truncatedGzip = R::encoded("gzip", manifest);
    truncatedGzip.body.chop(12);
    const R closesMidBody { 200, {}, manifest, 0, manifest.size() + 100 };
    // Never silent for long, so only the whole-transfer limit ends it.
    const R trickle = trickled(R::json("[1, 2]"), 100);

    row("invalid host", "http://bad host/Versions.json", R(),
        { "Cannot download from  \"%1\"  - invalid address", from + "not a valid address" });
    row("connection refused", "http://127.0.0.1:1/Versions.json", R(),
        { namError("Connection refused"), from + "connection refused" });
    // No bypass: what Qt knows of the certificate comes first, as its error alone says little.
    row("self-signed certificate", QString("https://127.0.0.1:%1/V.json").arg(tls.serverPort()),
        R(),
        { "(MZUpdater JSON) NAM error  \"SSL handshake failed...",
            from + "certificate problem: ..." });
    // Without a length, only a body whose JSON stops at its end passes for a cut one.
    row("not JSON", "/broken", { 200, {}, "{\"name\": }", 0, R::NoLength },
        { notJson("{\"name\": }") });
    // Qt sometimes takes the close for the end of a chunked body, and sometimes says it was
    // closed ("?": a line that may be missing); either way the body is cut. A body without a
    // length and closed at once is no error to Qt: only the reason may say so.
    const QByteArray chunked = "Transfer-Encoding";
    row("chunk of 2^63-1 bytes, then the close", "/chunk",
        { 200, { { chunked, "chunked" } }, "7fffffffffffffff\r\n" + manifest + "\r\n0\r\n\r\n", 0,
            R::NoLength },
        { cutOff.first(), cutOff.last() + "..." });
    row("no length, no body", "/nobody", { 200, {}, {}, 0, R::NoLength },
        { cutOff.last() + "..." });
    row("204", "/204", { 204, {}, {}, 0, R::NoLength },
        { from + "answered HTTP 204: the body is empty" });
    // Neither a password nor a server's control characters reach a reason.
    const QString secret = server.url("/secret").replace("//", "//user:s3cret@");
    row("credentials and control characters", secret,
        { 200, { { "Content-Encoding", "br\x1b[31m\x07" } }, manifest },
        { QString(from).replace("%1", QString(secret).replace("s3cret", "***"))
            + "cannot decode its br\\u001b[31m\\u0007 body" });
    row("HTML page", "/html", R::json("\n<!DOCTYPE html><html></html>"),
        { notJson("\n<!DOCTYPE html><html></html>") + "; the body looks like HTML" });
    const QByteArray utf16("\xff\xfe{\0}\0", 6);
    row("UTF-16", "/utf16", R::json(utf16),
        { notJson(utf16) + "; the body is UTF-16; manifests are UTF-8" });
    row("304 with Content-Length", "/304", notModified,
        { "Cannot read %1 - not JSON: the body is empty" });
    // No phrase after the status, as over HTTP/2.
    row("301 not followed", "/301", redirect,
        { from + "redirected (HTTP 301) to " + server.url("/target")
            + "; redirects are not followed" });
    row("302 without Location", "/302", R::json(manifest, 302),
        { from + "answered HTTP 302 without a Location" });
    row("closes mid-body", "/cut-body", closesMidBody, cutOff);
    row("deflate", "/deflate", R::encoded("deflate", manifest), {}, manifest);
    row("gzip cut short", "/cut", truncatedGzip, { from + "cannot decode its gzip body" });
    row("encoding not asked for", "/br", R::encoded("br", manifest),
        { from + "cannot decode its br body" });
    row("no answer", "/stall", { 200, {}, {}, 0, -1, true },
        { namError("Operation canceled"), from + "no data for 300 ms" }, {}, 300);
    // 17 bytes 40 ms apart: longer in total than the timeout, never silent for that long.
    row("steady trickle", "/steady", trickled(R::json("[1,2,3,4,5,6,7,8]"), 40), {},
        "[1,2,3,4,5,6,7,8]", 300);
    row("timeout 0 waits", "/slow0", trickled(R::json("[]"), 400), {}, "[]", 0);
    row("past the whole-transfer limit", "/limit", trickle, { from + "not finished within 400 ms" },
        {}, 5000, 400);
    row("exactly 4 MiB", "/cap", spaces(cap), {}, "[]");
    row("one byte over", "/over", spaces(cap + 1), { tooLarge });
    // Only the header tells the size: refusing must not wait for the body.
    row("1 GiB declared, not sent", "/declared", trickled(spaces(256 * cap, true), 60000),
        { tooLarge }, {}, 2000);
    row("1 GiB streamed", "/streamed", spaces(256 * cap), { tooLarge });
    row("gzip decoding to 4 MiB + 1", "/bomb", R::encoded("gzip", "[]", cap - 1), { tooLarge });
    // Refused as the decoded bytes pass the cap, not once all are in.
    row("gzip decoding to 256 MiB", "/bigbomb", R::encoded("gzip", "[]", 64 * cap), { tooLarge });
    const R prehashed = R::json(read("Versions.json.minisig"));
    const QString a = key("a.pub");
    const QString b = key("b.pub");
    QByteArray flipped = signedManifest;
    flipped[flipped.indexOf("1.2.0")] = '2';
    R comment = prehashed;
    comment.body.replace("release 1.2.0", "release 1.2.1");
    R oversized = prehashed;
    oversized.fillSize = 64 * 1024 + 1 - oversized.body.size();
    signedRow("prehashed", signedManifest, prehashed, { a }, "");
    signedRow("legacy", signedManifest, R::json(read("Versions.json.legacy.minisig")), { a }, "");
    signedRow("second of two keys, padded", signedManifest, prehashed, { " " + b + "\n", a }, "");
    const QString junk = a.left(20) + "%" + a.mid(20);
    const QString notEd =
        QString::fromLatin1(("ED" + QByteArray::fromBase64(a.toLatin1()).mid(2)).toBase64());
    const QString signatureLine = QString::fromLatin1(prehashed.body.split('\n').value(1));
    signedRow("key with a stray character", flipped, prehashed, { a, junk }, "refused");
    signedRow("key not Ed", flipped, prehashed, { notEd }, "refused");
    signedRow("signature line as key", flipped, prehashed, { signatureLine }, "refused");
    // minisign's comment drops leading zeros; the library prints all 16 digits.
    signedRow("manifest byte", flipped, prehashed, { a },
        "signature does not match (key 4C16C38D60606C39)");
    signedRow("trusted comment", signedManifest, comment, { a },
        "signature does not match: the trusted comment was altered");
    signedRow(
        "signature missing", signedManifest, R::json("", 404), { a }, "signature missing: ...");
    signedRow("signature redirected", signedManifest, redirect, { a }, "signature unreadable: ...");
    signedRow(
        "signature of 64 KiB + 1", signedManifest, oversized, { a }, "signature unreadable: ...");
    signedRow("signature garbage", signedManifest, R::json("<html>\n\n\n</html>\n"), { a },
        "signature malformed: not a minisign signature file");
    // Key c's, with an expires= in the trusted comment (README.md there).
    const QString c = key("c.pub");
    const auto expiring = [](const char *name) {
        return R::json(read(QStringLiteral("Versions.json.%1.minisig").arg(name)));
    };
    R backdated = expiring("future");
    backdated.body.replace("2099-12-31", "2025-12-31");
    signedRow("expired a day and a second ago", signedManifest, expiring("expired"), { c },
        "signature expired on 2026-01-30T23:59:59Z (this machine's clock says "
        "2026-02-01T00:00:00Z)");
    signedRow("expired a day ago, the skew", signedManifest, expiring("skew"), { c }, "");
    signedRow("the earlier of two expiries", signedManifest, expiring("twice"), { c },
        "signature expired on 2026-01-30T23:59:59Z (this machine's clock says "
        "2026-02-01T00:00:00Z)");
    signedRow("no expires= token", signedManifest, expiring("prose"), { c }, "");
    signedRow("expiry of an impossible date", signedManifest, expiring("baddate"), { c },
        "signature's expiry \"2026-02-30T00:00:00Z\" is not a date of the form "
        "YYYY-MM-DDTHH:MM:SSZ");
    signedRow("expiry with an offset", signedManifest, expiring("badform"), { c },
        "signature's expiry \"2026-01-31T00:00:00+01:00\" is not a date of the form "
        "YYYY-MM-DDTHH:MM:SSZ");
    // Only a verified trusted comment is read.
    signedRow("expiry backdated", signedManifest, backdated, { c },
        "signature does not match: the trusted comment was altered");
    // Last: exit() also ends every later event loop of this thread. It ends ours too, and
    // the partial body must be reported, not parsed as if whole.
    row("application exits", "/exit", trickle, canceled, {}, -1, -1, 300);
}

void tst_Download::download()
{
    QFETCH(QString, address);
    QFETCH(HttpServer::Response, response);
    QFETCH(QStringList, keys);
    QFETCH(HttpServer::Response, signature);
    QFETCH(QStringList, warnings);
    QFETCH(QByteArray, json);
    QFETCH(int, timeoutMs);
    QFETCH(int, limitMs);
    QFETCH(int, exitAfterMs);

    if (address.startsWith("https") && !QSslSocket::supportsSsl())
        QSKIP("Qt was built or runs without TLS support");
    const QString url = address.startsWith(QLatin1Char('/')) ? server.url(address) : address;
    if (!address.startsWith(QLatin1Char('/'))) // the target as the server sees it
        address =
            QString::fromLatin1(QUrl(url).toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority));
    const QString signatureTarget =
        address.contains('?') ? QString(address).replace("?", ".minisig?") : address + ".minisig";
    server.setResponse(address, response);
    server.setResponse(signatureTarget, signature);
    QVERIFY(MZU::setTrustedKeys({ key("b.pub") })); // replaced, unless the keys are refused
    MessageLog log;
    const bool accepted = MZU::setTrustedKeys(keys);
    const PeakMemory memory;
    if (exitAfterMs > 0)
        QTimer::singleShot(exitAfterMs, qApp, [] { QCoreApplication::exit(0); });
    QElapsedTimer clock;
    clock.start();
    const int defaultLimit = MZU::Internal::transferLimitMs;
    MZU::Internal::transferLimitMs = limitMs < 0 ? defaultLimit : limitMs;
    MZU::Internal::Downloaded downloaded;
    {
        MZU::Internal::Session session;
        downloaded = MZU::Internal::download(
            session, url, timeoutMs < 0 ? MZU::Internal::defaultTransferTimeoutMs : timeoutMs);
    }
    MZU::Internal::transferLimitMs = defaultLimit;
    const qint64 elapsed = clock.elapsed();

    warnings.replaceInStrings(QLatin1String("%1"), url);
    const QStringList logged = MessageLog::take();
    for (int i = 0; i < warnings.size(); ++i)
        if (warnings.at(i).startsWith('?') && logged.value(i) != warnings[i].remove(0, 1))
            warnings.removeAt(i--);
    QCOMPARE(cut(logged, warnings), warnings);
    QCOMPARE(downloaded.document, json.isEmpty() ? QJsonDocument() : QJsonDocument::fromJson(json));
    QCOMPARE(server.requestCount(signatureTarget), MZU::trustedKeys().isEmpty() ? 0 : 1);
    QCOMPARE(accepted, !warnings.value(0).startsWith("Trusted key"));
    QCOMPARE(MZU::trustedKeys(),
        accepted ? keys.replaceInStrings(QRegularExpression("\\s"), "")
                 : QStringList { key("b.pub") });
    // Nothing waits for the default timeouts; a timeout waits for what it says.
    QVERIFY2(elapsed < 10000
            && (!warnings.contains(namError("Operation canceled"))
                || elapsed >= timeoutMs * 9 / 10),
        qPrintable(QString::number(elapsed)));
    // Far below the 1 GiB stream, with room for what the buffers on the way hold.
    QVERIFY2(server.bytesSent(address) < 16 * cap,
        qPrintable(QString::number(server.bytesSent(address))));
    // A refusal holds not much more than the cap, however large the body is or decodes to.
    QVERIFY2(!json.isEmpty() || memory.grownKiB() < 100 * 1024,
        qPrintable(QString::number(memory.grownKiB())));
}

// A host silences the library by its logging category.
void tst_Download::filtered()
{
    QLoggingCategory::setFilterRules(QStringLiteral("mzupdater.warning=false"));
    MessageLog log;
    QVERIFY(downloadJSon(QStringLiteral("http://bad host/Versions.json")).isNull());
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(MessageLog::take(), QStringList());
}

QTEST_GUILESS_MAIN(tst_Download)
#include "tst_download.moc"
