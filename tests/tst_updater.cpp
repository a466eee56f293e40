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

QJsonObject release(const QString &version, const QString &changelog = QString(),
    const QString &name = appName, const QString &os = MZU::osString())
{
    QJsonObject entry { { "name", name }, { "os", os }, { "version", version } };
    if (!changelog.isEmpty())
        entry.insert("changelog", changelog);
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
    QObject::connect(updater, &MzUpdater::checkFailed,
        [events](const QString &reason) { events->append("checkFailed " + reason); });
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
    void cleanupTestCase() { writeSettings(savedSettings); }
    void cleanup() { QNetworkProxy::setApplicationProxy(QNetworkProxy()); }
    void check_data();
    void check();
    void busy();
    void deleteFromSlot_data();
    void deleteFromSlot();
    void noResult();
    void unsignedManifest();

private:
    // Writes the maintenance tool's settings beside the test binary; null: no file.
    void writeSettings(const QByteArray &content);

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

void tst_Updater::writeSettings(const QByteArray &content)
{
    QFile::remove(settingsPath);
    QFile file(settingsPath);
    if (content.isNull())
        return;
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    QVERIFY(file.flush());
    // QSettings keeps a parsed file while its size and time stamp stay the same.
    static QDateTime stamp;
    stamp = qMax(QDateTime::currentDateTime(), stamp.addSecs(1));
    QVERIFY(file.setFileTime(stamp, QFileDevice::FileModificationTime));
}

void tst_Updater::check_data()
{
    QTest::addColumn<QString>("address"); // a path on the server, an address as is, or empty
    QTest::addColumn<QByteArray>("settings"); // %1: the address; null: no file
    QTest::addColumn<HttpServer::Response>("response");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("warnings"); // %1: the address

    const QJsonArray apps { release("1.1.0", "Faster start."),
        release("2.0.0-rc1", "New look.\nDark mode."), release("1.5.0"),
        release("9.0.0", "Not our OS.", appName, "other-os"),
        release("7.0.0", "Not ours.", "OtherApp") };
    const QByteArray pointAt = "[URL]\nVersions=%1\n";
    const QStringList none;
    const QStringList offered { "checked", updateEvent("2.0.0", "") };
    // A failed check logs one warning and emits it as checkFailed's reason.
    const auto failed = [](const QString &warning) {
        return qMakePair(QStringList { "checkFailed " + warning }, QStringList { warning });
    };
    const auto notManifest =
        failed("Cannot read  \"%1\"  - not a \"Versions.json\" document: its root \"name\" is "
               "\"versions.json\"");
    const auto arrayRoot =
        failed("Cannot read  \"%1\"  - not a \"Versions.json\" document: its root is an array");
    const auto httpError = failed("(MZUpdater JSON) NAM error  \"Error transferring %1 - server "
                                  "replied: Not Found\"");
    const auto invalid = failed("Cannot download from  \"%1\"  - invalid address");

    QTest::newRow("update with suffix")
        << "/newer" << pointAt << manifest(apps) << "1.0.0"
        << QStringList { "checked",
               updateEvent(
                   "2.0.0-rc1", "2.0.0-rc1:\nNew look.\nDark mode.\n1.1.0:\nFaster start.") }
        << none;
    QTest::newRow("no newer release") << "/newer" << pointAt << manifest(apps) << "2.0.0-rc1"
                                      << QStringList { "checked" } << none;
    // Null, as before, so every release is newer; but the host is told at construction.
    QTest::newRow("current version not a version")
        << "/newer" << pointAt << manifest({ release("2.0.0") }) << "v2.0.0" << offered
        << QStringList { "Current version  \"v2.0.0\"  is not a version "
                         "(MAJOR.MINOR.PATCH[-suffix]); every release will look newer" };
    QTest::newRow("document name in other case")
        << "/versions" << pointAt << manifest(apps, "versions.json") << "1.0.0" << notManifest.first
        << notManifest.second;
    QTest::newRow("array root") << "/array" << pointAt
                                << HttpServer::Response::json(R"([{"name": "Versions.json"}])")
                                << "1.0.0" << arrayRoot.first << arrayRoot.second;
    QTest::newRow("HTTP error") << "/gone" << pointAt << HttpServer::Response::json("{}", 404)
                                << "1.0.0" << httpError.first << httpError.second;
    QTest::newRow("invalid address")
        << "http://bad host/Versions.json" << pointAt << HttpServer::Response() << "1.0.0"
        << invalid.first << invalid.second;
    // The settings file is UTF-8; an unquoted value with commas is taken as written.
    QTest::newRow("UTF-8 address") << "/caf\u00e9/Versions.json" << pointAt
                                   << manifest({ release("2.0.0") }) << "1.0.0" << offered << none;
    QTest::newRow("address with a comma")
        << "/list?channels=stable, beta" << pointAt << manifest({ release("2.0.0") }) << "1.0.0"
        << offered << none;
    // The built-in address, served by the loopback server as a proxy.
    QTest::newRow("no settings file")
        << "" << QByteArray() << manifest({ release("2.0.0") }) << "1.0.0" << offered << none;
    QTest::newRow("empty value keeps the default")
        << "" << QByteArray("[URL]\nVersions=\n") << manifest({ release("2.0.0") }) << "1.0.0"
        << offered << none;
}

void tst_Updater::check()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, settings);
    QFETCH(HttpServer::Response, response);
    QFETCH(QString, current);
    QFETCH(QStringList, events);
    QFETCH(QStringList, warnings);

    const bool onServer = address.isEmpty() || address.startsWith(QLatin1Char('/'));
    // The built-in address must not leave the machine: every request goes to the loopback
    // server as a proxy, which receives the absolute URL and never resolves its host.
    if (address.isEmpty()) {
        address = QStringLiteral(MZUPDATER_DEFAULT_MANIFEST_URL);
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", server.port()));
    }
    const QString url = address.startsWith(QLatin1Char('/')) ? server.url(address) : address;
    // The target as it goes over the wire, percent-encoded.
    if (address.startsWith(QLatin1Char('/')))
        address = QString::fromLatin1(
            QUrl(url, QUrl::TolerantMode).toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority));
    server.setResponse(address, response);
    writeSettings(settings.isNull() ? settings : settings.replace("%1", url.toUtf8()));
    const int before = server.requestCount(address);

    QStringList seen;
    MessageLog log;
    {
        MzUpdater updater(current);
        record(&updater, &seen);
        updater.checkUpdates();
        settle();
    } // the destructor of a delivered updater is silent
    QCOMPARE(seen, events.replaceInStrings(QLatin1String("%1"), url));
    QCOMPARE(MessageLog::take(), warnings.replaceInStrings(QLatin1String("%1"), url));
    QCOMPARE(server.requestCount(address), before + (onServer ? 1 : 0));
}

void tst_Updater::busy()
{
    server.setResponse("/busy", manifest({ release("2.0.0") }));
    writeSettings("[URL]\nVersions=" + server.url("/busy").toUtf8());
    MzUpdater updater("1.0.0");
    QStringList seen;
    record(&updater, &seen);

    updater.checkUpdates();
    QTest::ignoreMessage(QtWarningMsg, "Cannot check for updates - busy");
    updater.checkUpdates();
    settle();
    QCOMPARE(seen, QStringList({ "checked", updateEvent("2.0.0", "") }));
    QCOMPARE(server.requestCount("/busy"), 1);

    updater.checkUpdates(); // once delivered, the next check is accepted
    settle();
    QCOMPARE(server.requestCount("/busy"), 2);
}

void tst_Updater::deleteFromSlot_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("signal"); // the one whose slot deletes: 0 checked, 1 updateAvailable
    QTest::addColumn<int>("emitted"); // signals recorded, the deleting one included
    QTest::newRow("checked") << "/delete" << 0 << 1;
    QTest::newRow("updateAvailable") << "/delete" << 1 << 2;
    QTest::newRow("checkFailed") << "/nothing-here" << 2 << 1;
}

void tst_Updater::deleteFromSlot()
{
    QFETCH(QString, target);
    QFETCH(int, signal);
    QFETCH(int, emitted);

    server.setResponse("/delete", manifest({ release("2.0.0") }));
    writeSettings("[URL]\nVersions=" + server.url(target).toUtf8());
    auto *updater = new MzUpdater("1.0.0");
    QPointer<MzUpdater> alive(updater);
    QStringList seen;
    record(updater, &seen);
    const auto remove = [updater] { delete updater; };
    if (signal == 0)
        connect(updater, &MzUpdater::checked, remove);
    else if (signal == 1)
        connect(updater, &MzUpdater::updateAvailable, remove);
    else
        connect(updater, &MzUpdater::checkFailed, remove);

    MessageLog log;
    updater->checkUpdates();
    QTRY_VERIFY(alive.isNull());
    settle();
    QCOMPARE(seen.size(), emitted); // updateAvailable only when still alive
    QVERIFY(!MessageLog::take().contains("Updagter async task is still running - wait"));
}

// The watcher of an updater that never checked watches a canceled future; its destructor
// has nothing to wait for.
void tst_Updater::noResult()
{
    QStringList seen;
    MessageLog log;
    {
        MzUpdater updater("1.0.0");
        record(&updater, &seen);
        QVERIFY(QMetaObject::invokeMethod(&updater, "asyncFinished"));
    }
    QCOMPARE(seen, QStringList());
    QCOMPARE(MessageLog::take(), QStringList());
}

// A host that trusts a key hears why an unsigned manifest was refused.
void tst_Updater::unsignedManifest()
{
    QFile publicKey(QStringLiteral(MZUPDATER_TEST_DATA "/signature/a.pub"));
    QVERIFY(publicKey.open(QIODevice::ReadOnly));
    QVERIFY(MZU::setTrustedKeys({ QString::fromLatin1(publicKey.readAll().split('\n').value(1)) }));
    server.setResponse("/unsigned", manifest({ release("2.0.0") }));
    writeSettings("[URL]\nVersions=" + server.url("/unsigned").toUtf8() + "\n");

    QStringList seen;
    MessageLog log;
    {
        MzUpdater updater("1.0.0");
        record(&updater, &seen);
        updater.checkUpdates();
        settle();
    }
    QVERIFY(MZU::setTrustedKeys({}));
    const QStringList warnings = MessageLog::take();
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().contains("signature missing"), qPrintable(warnings.first()));
    QCOMPARE(seen, QStringList { "checkFailed " + warnings.first() });
}

QTEST_GUILESS_MAIN(tst_Updater)
#include "tst_updater.moc"
