#include "downloadjson.h"
#include "httpserver.h"
#include "messagelog.h"

#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

namespace {

// Resident memory in KiB, "VmRSS" now or "VmHWM" the peak since the last reset.
qint64 memoryKiB(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// A TLS server on its own thread that presents a self-signed certificate.
class SelfSignedServer : public QTcpServer
{
public:
    SelfSignedServer()
    {
        QFile cert(QStringLiteral(MZUPDATER_TEST_DATA "/selfsigned.crt"));
        QFile key(QStringLiteral(MZUPDATER_TEST_DATA "/selfsigned.key"));
        if (cert.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly)) {
            config = QSslConfiguration::defaultConfiguration();
            config.setLocalCertificate(QSslCertificate(cert.readAll()));
            config.setPrivateKey(QSslKey(key.readAll(), QSsl::Rsa));
        }
        moveToThread(&thread);
        thread.start();
        QMetaObject::invokeMethod(
            this, [this] { listen(QHostAddress::LocalHost); }, Qt::BlockingQueuedConnection);
    }
    ~SelfSignedServer() override
    {
        QMetaObject::invokeMethod(
            this, [this] { close(); }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    QAtomicInt handshakes;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSslConfiguration(config);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QSslSocket::encrypted, socket, [this] { handshakes.ref(); });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }

private:
    QSslConfiguration config;
    QThread thread;
};

} // namespace

class tst_Faults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void selfSignedCertificate();
    void gzipBomb();
    void applicationExit(); // last: exit() also ends every later event loop of this thread

private:
    HttpServer server;
};

// No bypass: a certificate nobody vouches for ends the transfer before any request.
void tst_Faults::selfSignedCertificate()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt was built or runs without TLS support");
    SelfSignedServer tls;
    QVERIFY(tls.isListening());
    MessageLog log;
    const QJsonDocument result =
        downloadJSon(QStringLiteral("https://127.0.0.1:%1/Versions.json").arg(tls.serverPort()));
    QVERIFY(result.isNull());
    // What Qt knows about the certificate comes first: the handshake error alone says nothing.
    const QStringList warnings = MessageLog::take();
    QCOMPARE(warnings.size(), 2);
    QVERIFY2(
        warnings.at(0).startsWith(QStringLiteral("Cannot download from  \"https://127.0.0.1:%1/"
                                                 "Versions.json\"  - certificate problems: ")
                                      .arg(tls.serverPort()))
            && warnings.at(0).contains(QLatin1String("self-signed")),
        qPrintable(warnings.at(0)));
    // Qt 6 says why the handshake failed.
    const QString reason = QT_VERSION_MAJOR < 6
        ? QStringLiteral("SSL handshake failed")
        : QStringLiteral("SSL handshake failed: The certificate is self-signed, and untrusted");
    QCOMPARE(warnings.at(1), namError(reason));
    QCOMPARE(tls.handshakes.loadRelaxed(), 0);
}

// QCoreApplication::exit() ends every event loop of the main thread, ours too: the partial
// body must be reported, not parsed as if whole.
void tst_Faults::applicationExit()
{
    HttpServer::Response slow = HttpServer::Response::json("[1, 2, 3, 4, 5, 6, 7, 8, 9]");
    slow.trickleMs = 100;
    server.setResponse(QStringLiteral("/exit"), slow);
    QTimer::singleShot(300, qApp, [] { QCoreApplication::exit(0); });
    MessageLog log;
    QVERIFY(downloadJSon(server.url(QStringLiteral("/exit"))).isNull());
    QCOMPARE(MessageLog::take(), QStringList { namError(QStringLiteral("Operation canceled")) });
}

// 256 KiB of gzip that decodes to 256 MiB: refused once the decoded bytes pass the cap, and
// the process never holds much more than the cap.
void tst_Faults::gzipBomb()
{
    server.setResponse(QStringLiteral("/bomb"),
        HttpServer::Response::encoded("gzip", "[", 256 * 1024 * 1024, "]"));
    QFile reset(QStringLiteral("/proc/self/clear_refs"));
    if (!reset.open(QIODevice::WriteOnly) || reset.write("5") != 1)
        QSKIP("cannot reset the peak memory figure");
    reset.close();
    const qint64 before = memoryKiB("VmRSS");
    MessageLog log;
    QVERIFY(downloadJSon(server.url(QStringLiteral("/bomb"))).isNull());
    const qint64 grown = memoryKiB("VmHWM") - before;
    QCOMPARE(MessageLog::take(),
        QStringList { QStringLiteral("Cannot download from  \"%1\"  - manifest larger than 64 MiB")
                          .arg(server.url(QStringLiteral("/bomb"))) });
    QVERIFY2(before > 0 && grown < 160 * 1024, qPrintable(QStringLiteral("%1 KiB").arg(grown)));
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
