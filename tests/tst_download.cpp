// SPDX-License-Identifier: MIT
#include "download/download_p.h"
#include "download/signature_p.h"
#include "downloadjson.h"
#include "httpserver.h"
#include "messagelog.h"
#include "minisign.h"
#include "mzu.h"
#include "peakmemory.h"

#include <QCryptographicHash>
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
        // The sequences accepted go to a settings file of the tests' own.
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("mzupdater-tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_download"));
        QSettings().remove(QStringLiteral("mzupdater"));
    }
    void cleanupTestCase() { QSettings().remove(QStringLiteral("mzupdater")); }
    void cleanup() { QVERIFY(MZU::setTrustedKeys({})); }
    void signer();
    void refusedKeys();
    void sequences_data();
    void sequences();
    // Last but for filtered(), which downloads nothing: its last row ends the event loops.
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
    // "refused": the last key is refused, and with it every manifest, unfetched, even one
    // that key a (of the list) or key b (trusted before) signed.
    const auto signedRow = [&](const char *name, const QByteArray &body, const R &signature,
                               const QStringList &keys, const QString &cause) {
        const QString notKey = "not a minisign public key (the base64 line of minisign.pub)";
        const QString why = cause == "refused"
            ? "the trusted key \"" + keys.last() + "\" was refused (" + notKey
                + "), so no manifest is accepted until setTrustedKeys() succeeds"
            : cause;
        QStringList warnings { "Refusing the manifest from %1 - " + why };
        if (cause == "refused")
            warnings.prepend("Trusted key \"" + keys.last() + "\" refused - " + notKey
                + "; every manifest is refused until setTrustedKeys() succeeds");
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
    signedRow("key with a stray character", signedManifest, prehashed, { a, junk }, "refused");
    signedRow("key not Ed", signedManifest, prehashed, { notEd }, "refused");
    signedRow("signature line as key", signedManifest, prehashed, { signatureLine }, "refused");
    signedRow("key not trusted", signedManifest, prehashed, { b }, untrusted);
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
    // Fail-closed: any "expires" that is not exactly the token refuses, never "no expiry".
    signedRow("expires in prose", signedManifest, expiring("prose"), { c },
        "signature's expiry \"expires\" is not a token of the form "
        "expires=YYYY-MM-DDTHH:MM:SSZ");
    const auto signedWith = [&](const QByteArray &comment) {
        return R::json(minisign(signedManifest, comment));
    };
    const auto misspelt = [](const QString &word) {
        return "signature's expiry \"" + word
            + "\" is not a token of the form expires=YYYY-MM-DDTHH:MM:SSZ";
    };
    signedRow("no expires token", signedManifest, signedWith("release 1.2.0"), { c }, "");
    signedRow("expiry after a no-break space", signedManifest,
        signedWith("release x\u00a0expires=2000-01-01T00:00:00Z"), { c },
        misspelt("x\u00a0expires=2000-01-01T00:00:00Z"));
    signedRow("expiry in capitals", signedManifest, signedWith("Expires=2099-12-31T23:59:59Z"),
        { c }, misspelt("Expires=2099-12-31T23:59:59Z"));
    signedRow("expiry with spaces around =", signedManifest,
        signedWith("release 1.2.0 expires = 2099-12-31T23:59:59Z"), { c }, misspelt("expires"));
    signedRow("expiry after a comma", signedManifest,
        signedWith("Versions.json,expires=2099-12-31T23:59:59Z"), { c },
        misspelt("Versions.json,expires=2099-12-31T23:59:59Z"));
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
        accepted ? keys.replaceInStrings(QRegularExpression("\\s"), "") : QStringList());
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

// The test's signer is minisign: the same signature lines as minisign's own file.
void tst_Download::signer()
{
    const QList<QByteArray> made = read("Versions.json.expired.minisig").split('\n');
    const QList<QByteArray> ours =
        minisign(read("Versions.json"), made.at(2).mid(qstrlen("trusted comment: "))).split('\n');
    QCOMPARE(ours.mid(1), made.mid(1));
}

// A refused key list refuses every manifest, signed or not and unfetched, naming the key,
// until a later call succeeds; an empty list turns verification off.
void tst_Download::refusedKeys()
{
    const QByteArray body = read("Versions.json");
    server.setResponse("/refused/Versions.json", HttpServer::Response::json(body));
    server.setResponse("/refused/Versions.json.minisig",
        HttpServer::Response::json(read("Versions.json.minisig")));
    const QString url = server.url("/refused/Versions.json");
    const QString typo = key("a.pub").replace('W', 'V').append('=');
    MessageLog log;
    const auto refused = [&] {
        QVERIFY(downloadJSon(url).isNull());
        QCOMPARE(MessageLog::take().last(),
            "Refusing the manifest from " + url + " - the trusted key \"" + typo
                + "\" was refused (not a minisign public key (the base64 line of minisign.pub)), "
                  "so no manifest is accepted until setTrustedKeys() succeeds");
    };
    QVERIFY(MZU::setTrustedKeys({ key("a.pub") }));
    QVERIFY(!MZU::setTrustedKeys({ key("a.pub"), typo }));
    QCOMPARE(MZU::trustedKeys(), QStringList());
    refused();
    QVERIFY(!MZU::setTrustedKeys({ typo })); // from no key trusted, too
    refused();
    QCOMPARE(server.requestCount("/refused/Versions.json.minisig"), 0);
    QVERIFY(MZU::setTrustedKeys({ key("a.pub") }));
    QCOMPARE(downloadJSon(url), QJsonDocument::fromJson(body));
    QCOMPARE(server.requestCount("/refused/Versions.json.minisig"), 1);
    QVERIFY(!MZU::setTrustedKeys({ typo }));
    QVERIFY(MZU::setTrustedKeys({}));
    QCOMPARE(downloadJSon(url), QJsonDocument::fromJson(body));
    QCOMPARE(server.requestCount("/refused/Versions.json.minisig"), 1);
    QCOMPARE(MessageLog::take(),
        QStringList { "Trusted key \"" + typo
            + "\" refused - not a minisign public key (the base64 line of minisign.pub); every "
              "manifest is refused until setTrustedKeys() succeeds" });
}

// Each step: a trusted comment key c signs the manifest with, and the warning downloadJSon()
// gives (%1: the address; "...": any end), empty when it accepts the manifest. Each row has an
// address of its own; "other" steps go to a second address, "!" ones sign a body that is not
// JSON, "off" ones are downloaded with no key trusted.
void tst_Download::sequences_data()
{
    QTest::addColumn<QStringList>("steps"); // comment, warning, comment, warning...
    const QString older = "Refusing the manifest from %1 - sequence 41 is older than sequence 42, "
                          "accepted before; the server may be replaying an old manifest";
    const QString missing = "Refusing the manifest from %1 - its signature has no sequence "
                            "(seq=), but sequence 42 was accepted before; the server may be "
                            "replaying an old manifest";
    const auto malformed = [](const QString &word) {
        return "Refusing the manifest from %1 - signature's sequence \"" + word
            + "\" is not a token of the form seq=N, N a whole number from 0 to "
              "9223372036854775807";
    };
    QTest::newRow("higher") << QStringList { "seq=42", "", "release 1.2.1 seq=43", "" };
    QTest::newRow("equal") << QStringList { "seq=42", "", "seq=42 again", "" };
    QTest::newRow("lower") << QStringList { "seq=42", "", "seq=41", older, "seq=42", "" };
    QTest::newRow("missing after one was seen")
        << QStringList { "release 1.2.0", "", "seq=42", "", "release 1.2.0", missing };
    QTest::newRow("per address") << QStringList { "seq=42", "", "other seq=41", "", "seq=41", older,
        "other seq=40",
        "Refusing the manifest from %1/other - sequence 40 is older than sequence 41, accepted "
        "before; the server may be replaying an old manifest" };
    // Remembered only once the whole manifest was accepted.
    QTest::newRow("not JSON, not remembered")
        << QStringList { "seq=41", "", "! seq=50", "Cannot ...", "seq=42", "", "seq=41", older };
    QTest::newRow("malformed, not remembered") << QStringList { "seq=41", "", "seq=50x",
        malformed("seq=50x"), "seq=42", "", "seq=41", older };
    for (const char *word : { "seq=9223372036854775808", "Seq=5", "seq:5" })
        QTest::newRow(qPrintable(QStringLiteral("malformed %1").arg(word))) << QStringList {
            QStringLiteral("release 1.2.0 %1 expires=2099-12-31T23:59:59Z").arg(word),
            malformed(word)
        };
    // Words that merely contain "seq" are prose.
    QTest::newRow("prose") << QStringList { "sequence of fixes, subsequent to 1.1.0", "" };
}

void tst_Download::sequences()
{
    QFETCH(QStringList, steps);
    static int count = 0;
    const QString path = QStringLiteral("/seq/%1/Versions.json").arg(++count);
    const QByteArray body = read("Versions.json");
    MessageLog log;
    for (int i = 0; i + 1 < steps.size(); i += 2) {
        QString comment = steps.at(i);
        const bool off = comment.startsWith("off");
        const bool broken = comment.startsWith("!");
        const bool other = comment.startsWith("other");
        const QString where = other ? path + "/other" : path;
        const QByteArray served = broken ? body.left(20) : body;
        server.setResponse(where, HttpServer::Response::json(served));
        server.setResponse(
            where + ".minisig", HttpServer::Response::json(minisign(served, comment.toUtf8())));
        QVERIFY(MZU::setTrustedKeys(off ? QStringList() : QStringList { key("c.pub") }));
        const QString url = server.url(where);
        const QJsonDocument document = downloadJSon(url);
        QStringList warnings { steps.at(i + 1) };
        warnings.replaceInStrings("%1", server.url(path));
        const QStringList logged = MessageLog::take();
        if (warnings.first().isEmpty()) {
            QCOMPARE(logged, QStringList());
            QCOMPARE(document, QJsonDocument::fromJson(body));
        } else {
            QCOMPARE(cut({ logged.value(logged.size() - 1) }, warnings), warnings);
            QVERIFY(document.isNull());
        }
    }
    // Kept where the documentation says, as the highest accepted.
    const QString url = server.url(path);
    const QByteArray digest = QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Sha256);
    QCOMPARE(QSettings().value("mzupdater/seq/" + digest.toHex().left(16), -1).toLongLong(),
        MZU::Internal::acceptedSequence(url));
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
