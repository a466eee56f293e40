#include "downloadjson.h"
#include "httpserver.h"
#include "messagelog.h"
#include "mzu.h"

#include <QtConcurrent>
#include <QtTest>

Q_DECLARE_METATYPE(HttpServer::Response)

namespace {

// Made by minisign: keys a and b, Versions.json signed with key a as Versions.json.minisig
// (prehashed) and Versions.json.legacy.minisig, and other.json.minisig, of another file.
QByteArray read(const QString &name)
{
    QFile file(MZUPDATER_TEST_DATA "/signature/" + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

QString key(const QString &name)
{
    return QString::fromLatin1(read(name).split('\n')[1]);
}

} // namespace

class tst_Signature : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { MZU::setTrustedKeys({}); }
    void download_data();
    void download();
    void setTrustedKeys_data();
    void setTrustedKeys();
    void keysChangeWhileRead();

private:
    HttpServer server;
};

void tst_Signature::download_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<HttpServer::Response>("signature");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("cause"); // %2: the signature's address; empty: it verifies

    using R = HttpServer::Response;
    const QByteArray manifest = read("Versions.json");
    const R prehashed = R::json(read("Versions.json.minisig"));
    const QString a = key("a.pub");
    const QString b = key("b.pub");
    // Key a's id with key b's bytes.
    const QString aIdBKey = QString::fromLatin1((QByteArray::fromBase64(a.toLatin1()).left(10)
        + QByteArray::fromBase64(b.toLatin1()).mid(10))
                                                    .toBase64());
    QByteArray flipped = manifest;
    flipped[flipped.indexOf("1.2.0")] = '2';
    R comment = prehashed;
    comment.body.replace("release 1.2.0", "release 1.2.1");
    R oversized = prehashed;
    oversized.fillSize = 64 * 1024 + 1 - oversized.body.size();
    // minisign's comment drops leading zeros; the library prints all 16 digits.
    const QString mismatch = "signature does not match (key 4C16C38D60606C39)";

    const auto row = [&](const char *name, const QByteArray &body, const R &signature,
                         const QStringList &keys, const QString &cause) {
        QTest::newRow(name) << body << signature << keys << cause;
    };
    row("prehashed", manifest, prehashed, { a }, "");
    row("legacy", manifest, R::json(read("Versions.json.legacy.minisig")), { a }, "");
    row("second of two keys", manifest, prehashed, { b, a }, "");
    row("no key: no request", flipped, R::json("", 404), {}, "");
    row("manifest byte", flipped, prehashed, { a }, mismatch);
    row("trusted comment", manifest, comment, { a },
        "signature does not match: the trusted comment was altered");
    row("another key", manifest, prehashed, { b },
        "key not trusted: signed with key 4C16C38D60606C39, which is not trusted");
    row("key id matches, key does not", manifest, prehashed, { aIdBKey }, mismatch);
    row("another file's signature", manifest, R::json(read("other.json.minisig")), { a }, mismatch);
    row("missing", manifest, R::json("", 404), { a }, "signature missing: ...");
    row("redirected", manifest, R::redirect(302, server.url("/elsewhere")), { a },
        "signature unreadable: ...");
    row("64 KiB + 1", manifest, oversized, { a }, "signature unreadable: ...");
    row("garbage", manifest, R::json("<html>\n\n\n</html>\n"), { a },
        "signature malformed: not a minisign signature file");
}

void tst_Signature::download()
{
    QFETCH(QByteArray, manifest);
    QFETCH(HttpServer::Response, signature);
    QFETCH(QStringList, keys);
    QFETCH(QString, cause);

    // The query stays on both addresses.
    static int row = 0;
    const QString path = QStringLiteral("/%1/Versions.json").arg(++row);
    const QString address = server.url(path + "?channel=beta");
    server.setResponse(path + "?channel=beta", HttpServer::Response::json(manifest));
    server.setResponse(path + ".minisig?channel=beta", signature);
    server.setResponse("/elsewhere", HttpServer::Response::json(read("Versions.json.minisig")));
    QVERIFY(MZU::setTrustedKeys(keys));

    MessageLog log;
    const QJsonDocument document = downloadJSon(address);
    const QStringList expected = cause.isEmpty()
        ? QStringList()
        : QStringList { "Refusing the manifest from " + address + " - " + cause };
    QCOMPARE(cut(MessageLog::take(), expected), expected);
    QCOMPARE(document, cause.isEmpty() ? QJsonDocument::fromJson(manifest) : QJsonDocument());
    QCOMPARE(server.requestCount(path + ".minisig?channel=beta"), keys.isEmpty() ? 0 : 1);
    QCOMPARE(server.requestCount("/elsewhere"), 0);
}

void tst_Signature::setTrustedKeys_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("refused"); // empty: accepted
    const QString a = key("a.pub");
    const QString b = key("b.pub");
    const QString junk = a.left(20) + "%" + a.mid(20);
    const QString notEd =
        QString::fromLatin1(("ED" + QByteArray::fromBase64(a.toLatin1()).mid(2)).toBase64());
    const QString signatureLine = QString::fromLatin1(read("Versions.json.minisig").split('\n')[1]);

    QTest::newRow("two, padded") << QStringList { " " + b + "\n", a } << "";
    QTest::newRow("none") << QStringList() << "";
    QTest::newRow("stray character") << QStringList { b, junk } << junk;
    QTest::newRow("not Ed") << QStringList { notEd } << notEd;
    QTest::newRow("signature line") << QStringList { signatureLine } << signatureLine;
}

void tst_Signature::setTrustedKeys()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, refused);
    const QStringList before { key("a.pub") };
    QVERIFY(MZU::setTrustedKeys(before));

    MessageLog log;
    QCOMPARE(MZU::setTrustedKeys(keys), refused.isEmpty());
    QCOMPARE(MessageLog::take(),
        refused.isEmpty() ? QStringList()
                          : QStringList { "Trusted key \"" + refused
                              + "\" refused - not a minisign public key (the base64 line of "
                                "minisign.pub); the trusted keys are unchanged" });
    QCOMPARE(MZU::trustedKeys(),
        refused.isEmpty() ? keys.replaceInStrings(QRegularExpression("\\s"), "") : before);
}

// A reader never sees a list half replaced.
void tst_Signature::keysChangeWhileRead()
{
    const QStringList one { key("a.pub") };
    const QStringList two { key("b.pub"), key("a.pub") };
    QVERIFY(MZU::setTrustedKeys(one));
    QFuture<void> writer = QtConcurrent::run([&] {
        for (int i = 0; i < 2000; ++i)
            MZU::setTrustedKeys(i % 2 ? one : two);
    });
    int odd = 0;
    while (!writer.isFinished()) {
        const QStringList seen = MZU::trustedKeys();
        odd += seen != one && seen != two;
    }
    writer.waitForFinished();
    QCOMPARE(odd, 0);
}

QTEST_GUILESS_MAIN(tst_Signature)
#include "tst_signature.moc"
