#include "environment/environment_p.h"
#include "mzu.h"

#include <QtTest>

using MZU::Internal::Platform;

Q_DECLARE_METATYPE(MZU::Internal::Platform)

class tst_Environment : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void osString();
    void platformWord();
    void maintenanceToolPathFor_data();
    void maintenanceToolPathFor();
    void maintenanceToolPath();
};

void tst_Environment::osString()
{
    QCOMPARE(MZU::osString(), "linux-" + QSysInfo::buildCpuArchitecture());
}

void tst_Environment::platformWord()
{
    QCOMPARE(MZU::Internal::platformWord(Platform::Mac), QString("mac"));
    QCOMPARE(MZU::Internal::platformWord(Platform::Linux), QString("linux"));
    QCOMPARE(MZU::Internal::platformWord(Platform::Windows), QString("win"));
}

static const char macTool[] = "MaintenanceTool.app/Contents/MacOS/MaintenanceTool";

void tst_Environment::maintenanceToolPathFor_data()
{
    QTest::addColumn<QStringList>("tree"); // files to create; "link=target" makes a symbolic link
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<Platform>("platform");
    QTest::addColumn<QString>("expected");

    const QString tool = macTool;
    // A tool in each place, so that a wrong choice shows.
    const QStringList both { "Apps/" + tool, "Apps/My.app/Contents/MacOS/" + tool };
    QTest::newRow("mac bundle") << both << "Apps/My.app/Contents/MacOS" << Platform::Mac
                                << "Apps/" + tool;
    QTest::newRow("mac bundle, tool missing")
        << QStringList { "Apps/My.app/Contents/MacOS/" + tool } << "Apps/My.app/Contents/MacOS"
        << Platform::Mac << "Apps/" + tool;
    QTest::newRow("mac plain directory") << both << "Apps" << Platform::Mac << "Apps/" + tool;
    QTest::newRow("mac lower-case macos")
        << QStringList { "Apps/" + tool, "Apps/My.app/Contents/macos/" + tool }
        << "Apps/My.app/Contents/macos" << Platform::Mac << "Apps/My.app/Contents/macos/" + tool;
    QTest::newRow("mac name merely ending in MacOS")
        << QStringList { "a/" + tool, "a/b/c/NotMacOS/" + tool } << "a/b/c/NotMacOS"
        << Platform::Mac << "a/" + tool;
    QTest::newRow("mac symlinked tool")
        << QStringList { "real/Tool", "Apps/" + tool + "=real/Tool" }
        << "Apps/My.app/Contents/MacOS" << Platform::Mac << "real/Tool";
    QTest::newRow("mac symlinked bundle") << QStringList {
        "real.app/Contents/MacOS/MaintenanceTool", "Apps/MaintenanceTool.app=real.app"
    } << "Apps" << Platform::Mac << "real.app/Contents/MacOS/MaintenanceTool";
    QTest::newRow("linux") << QStringList { "bin/MaintenanceTool", "bin/" + tool } << "bin"
                           << Platform::Linux << "bin/MaintenanceTool";
    QTest::newRow("linux, tool missing")
        << QStringList { "bin/x" } << "bin" << Platform::Linux << "bin/MaintenanceTool";
    QTest::newRow("linux ignores bundles")
        << both << "Apps/My.app/Contents/MacOS" << Platform::Linux
        << "Apps/My.app/Contents/MacOS/MaintenanceTool";
    QTest::newRow("linux symlinked tool") << QStringList { "opt/mt", "bin/MaintenanceTool=opt/mt" }
                                          << "bin" << Platform::Linux << "opt/mt";
    QTest::newRow("windows") << QStringList { "bin/MaintenanceTool.exe", "bin/MaintenanceTool" }
                             << "bin" << Platform::Windows << "bin/MaintenanceTool.exe";
    QTest::newRow("windows, tool missing") << QStringList { "bin/MaintenanceTool" } << "bin"
                                           << Platform::Windows << "bin/MaintenanceTool.exe";
}

void tst_Environment::maintenanceToolPathFor()
{
    QFETCH(QStringList, tree);
    QFETCH(QString, appDir);
    QFETCH(Platform, platform);
    QFETCH(QString, expected);

    QTemporaryDir temporary;
    QVERIFY(temporary.isValid());
    const QDir root(QFileInfo(temporary.path()).canonicalFilePath());
    for (const QString &item : tree) {
        const QString path = item.section('=', 0, 0);
        const QString target = item.section('=', 1);
        QVERIFY(root.mkpath(QFileInfo(path).path()));
        if (target.isEmpty()) {
            QFile file(root.filePath(path));
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QFile::link(root.filePath(target), root.filePath(path)));
        }
    }
    QVERIFY(root.mkpath(appDir));

    QCOMPARE(MZU::Internal::maintenanceToolPathFor(root.filePath(appDir), platform),
        root.filePath(expected));
}

void tst_Environment::maintenanceToolPath()
{
    const QString expected = QCoreApplication::applicationDirPath() + "/MaintenanceTool";
    QCOMPARE(MZU::maintenanceToolPath(QCoreApplication::instance()), expected);
    QCOMPARE(MZU::maintenanceToolPath(nullptr), expected); // the argument is not used
}

QTEST_GUILESS_MAIN(tst_Environment)
#include "tst_environment.moc"
