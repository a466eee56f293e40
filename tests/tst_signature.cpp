#include "messagelog.h"
#include "mzu.h"

#include <QtConcurrent>
#include <QtTest>

namespace {

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
    void setTrustedKeys_data();
    void setTrustedKeys();
    void keysChangeWhileRead();
};

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
