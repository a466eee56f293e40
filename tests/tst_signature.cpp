#include "download/signature_p.h"
#include "downloadjson.h"
#include "httpserver.h"
#include "messagelog.h"
#include "mzu.h"

#include <QtConcurrent>
#include <QtTest>

Q_DECLARE_METATYPE(HttpServer::Response)

// Signatures come from the minisign tool, run here when it is installed; otherwise from
// tests/data/signature, which the same tool made: a.pub and b.pub, Versions.json signed
// with key a as Versions.json.minisig (prehashed) and Versions.json.legacy.minisig, and
// other.json.minisig, key a's signature of another file.
class tst_Signature : public QObject
{
    Q_OBJECT

    QByteArray read(const QString &name) const;
    QString key(const QString &name) const
    {
        return QString::fromLatin1(read(name).split('\n')[1]);
    }
    // minisign's comment drops leading zeros; the library prints all 16 digits.
    QString keyId(const QString &name) const
    {
        return QString::fromLatin1(read(name).split('\n')[0].split(' ').last())
            .rightJustified(16, QLatin1Char('0'));
    }
    QTemporaryDir dir;
    QString material;
    HttpServer server;

private Q_SLOTS:
    void initTestCase();
    void cleanup() { MZU::setTrustedKeys({}); }
    void download_data();
    void download();
    void setTrustedKeys_data();
    void setTrustedKeys();
    void keysChangeWhileRead();
};

QByteArray tst_Signature::read(const QString &name) const
{
    QFile file(material + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

void tst_Signature::initTestCase()
{
    QVERIFY(dir.isValid());
    material = QStringLiteral(MZUPDATER_TEST_DATA "/signature");
    const QString minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (minisign.isEmpty()) {
        qInfo("minisign is not installed: using the committed signatures");
        return;
    }
    QVERIFY(QFile::copy(material + "/Versions.json", dir.filePath("Versions.json")));
    QFile other(dir.filePath("other.json"));
    QVERIFY(other.open(QIODevice::WriteOnly) && other.write("[]") == 2);
    other.close();
    const QStringList commands[] = {
        { "-G", "-p", "a.pub", "-s", "a.key", "-W" },
        { "-G", "-p", "b.pub", "-s", "b.key", "-W" },
        { "-S", "-s", "a.key", "-m", "Versions.json", "-t", "release 1.2.0" },
        { "-S", "-l", "-s", "a.key", "-m", "Versions.json", "-x", "Versions.json.legacy.minisig",
            "-t", "release 1.2.0, legacy" },
        { "-S", "-s", "a.key", "-m", "other.json", "-t", "another file" },
    };
    for (const QStringList &arguments : commands) {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(minisign, arguments);
        QVERIFY2(process.waitForFinished(30000) && process.exitCode() == 0,
            qPrintable(arguments.join(' ') + ": " + process.readAllStandardError()));
    }
    material = dir.path();
}

void tst_Signature::download_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<HttpServer::Response>("signature");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("cause"); // %2: the signature's address; empty: it verifies

    using R = HttpServer::Response;
    const QByteArray manifest = read("Versions.json");
    const QByteArray prehashed = read("Versions.json.minisig");
    const QString a = key("a.pub");
    const QString b = key("b.pub");
    // Key a's id with key b's bytes.
    const QByteArray bBytes = QByteArray::fromBase64(b.toLatin1());
    const QString aIdBKey = QString::fromLatin1(
        (QByteArray::fromBase64(a.toLatin1()).left(10) + bBytes.mid(10)).toBase64());
    const auto altered = [&](int line, int at) {
        QList<QByteArray> lines = prehashed.split('\n');
        QByteArray bytes = line == 1 ? QByteArray::fromBase64(lines[line]) : lines[line];
        bytes[at] = char(bytes[at] ^ 1);
        lines[line] = line == 1 ? bytes.toBase64() : bytes;
        return R::json(lines.join('\n'));
    };
    QByteArray flipped = manifest;
    flipped[flipped.indexOf("1.2.0")] = '2';
    R oversized = R::json(prehashed);
    oversized.fillSize = 64 * 1024 + 1 - prehashed.size();

    const auto row = [&](const char *name, const QByteArray &body, const R &signature,
                         const QStringList &keys, const QString &cause) {
        QTest::newRow(name) << body << signature << keys << cause;
    };
    const QString mismatch = "signature does not match (key " + keyId("a.pub") + ")";
    row("prehashed", manifest, R::json(prehashed), { a }, "");
    row("legacy", manifest, R::json(read("Versions.json.legacy.minisig")), { a }, "");
    row("second of two keys", manifest, R::json(prehashed), { b, a }, "");
    row("no key: no request", flipped, R::json("", 404), {}, "");
    row("manifest byte", flipped, R::json(prehashed), { a }, mismatch);
    row("signature byte", manifest, altered(1, 40), { a }, mismatch);
    row("trusted comment byte", manifest, altered(2, 20), { a },
        "signature does not match: the trusted comment was altered");
    row("another key", manifest, R::json(prehashed), { b },
        "key not trusted: signed with key " + keyId("a.pub") + ", which is not trusted");
    row("key id matches, key does not", manifest, R::json(prehashed), { aIdBKey }, mismatch);
    row("another file's signature", manifest, R::json(read("other.json.minisig")), { a }, mismatch);
    row("missing", manifest, R::json("", 404), { a }, "signature missing: %2 answered HTTP 404");
    row("redirected", manifest, R::redirect(302, server.url("/elsewhere")), { a },
        "signature unreadable: %2 redirected (HTTP 302) to " + server.url("/elsewhere"));
    row("64 KiB + 1", manifest, oversized, { a }, "signature unreadable: %2 is larger than 64 KiB");
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
    server.setResponse(path + "?channel=beta", HttpServer::Response::json(manifest));
    server.setResponse(path + ".minisig?channel=beta", signature);
    server.setResponse("/elsewhere", HttpServer::Response::json(read("Versions.json.minisig")));
    const QString address = server.url(path + "?channel=beta");
    QVERIFY(MZU::setTrustedKeys(keys));

    const QString expected = "Refusing the manifest from " + address + " - "
        + QString(cause).replace("%2", server.url(path + ".minisig?channel=beta"));
    MessageLog log;
    const QJsonDocument document = downloadJSon(address);
    QCOMPARE(MessageLog::take(), cause.isEmpty() ? QStringList() : QStringList { expected });
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
