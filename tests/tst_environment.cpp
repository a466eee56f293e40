// SPDX-License-Identifier: MIT
#include "environment/environment_p.h"
#include "mzu.h"

#include <QtTest>

using MZU::Internal::Platform;

Q_DECLARE_METATYPE(MZU::Internal::Platform)

class tst_Environment : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void maintenanceToolPath();
    void maintenanceToolPathFor_data();
    void maintenanceToolPathFor();
};

// The tool's place here. (The platform words are held by the lint's tables.)
void tst_Environment::maintenanceToolPath()
{
    QCOMPARE(MZU::maintenanceToolPath(nullptr),
        QCoreApplication::applicationDirPath() + "/MaintenanceTool");
}

void tst_Environment::maintenanceToolPathFor_data()
{
    QTest::addColumn<QStringList>("tree"); // files to create; "link=target" makes a symbolic link
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<Platform>("platform");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const QStringList &tree, const QString &appDir,
                         Platform platform, const QString &expected) {
        QTest::newRow(name) << tree << appDir << platform << expected;
    };
    const QString tool = "MaintenanceTool.app/Contents/MacOS/MaintenanceTool";
    const QString bundle = "Apps/My.app/Contents/MacOS";
    // A tool in each place, so that a wrong choice shows.
    const QStringList both { "Apps/" + tool, bundle + "/" + tool };
    row("mac bundle", both, bundle, Platform::Mac, "Apps/" + tool);
    row("mac bundle, tool missing", { bundle + "/" + tool }, bundle, Platform::Mac, "Apps/" + tool);
    row("mac lower-case macos", { "Apps/" + tool, "Apps/My.app/Contents/macos/" + tool },
        "Apps/My.app/Contents/macos", Platform::Mac, "Apps/My.app/Contents/macos/" + tool);
    row("mac name merely ending in MacOS", { "a/" + tool, "a/b/c/NotMacOS/" + tool },
        "a/b/c/NotMacOS", Platform::Mac, "a/" + tool);
    row("mac symlinked tool", { "real/Tool", "Apps/" + tool + "=real/Tool" }, bundle, Platform::Mac,
        "real/Tool");
    row("linux ignores bundles", { "Apps/" + tool, bundle + "/MaintenanceTool" }, bundle,
        Platform::Linux, bundle + "/MaintenanceTool");
    row("windows", { "bin/MaintenanceTool.exe", "bin/MaintenanceTool" }, "bin", Platform::Windows,
        "bin/MaintenanceTool.exe");
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
        QFile file(root.filePath(item.section('=', 0, 0)));
        QVERIFY(root.mkpath(QFileInfo(file).path()));
        QVERIFY(item.contains('=')
                ? QFile::link(root.filePath(item.section('=', 1)), file.fileName())
                : file.open(QIODevice::WriteOnly));
    }
    QVERIFY(root.mkpath(appDir));
    QCOMPARE(MZU::Internal::maintenanceToolPathFor(root.filePath(appDir), platform),
        root.filePath(expected));
}

QTEST_GUILESS_MAIN(tst_Environment)
#include "tst_environment.moc"
