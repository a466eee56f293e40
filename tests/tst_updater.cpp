#include "httpserver.h"
#include "messagelog.h"
#include "mzu.h"
#include "mzupdater.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QPointer>
#include <QThreadPool>
#include <QtTest>

Q_DECLARE_METATYPE(HttpServer::Response)

namespace {

const QString appName = QStringLiteral("TestApp");
const QString stillRunning = QStringLiteral("Updagter async task is still running - wait");

QJsonObject release(const QString &version, const QString &changelog = QString(), bool tip = false,
    const QString &name = appName)
{
    QJsonObject entry { { "name", name }, { "os", MZU::osString() }, { "version", version } };
    if (!changelog.isEmpty())
        entry.insert("changelog", changelog);
    if (tip)
        entry.insert("tip", true);
    return entry;
}

HttpServer::Response manifest(const QJsonArray &apps, const QString &name = "Versions.json")
{
    const QJsonObject root { { "name", name }, { "apps", apps } };
    return HttpServer::Response::json(QJsonDocument(root).toJson(QJsonDocument::Compact));
}

QString updateEvent(const QString &newver, const QString &changelog)
{
    return QStringLiteral("updateAvailable %1 | %2").arg(newver, changelog);
}

// Records the signals of `updater` in order.
void record(MzUpdater *updater, QStringList *events)
{
    QObject::connect(updater, &MzUpdater::checked, [events] { events->append("checked"); });
    QObject::connect(updater, &MzUpdater::updateAvailable,
        [events](const QString &newver, const QString &changelog) {
            events->append(updateEvent(newver, changelog));
        });
}

// Waits until every download has ended and its result has been delivered.
void settle()
{
    QVERIFY(QThreadPool::globalInstance()->waitForDone(10000));
    QCoreApplication::processEvents();
}

} // namespace

class tst_Updater : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void check_data();
    void check();
    void busy();
    void returnsAtOnce();
    void silentDestructor();
    void destructorWaits();
    void deleteFromSlot_data();
    void deleteFromSlot();
    void noResult();
    void defaultAddress_data();
    void defaultAddress();

private:
    // Writes the maintenance tool's settings beside the test binary; null: no file.
    void writeSettings(const QByteArray &content);
    void pointAt(const QString &address)
    {
        writeSettings("[URL]\nVersions=" + address.toUtf8() + '\n');
    }

    HttpServer server;
    QString settingsPath;
    QByteArray savedSettings;
};

void tst_Updater::initTestCase()
{
    QCoreApplication::setApplicationName(appName);
    settingsPath = QCoreApplication::applicationDirPath() + QLatin1String("/maintenancetool.ini");
    QFile saved(settingsPath);
    if (saved.open(QIODevice::ReadOnly))
        savedSettings = saved.readAll();
}

void tst_Updater::cleanupTestCase()
{
    writeSettings(savedSettings);
}

void tst_Updater::writeSettings(const QByteArray &content)
{
    QFile::remove(settingsPath);
    if (content.isNull())
        return;
    QFile file(settingsPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
    QVERIFY(file.flush());
    // QSettings keeps a parsed file while its size and time stamp stay the same, and two
    // writes here can share both: give every write a later time stamp.
    static QDateTime stamp;
    stamp = qMax(QDateTime::currentDateTime(), stamp.addSecs(1));
    QVERIFY(file.setFileTime(stamp, QFileDevice::FileModificationTime));
}

void tst_Updater::check_data()
{
    QTest::addColumn<QString>("address"); // a path on the server, or an address as is
    QTest::addColumn<HttpServer::Response>("response");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("warnings"); // %1: the address

    const QJsonArray apps { release("1.1.0", "Faster start."),
        release("2.0.0-rc1", "New look.\nDark mode."), release("1.5.0"),
        QJsonObject { { "name", appName }, { "os", "other-os" }, { "version", "9.0.0" } },
        release("7.0.0", "Not ours.", false, "OtherApp") };
    const QJsonArray tipped { release("1.1.0", "Faster start.", true), release("2.0.0", "Later.") };
    const QStringList none;
    const QStringList checkedOnly { "checked" };

    QTest::newRow("update with suffix")
        << "/newer" << manifest(apps) << "1.0.0"
        << QStringList { "checked",
               updateEvent(
                   "2.0.0-rc1", "2.0.0-rc1:\nNew look.\nDark mode.\n1.1.0:\nFaster start.") }
        << none;
    QTest::newRow("tip release first")
        << "/tip" << manifest(tipped) << "1.0.0"
        << QStringList { "checked", updateEvent("1.1.0", "1.1.0:\nFaster start.") } << none;
    QTest::newRow("past the tip") << "/tip" << manifest(tipped) << "1.1.0"
                                  << QStringList { "checked",
                                         updateEvent("2.0.0", "2.0.0:\nLater.") }
                                  << none;
    QTest::newRow("no newer release")
        << "/newer" << manifest(apps) << "2.0.0-rc1" << checkedOnly << none;
    QTest::newRow("other application only")
        << "/other" << manifest({ release("3.0.0", "x", false, "OtherApp") }) << "1.0.0"
        << checkedOnly << none;
    QTest::newRow("application name in other case")
        << "/case" << manifest({ release("3.0.0", "x", false, "testapp") }) << "1.0.0"
        << checkedOnly << none;
    QTest::newRow("document name in other case")
        << "/versions" << manifest(apps, "versions.json") << "1.0.0" << none << none;
    QTest::newRow("no document name")
        << "/noname" << HttpServer::Response::json(R"({"apps": []})") << "1.0.0" << none << none;
    QTest::newRow("array root") << "/array"
                                << HttpServer::Response::json(R"([{"name": "Versions.json"}])")
                                << "1.0.0" << none << none;
    QTest::newRow("not JSON") << "/html" << HttpServer::Response::json("<html/>") << "1.0.0" << none
                              << none;
    QTest::newRow("HTTP error")
        << "/gone" << HttpServer::Response::json(QJsonDocument(QJsonObject()).toJson(), 404)
        << "1.0.0" << none
        << QStringList { "(MZUpdater JSON) NAM error  \"Error transferring %1 - server replied: "
                         "Not Found\"" };
    QTest::newRow("invalid address")
        << "http://bad host/Versions.json" << HttpServer::Response() << "1.0.0" << none
        << QStringList { "Cannot download from  \"%1\"  - invalid address" };
}

void tst_Updater::check()
{
    QFETCH(QString, address);
    QFETCH(HttpServer::Response, response);
    QFETCH(QString, current);
    QFETCH(QStringList, events);
    QFETCH(QStringList, warnings);

    const bool onServer = address.startsWith(QLatin1Char('/'));
    const QString url = onServer ? server.url(address) : address;
    server.setResponse(address, response);
    pointAt(url);
    const int before = server.requestCount(address);

    QStringList seen;
    MessageLog log;
    {
        MzUpdater updater(current);
        record(&updater, &seen);
        updater.checkUpdates();
        settle();
    }
    QCOMPARE(seen, events);
    QCOMPARE(MessageLog::take(), warnings.replaceInStrings(QLatin1String("%1"), url));
    QCOMPARE(server.requestCount(address), before + (onServer ? 1 : 0));
}

void tst_Updater::busy()
{
    server.setResponse("/busy", manifest({ release("2.0.0") }));
    pointAt(server.url("/busy"));
    MzUpdater updater("1.0.0");
    QStringList seen;
    record(&updater, &seen);

    updater.checkUpdates();
    QTest::ignoreMessage(QtWarningMsg, "Cannot check for updates - busy");
    updater.checkUpdates();
    settle();
    QCOMPARE(seen, QStringList({ "checked", updateEvent("2.0.0", "") }));
    QCOMPARE(server.requestCount("/busy"), 1);

    // Once delivered, the next check is accepted.
    updater.checkUpdates();
    settle();
    QCOMPARE(seen.count("checked"), 2);
    QCOMPARE(server.requestCount("/busy"), 2);
}

void tst_Updater::returnsAtOnce()
{
    HttpServer::Response held = manifest({ release("2.0.0") });
    held.behaviour = HttpServer::Response::Hold;
    server.setResponse("/held", held);
    pointAt(server.url("/held"));

    MzUpdater updater("1.0.0");
    QStringList seen;
    record(&updater, &seen);
    QSignalSpy available(&updater, &MzUpdater::updateAvailable);
    QElapsedTimer clock;
    clock.start();
    updater.checkUpdates();
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(server.requestCount("/held"), 1);
    QCOMPARE(seen, QStringList());

    server.release("/held");
    QVERIFY(available.wait(10000));
    QCOMPARE(seen, QStringList({ "checked", updateEvent("2.0.0", "") }));
}

void tst_Updater::silentDestructor()
{
    server.setResponse("/idle", manifest({ release("2.0.0") }));
    pointAt(server.url("/idle"));
    MessageLog log;
    delete new MzUpdater("1.0.0"); // never checked

    auto *updater = new MzUpdater("1.0.0");
    QSignalSpy checked(updater, &MzUpdater::checked);
    updater->checkUpdates();
    QVERIFY(checked.wait(10000));
    settle();
    delete updater; // checked and delivered
    QCOMPARE(MessageLog::take(), QStringList());
}

void tst_Updater::destructorWaits()
{
    // Trickled, so that the download is still running when the updater goes.
    HttpServer::Response slow = manifest({ release("2.0.0", "Faster.") });
    slow.trickleMs = 4;
    server.setResponse("/slow", slow);
    pointAt(server.url("/slow"));

    QStringList seen;
    auto *updater = new MzUpdater("1.0.0");
    record(updater, &seen);
    updater->checkUpdates();
    QTRY_COMPARE(server.requestCount("/slow"), 1);
    MessageLog log;
    delete updater;

    const QStringList messages = MessageLog::take();
    QVERIFY(!messages.isEmpty());
    QCOMPARE(messages.count(stillRunning), messages.size());
    QCOMPARE(seen, QStringList({ "checked", updateEvent("2.0.0", "2.0.0:\nFaster.") }));
}

void tst_Updater::deleteFromSlot_data()
{
    QTest::addColumn<bool>("onChecked");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("checked") << true << QStringList { "checked" };
    QTest::newRow("updateAvailable")
        << false << QStringList { "checked", updateEvent("2.0.0", "") };
}

void tst_Updater::deleteFromSlot()
{
    QFETCH(bool, onChecked);
    QFETCH(QStringList, events);

    server.setResponse("/delete", manifest({ release("2.0.0") }));
    pointAt(server.url("/delete"));
    auto *updater = new MzUpdater("1.0.0");
    QPointer<MzUpdater> alive(updater);
    QStringList seen;
    record(updater, &seen);
    const auto remove = [updater] { delete updater; };
    if (onChecked)
        connect(updater, &MzUpdater::checked, remove);
    else
        connect(updater, &MzUpdater::updateAvailable, remove);

    MessageLog log;
    updater->checkUpdates();
    QTRY_VERIFY(alive.isNull());
    settle();
    QCOMPARE(seen, events);
    QCOMPARE(MessageLog::take(), QStringList());
}

void tst_Updater::noResult()
{
    // The watcher of an updater that never checked watches a canceled future.
    MzUpdater updater("1.0.0");
    QStringList seen;
    record(&updater, &seen);
    MessageLog log;
    QVERIFY(QMetaObject::invokeMethod(&updater, "asyncFinished"));
    QCOMPARE(seen, QStringList());
    QCOMPARE(MessageLog::take(), QStringList());
}

void tst_Updater::defaultAddress_data()
{
    QTest::addColumn<QByteArray>("settings");

    QTest::newRow("no settings file") << QByteArray();
    QTest::newRow("empty value") << QByteArray("[URL]\nVersions=\n");
    QTest::newRow("no URL key") << QByteArray("[General]\nName=x\n");
}

void tst_Updater::defaultAddress()
{
    QFETCH(QByteArray, settings);

    // The built-in address must not leave the machine: every request goes to the loopback
    // server as a proxy, which receives the absolute URL and never resolves its host.
    struct ProxyScope
    {
        QNetworkProxy saved = QNetworkProxy::applicationProxy();
        ~ProxyScope() { QNetworkProxy::setApplicationProxy(saved); }
    } proxyScope;
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), server.port()));
    const QString defaultAddress = QStringLiteral(MZUPDATER_DEFAULT_MANIFEST_URL);
    server.setResponse(defaultAddress, manifest({ release("2.0.0") }));
    writeSettings(settings);
    const int before = server.requestCount(defaultAddress);

    QStringList seen;
    MessageLog log;
    {
        MzUpdater updater("1.0.0");
        record(&updater, &seen);
        updater.checkUpdates();
        settle();
    }
    QCOMPARE(server.requestCount(defaultAddress), before + 1);
    QCOMPARE(seen, QStringList({ "checked", updateEvent("2.0.0", "") }));
    QCOMPARE(MessageLog::take(), QStringList());
}

QTEST_GUILESS_MAIN(tst_Updater)
#include "tst_updater.moc"
