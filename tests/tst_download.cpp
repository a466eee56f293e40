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
#include <QSslConfiguration>
#include <QSslSocket>
#include <QtTest>

namespace {

constexpr qint64 cap = 4 * 1024 * 1024;

// A JSON array of exactly `size` bytes.
HttpServer::Response spaces(qint64 size, bool declared = false)
{
    return { 200, {}, "[]", size - 2, declared ? -1 : HttpServer::Response::NoLength };
}

} // namespace

class tst_Download : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        MZU::Internal::nowOverride = 1769904000; // 2026-02-01T00:00:00Z
        QVERIFY(!MZU::followRedirects());
        // The TLS server's certificate is trusted, for 127.0.0.1 only.
        QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
        trusting.addCaCertificates(MZUPDATER_TEST_DATA "/selfsigned.crt");
        QSslConfiguration::setDefaultConfiguration(trusting);
        // The signatures the tests make are minisign's own.
        QCOMPARE(
            minisign(signatureFile("Versions.json"), "release 1.2.0 expires=2026-01-30T23:59:59Z"),
            signatureFile("Versions.json.expired.minisig"));
        // The sequences accepted go to a settings file of the tests' own.
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("mzupdater-tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_download"));
        QSettings().remove(QStringLiteral("mzupdater"));
    }
    void cleanupTestCase() { QSettings().remove(QStringLiteral("mzupdater")); }
    void cleanup()
    {
        QVERIFY(MZU::setTrustedKeys({}));
        MZU::setFollowRedirects(false);
    }
    void refusedKeys();
    void sequences_data();
    void sequences();
    // Last but for filtered(), which downloads nothing: its last row ends the event loops.
    void download_data();
    void download();
    void filtered();

private:
    // "/path" on the plain server, "S/path" on the TLS one; an address with "://" as is.
    HttpServer &on(const QString &where) { return where.startsWith('S') ? secure : server; }
    static QString path(const QString &where) { return where.mid(where.startsWith('S')); }
    QString url(const QString &w) { return w.contains("://") ? w : on(w).url(path(w)); }
    void serve(const QString &where, const HttpServer::Response &response)
    {
        if (!where.contains("://"))
            on(where).setResponse(path(where), response);
    }

    HttpServer server;
    HttpServer secure { signatureFile("../selfsigned.crt"), signatureFile("../selfsigned.key") };
};

void tst_Download::download_data()
{
    QTest::addColumn<QString>("address"); // as url() takes it
    QTest::addColumn<QStringList>("keys"); // trusted
    QTest::addColumn<bool>("follow"); // MZU::setFollowRedirects()
    QTest::addColumn<QStringList>("warnings"); // %1: the address; "...": any end
    QTest::addColumn<QByteArray>("json"); // the expected document; empty: null
    QTest::addColumn<QStringList>("asked"); // as url() takes them: once, or never after a "!"
    QTest::addColumn<int>("timeoutMs"); // -1: the default
    QTest::addColumn<int>("limitMs"); // the whole-transfer limit; -1: the default
    QTest::addColumn<int>("exitAfterMs"); // > 0: QCoreApplication::exit() then

    using R = HttpServer::Response;
    bool following = false;
    // Serves `response` at `address` (unless that is an address as is) for the row.
    const auto row = [&](const char *name, const QString &address, const R &response,
                         const QStringList &warnings, const QByteArray &json = QByteArray(),
                         const QStringList &asked = {}, int timeoutMs = -1, int limitMs = -1,
                         const QStringList &keys = {}, int exitAfterMs = 0) {
        serve(address, response);
        QTest::newRow(name) << address << keys << following << warnings << json << asked
                            << timeoutMs << limitMs << exitAfterMs;
    };
    // A redirect with a small body of its own, as servers send.
    const auto moved = [](int status, const QString &location) {
        return R { status, { { "Location", location.toUtf8() } }, "moved" };
    };
    // Made by minisign: keys a and b, Versions.json signed with key a as Versions.json.minisig
    // (prehashed) and Versions.json.legacy.minisig, and other.json.minisig, of another file;
    // key c signs the others (README.md there).
    const QByteArray signedManifest = signatureFile("Versions.json");
    const QString a = publicKey("a.pub");
    // The query stays on both addresses.
    const auto signedRow = [&](const char *name, const R &signature, const QString &why,
                               const QStringList &keys = {}) {
        static int count = 0;
        const QString path = QStringLiteral("/%1/Versions.json").arg(++count);
        serve(path + ".minisig?channel=beta", signature);
        const QStringList warnings { "Refusing the manifest from %1 - " + why };
        row(name, path + "?channel=beta", R::json(signedManifest),
            why.isEmpty() ? QStringList() : warnings, why.isEmpty() ? signedManifest : QByteArray(),
            { path + ".minisig?channel=beta" }, -1, -1,
            keys.isEmpty() ? QStringList { a, publicKey("c.pub") } : keys);
    };
    const QString from = "Cannot download from %1 - ";
    const QString tooLarge = from + "larger than 4 MiB";
    const QStringList cutOff { "?" + namError("Connection closed"),
        from + "cut off before the body ended" };
    // One body byte every `ms`, the first after one interval.
    const auto trickled = [](R response, int ms) { return response.trickleMs = ms, response; };
    const QByteArray manifest = R"({"name": "Versions.json", "apps": []})";

    row("invalid host", "http://bad host/Versions.json", R(),
        { "Cannot download from  \"%1\"  - invalid address", from + "not a valid address" });
    row("connection refused", "http://127.0.0.1:1/Versions.json", R(),
        { namError("Connection refused"), from + "connection refused" });
    // No bypass: what Qt knows of the certificate comes first, as its error alone says little.
    row("certificate of another host", secure.url("/").replace("127.0.0.1", "localhost"), R(),
        { "(MZUpdater JSON) NAM error  \"SSL handshake failed...",
            from + "certificate problem: ..." });
    // Without a length, only a body whose JSON stops at its end passes for a cut one.
    row("not JSON", "/broken", { 200, {}, "{\"name\": }", 0, R::NoLength },
        { notJson("{\"name\": }") });
    // Qt sometimes takes the close for the end of a chunked body, and sometimes says it was
    // closed ("?": a line that may be missing); either way the body is cut. A body without a
    // length and closed at once is no error to Qt: only the reason may say so.
    row("chunk of 2^63-1 bytes, then the close", "/chunk",
        { 200, { { "Transfer-Encoding", "chunked" } },
            "7fffffffffffffff\r\n" + manifest + "\r\n0\r\n\r\n", 0, R::NoLength },
        { cutOff.first(), cutOff.last() + "..." });
    row("no length, no body", "/nobody", { 200, {}, {}, 0, R::NoLength },
        { cutOff.last() + "..." });
    row("204", "/204", { 204, {}, {}, 0, R::NoLength },
        { from + "answered HTTP 204: the body is empty" });
    // Neither a password nor a server's control characters reach a reason; nor is an encoding
    // not asked for read as plain.
    const QString secret = server.url("/secret").replace("//", "//user:s3cret@");
    serve("/secret", { 200, { { "Content-Encoding", "br\x1b[31m\x07" } }, manifest });
    row("credentials and control characters", secret, R(),
        { QString(from).replace("%1", QString(secret).replace("s3cret", "***"))
            + "cannot decode its br\\u001b[31m\\u0007 body" });
    row("HTML page", "/html", R::json("\n<!DOCTYPE html><html></html>"),
        { notJson("\n<!DOCTYPE html><html></html>") + "; the body looks like HTML" });
    const QByteArray utf16("\xff\xfe{\0}\0", 6);
    row("UTF-16", "/utf16", R::json(utf16),
        { notJson(utf16) + "; the body is UTF-16; manifests are UTF-8" });
    // These statuses have no body, whatever Content-Length says: not a cut connection.
    row("304 with Content-Length", "/304", { 304, {}, {}, 0, 120 },
        { "Cannot read %1 - not JSON: the body is empty" });
    row("302 without Location", "/302", R::json(manifest, 302),
        { from + "answered HTTP 302 without a Location" });
    row("closes mid-body", "/cut-body", { 200, {}, manifest, 0, manifest.size() + 100 }, cutOff);
    row("deflate", "/deflate", R::encoded("deflate", manifest), {}, manifest);
    row("gzip cut short", "/cut",
        { 200, { { "Content-Encoding", "gzip" } }, R::encoded("gzip", manifest).body.chopped(12) },
        { from + "cannot decode its gzip body" });
    row("no answer", "/stall", { 200, {}, {}, 0, -1, true },
        { namError("Operation canceled"), from + "no data for 300 ms" }, {}, {}, 300);
    // 17 bytes 40 ms apart: longer in total than the timeout, never silent for that long.
    row("steady trickle", "/steady", trickled(R::json("[1,2,3,4,5,6,7,8]"), 40), {},
        "[1,2,3,4,5,6,7,8]", {}, 300);
    row("timeout 0 waits", "/slow0", trickled(R::json("[]"), 400), {}, "[]", {}, 0);
    row("exactly 4 MiB", "/cap", spaces(cap), {}, "[]");
    row("one byte over", "/over", spaces(cap + 1), { tooLarge });
    // Only the header tells the size: refusing must not wait for the body.
    row("1 GiB declared, not sent", "/declared", trickled(spaces(256 * cap, true), 60000),
        { tooLarge }, {}, {}, 2000);
    row("1 GiB streamed", "/streamed", spaces(256 * cap), { tooLarge });
    row("gzip decoding to 4 MiB + 1", "/bomb", R::encoded("gzip", "[]", cap - 1), { tooLarge });
    // Refused as the decoded bytes pass the cap, not once all are in.
    row("gzip decoding to 256 MiB", "/bigbomb", R::encoded("gzip", "[]", 64 * cap), { tooLarge });

    // Off, as always: the target is never asked for.
    serve("/off/moved.json", R::json(manifest));
    row("redirect not followed", "/off/Versions.json", moved(302, "/off/moved.json"),
        { from + "redirected (HTTP 302) to " + url("/off/moved.json")
            + "; redirects are not followed" },
        {}, { "/off/Versions.json", "!/off/moved.json" });
    // Followed from here on: at most 5, only to http and https, never from https to http,
    // under one limit and one cap.
    following = true;
    // A relative target, an absolute one to https on another port, one from the root.
    serve("/on/a/b", moved(301, url("S/on/c")));
    serve("S/on/c", moved(307, "/on/final.json"));
    serve("S/on/final.json", R::json(manifest));
    row("three redirects", "/on/Versions.json", moved(302, "a/b"), {}, manifest,
        { "/on/a/b", "S/on/c", "S/on/final.json" });
    for (int i = 1; i < 6; ++i)
        serve(QStringLiteral("/chain/%1").arg(i), moved(302, QString::number(i + 1)));
    serve("/chain/6", R::json(manifest));
    row("six redirects", "/chain/0", moved(302, "1"),
        { from + "redirected (HTTP 302) from " + url("/chain/5") + " to " + url("/chain/6")
            + ", refused: more than 5 redirects" },
        {}, { "/chain/5", "!/chain/6" });
    row("five redirects", "/chain/1", moved(302, "2"), {}, manifest, { "/chain/6" });
    serve("/down/Versions.json", R::json(manifest));
    row("https to http", "S/down/Versions.json", moved(302, url("/down/Versions.json")),
        { from + "redirected (HTTP 302) from %1 to " + url("/down/Versions.json")
            + ", refused: a redirect from https to http is never followed" },
        {}, { "!/down/Versions.json" });
    row("to ftp", "/ftp/Versions.json", moved(301, "ftp://127.0.0.1/Versions.json"),
        { from
            + "redirected (HTTP 301) from %1 to ftp://127.0.0.1/Versions.json, refused: "
              "only http and https addresses are followed" });
    // A failure after redirects names the address that failed, without its password.
    serve("/gone/a", moved(302, "/gone/missing.json"));
    row("404 after two redirects", "/gone/Versions.json", moved(302, "/gone/a"),
        { "(MZUpdater JSON) NAM error ...",
            from + "at " + url("/gone/missing.json")
                + ", after 2 redirects: answered HTTP 404 Not Found" },
        {}, { "/gone/missing.json" });
    serve("/nowhere/a", R::json(manifest, 302));
    row("no Location after a redirect", "/nowhere/Versions.json",
        moved(302, url("/nowhere/a").replace("//", "//user:s3cret@")),
        { from + "at " + url("/nowhere/a").replace("//", "//user:***@")
            + ", after 1 redirect: answered HTTP 302 without a Location" },
        {}, { "/nowhere/a" });
    // One cap, one limit and the inactivity timeout for the whole chain.
    R bulky = moved(302, "/cap/big.json");
    bulky.fillSize = 3 * 1024 * 1024;
    serve("/cap/big.json", { 200, {}, "[]", 2 * 1024 * 1024, R::NoLength });
    row("cap over the chain", "/cap/Versions.json", bulky,
        { from + "at " + url("/cap/big.json") + ", after 1 redirect: larger than 4 MiB" }, {},
        { "/cap/big.json" });
    serve("/slow/final.json", trickled(R::json("[1, 2]"), 120)); // 720 ms
    row("limit over the chain", "/slow/Versions.json",
        trickled(moved(302, "/slow/final.json"), 120), // 600 ms
        { from + "at " + url("/slow/final.json") + ", after 1 redirect: not finished within 1 s" },
        {}, { "/slow/final.json" }, 5000, 1000);
    serve("/silent/final.json", { 200, {}, {}, 0, -1, true });
    row("silent after a redirect", "/silent/Versions.json", moved(302, "/silent/final.json"),
        { namError("Operation canceled"),
            from + "at " + url("/silent/final.json") + ", after 1 redirect: no data for 300 ms" },
        {}, { "/silent/final.json" }, 300);
    // The signature: at the address asked for, with ".minisig", redirected on its own.
    serve("S/sig/store/Versions.json", R::json(signedManifest));
    serve("/sig/Versions.json.minisig", moved(302, url("S/sig/store/Versions.json.minisig")));
    serve("S/sig/store/Versions.json.minisig", R::json(signatureFile("Versions.json.minisig")));
    row("signature through a redirect", "/sig/Versions.json",
        moved(302, url("S/sig/store/Versions.json")), {}, signedManifest,
        { "S/sig/store/Versions.json", "/sig/Versions.json.minisig",
            "S/sig/store/Versions.json.minisig" },
        -1, -1, { a });
    following = false;

    const R prehashed = R::json(signatureFile("Versions.json.minisig"));
    signedRow("prehashed", prehashed, "");
    signedRow("legacy", R::json(signatureFile("Versions.json.legacy.minisig")), "");
    signedRow("second of two keys, padded", prehashed, "", { " " + publicKey("b.pub") + "\n", a });
    signedRow("key not trusted", prehashed,
        "key not trusted: signed with key 4C16C38D60606C39, which is not trusted",
        { publicKey("b.pub") });
    // minisign's comment drops leading zeros; the library prints all 16 digits.
    signedRow("signature of another file", R::json(signatureFile("other.json.minisig")),
        "signature does not match (key 4C16C38D60606C39)");
    signedRow("signature missing", R::json("", 404), "signature missing: ...");
    signedRow("signature of 64 KiB + 1",
        { 200, {}, prehashed.body, 64 * 1024 + 1 - prehashed.size() }, "signature unreadable: ...");
    signedRow("signature garbage", R::json("<html>\n\n\n</html>\n"),
        "signature malformed: not a minisign signature file");
    // Key c's, with an expires= in the trusted comment.
    const auto expiring = [](const char *name) {
        return R::json(signatureFile(QStringLiteral("Versions.json.%1.minisig").arg(name)));
    };
    const auto signedWith = [&](const QByteArray &comment) {
        return R::json(minisign(signedManifest, comment));
    };
    const auto badExpiry = [](const QString &word,
                               const QString &form = "token of the form expires=") {
        return "signature's expiry \"" + word + "\" is not a " + form + "YYYY-MM-DDTHH:MM:SSZ";
    };
    const QString date = "date of the form ";
    signedRow("expired a day ago, the skew", expiring("skew"), "");
    signedRow("the earlier of two expiries", expiring("twice"),
        "signature expired on 2026-01-30T23:59:59Z (this machine's clock says "
        "2026-02-01T00:00:00Z)");
    // Fail-closed: any "expires" that is not exactly the token refuses, never "no expiry".
    signedRow("expires in prose", expiring("prose"), badExpiry("expires"));
    signedRow("expiry after a no-break space",
        signedWith("release x\u00a0expires=2000-01-01T00:00:00Z"),
        badExpiry("x\u00a0expires=2000-01-01T00:00:00Z"));
    signedRow("expiry in capitals", signedWith("Expires=2099-12-31T23:59:59Z"),
        badExpiry("Expires=2099-12-31T23:59:59Z"));
    signedRow("expiry of an impossible date", expiring("baddate"),
        badExpiry("2026-02-30T00:00:00Z", date));
    signedRow(
        "expiry with an offset", expiring("badform"), badExpiry("2026-01-31T00:00:00+01:00", date));
    // Only a verified trusted comment is read.
    R backdated = expiring("future");
    backdated.body.replace("2099-12-31", "2025-12-31");
    signedRow(
        "expiry backdated", backdated, "signature does not match: the trusted comment was altered");
    // Last: exit() also ends every later event loop of this thread. It ends ours too, and
    // the partial body must be reported, not parsed as if whole.
    row("application exits", "/exit", trickled(R::json("[1, 2]"), 100),
        { namError("Operation canceled"), from + "canceled before it finished" }, {}, {}, -1, -1,
        {}, 300);
}

void tst_Download::download()
{
    QFETCH(QString, address);
    QFETCH(QStringList, keys);
    QFETCH(bool, follow);
    QFETCH(QStringList, warnings);
    QFETCH(QByteArray, json);
    QFETCH(QStringList, asked);
    QFETCH(int, timeoutMs);
    QFETCH(int, limitMs);
    QFETCH(int, exitAfterMs);

    const QString url = this->url(address);
    if (!QSslSocket::supportsSsl() && (url.startsWith("https") || asked.join(' ').contains("S/")))
        QSKIP("Qt was built or runs without TLS support");
    QVERIFY(MZU::setTrustedKeys(keys));
    MZU::setFollowRedirects(follow);
    MessageLog log;
    const PeakMemory memory;
    if (exitAfterMs > 0)
        QTimer::singleShot(exitAfterMs, qApp, [] { QCoreApplication::exit(0); });
    QElapsedTimer clock;
    clock.start();
    const int defaultLimit = MZU::Internal::transferLimitMs;
    MZU::Internal::transferLimitMs = limitMs < 0 ? defaultLimit : limitMs;
    const MZU::Internal::Downloaded downloaded = [&] {
        MZU::Internal::Session session;
        return MZU::Internal::download(
            session, url, timeoutMs < 0 ? MZU::Internal::defaultTransferTimeoutMs : timeoutMs);
    }();
    MZU::Internal::transferLimitMs = defaultLimit;
    const qint64 elapsed = clock.elapsed();

    warnings.replaceInStrings(QLatin1String("%1"), url);
    const QStringList logged = MessageLog::take();
    for (int i = 0; i < warnings.size(); ++i)
        if (warnings.at(i).startsWith('?') && logged.value(i) != warnings[i].remove(0, 1))
            warnings.removeAt(i--);
    QCOMPARE(cut(logged, warnings), warnings);
    QCOMPARE(downloaded.failure, warnings.isEmpty() ? QString() : logged.last());
    QCOMPARE(downloaded.document, json.isEmpty() ? QJsonDocument() : QJsonDocument::fromJson(json));
    QCOMPARE(MZU::trustedKeys(), keys.replaceInStrings(QRegularExpression("\\s"), ""));
    for (const QString &where : asked) {
        const bool never = where.startsWith('!');
        QVERIFY2(
            on(where.mid(never)).requestCount(path(where.mid(never))) == !never, qPrintable(where));
    }
    // Nothing waits for the default timeouts; a timeout waits for what it says.
    QVERIFY2(elapsed < 10000
            && (!warnings.contains(namError("Operation canceled"))
                || elapsed >= timeoutMs * 9 / 10),
        qPrintable(QString::number(elapsed)));
    // Far below the 1 GiB stream, with room for what the buffers on the way hold.
    QVERIFY(server.bytesSent(address) < 16 * cap);
    // A refusal holds not much more than the cap, however large the body is or decodes to.
    QVERIFY(!json.isEmpty() || memory.grownKiB() < 100 * 1024);
}

// A refused key list refuses every manifest, signed or not and unfetched, naming the key,
// until a later call succeeds; an empty list turns verification off.
void tst_Download::refusedKeys()
{
    const QByteArray body = signatureFile("Versions.json");
    const QByteArray signature = signatureFile("Versions.json.minisig");
    server.setResponse("/refused/Versions.json", HttpServer::Response::json(body));
    server.setResponse("/refused/Versions.json.minisig", HttpServer::Response::json(signature));
    const QString url = server.url("/refused/Versions.json");
    const QString a = publicKey("a.pub");
    const QString why = "not a minisign public key (the base64 line of minisign.pub)";
    // A stray character, a key of another algorithm than "Ed", a signature line.
    const QString junk = a.left(20) + "%" + a.mid(20);
    const QString notEd =
        QString::fromLatin1(("ED" + QByteArray::fromBase64(a.toLatin1()).mid(2)).toBase64());
    const QString signatureLine = QString::fromLatin1(signature.split('\n').value(1));
    MessageLog log;
    for (const QString &bad : { junk, notEd, signatureLine }) {
        // From a trusted key and from none; a good key in the list does not save it.
        for (const QStringList &before : { QStringList { a }, QStringList() }) {
            QVERIFY(MZU::setTrustedKeys(before));
            QVERIFY(!MZU::setTrustedKeys({ a, bad }));
            QCOMPARE(MZU::trustedKeys(), QStringList());
            QVERIFY(downloadJSon(url).isNull());
            QCOMPARE(MessageLog::take(),
                QStringList({ "Trusted key \"" + bad + "\" refused - " + why
                        + "; every manifest is refused until setTrustedKeys() succeeds",
                    "Refusing the manifest from " + url + " - the trusted key \"" + bad
                        + "\" was refused (" + why
                        + "), so no manifest is accepted until setTrustedKeys() succeeds" }));
        }
    }
    QVERIFY(MZU::setTrustedKeys({}));
    QCOMPARE(downloadJSon(url), QJsonDocument::fromJson(body));
    QCOMPARE(server.requestCount("/refused/Versions.json.minisig"), 0);
    QCOMPARE(MessageLog::take(), QStringList());
}

// Each step: a trusted comment key c signs the manifest with, and the warning downloadJSon()
// gives (%1: the address; "...": any end), empty when it accepts the manifest. Each row has an
// address of its own; "other" steps go to a second address, "!" ones sign a body that is not
// JSON.
void tst_Download::sequences_data()
{
    QTest::addColumn<QStringList>("steps"); // comment, warning, comment, warning...
    const QString older = "Refusing the manifest from %1 - sequence 41 is older than sequence 42, "
                          "accepted before; the server may be replaying an old manifest";
    const auto malformed = [](const QString &word) {
        return "Refusing the manifest from %1 - signature's sequence \"" + word
            + "\" is not a token of the form seq=N, N a whole number from 0 to "
              "9223372036854775807";
    };
    QTest::newRow("higher, equal, lower, missing") << QStringList { "release 1.2.0", "", "seq=42",
        "", "seq=42 again", "", "seq=41", older, "release 1.2.0",
        "Refusing the manifest from %1 - its signature has no sequence (seq=), but sequence 42 "
        "was accepted before; the server may be replaying an old manifest",
        "release 1.2.1 seq=43", "" };
    QTest::newRow("per address") << QStringList { "seq=42", "", "other seq=41", "", "seq=41", older,
        "other seq=40",
        "Refusing the manifest from %1/other - sequence 40 is older than sequence 41, accepted "
        "before; the server may be replaying an old manifest" };
    // Remembered only once the whole manifest was accepted. Words that merely contain "seq"
    // are prose.
    QTest::newRow("malformed or not JSON, not remembered")
        << QStringList { "sequence of fixes, subsequent to 1.1.0", "", "seq=41", "", "! seq=50",
               "Cannot ...", "seq=50x", malformed("seq=50x"),
               "release 1.2.0 seq=9223372036854775808 expires=2099-12-31T23:59:59Z",
               malformed("seq=9223372036854775808"), "Seq=5", malformed("Seq=5"), "seq:5",
               malformed("seq:5"), "seq=42", "", "seq=41", older };
}

void tst_Download::sequences()
{
    QFETCH(QStringList, steps);
    static int count = 0;
    const QString path = QStringLiteral("/seq/%1/Versions.json").arg(++count);
    const QByteArray body = signatureFile("Versions.json");
    QVERIFY(MZU::setTrustedKeys({ publicKey("c.pub") }));
    MessageLog log;
    for (int i = 0; i + 1 < steps.size(); i += 2) {
        const QString &comment = steps.at(i);
        const QString where = comment.startsWith("other") ? path + "/other" : path;
        const QByteArray served = comment.startsWith("!") ? body.left(20) : body;
        serve(where, HttpServer::Response::json(served));
        serve(where + ".minisig", HttpServer::Response::json(minisign(served, comment.toUtf8())));
        const QJsonDocument document = downloadJSon(server.url(where));
        const QString warning = QString(steps.at(i + 1)).replace("%1", server.url(path));
        const QStringList logged = MessageLog::take();
        QCOMPARE(cut(logged.mid(logged.size() - 1), { warning }),
            warning.isEmpty() ? QStringList() : QStringList { warning });
        QCOMPARE(document, warning.isEmpty() ? QJsonDocument::fromJson(body) : QJsonDocument());
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
