// SPDX-License-Identifier: MIT
#include "manifest/manifest_p.h"
#include "manifestbuilder.h"

#include <QtTest>

using namespace ManifestBuilder;
using MZU::Version;

class tst_Catalogue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void compareIgnoresValues();
    void updateVersion_data();
    void updateVersion();
};

void tst_Catalogue::compareIgnoresValues()
{
    // Values that would order the other way round if they were compared.
    const MZU::ApplicationInfo a { Version("1.0.0-b"), { { "changelog", "b" } } };
    const MZU::ApplicationInfo b { Version("1.0.0-b"), { { "changelog", "a" } } };
    QVERIFY(a == b && !(a < b) && !(b < a));
}

void tst_Catalogue::updateVersion_data()
{
    QTest::addColumn<QJsonArray>("releases"); // of A unless named
    QTest::addColumn<Version>("current");
    QTest::addColumn<Version>("newVersion"); // null when none is found
    QTest::addColumn<QString>("changelog");
    const auto rel = [](const char *version, const char *extra = "{}") {
        return release("A", "os", version, object(extra));
    };
    const auto example = [&](const char *tip) {
        return QJsonArray { rel("1.3.0", "{'changelog':'C'}"), rel("1.1.0", "{'changelog':'A'}"),
            rel("1.2.0", tip) };
    };
    const auto row = [](const char *name, const QJsonArray &releases, const char *current,
                         const char *newVersion, const QString &changelog = {}) {
        QTest::newRow(name) << releases << Version(current) << Version(newVersion) << changelog;
    };
    row("tip true", example("{'tip':true}"), "1.0.0", "1.2.0", "1.1.0:\nA");
    row("tip only when 'true'",
        { rel("1.1.0", "{'tip':'True'}"), rel("1.2.0", "{'tip':1}"), rel("1.3.0", "{'tip':'true'}"),
            rel("1.4.0") },
        "1.0.0", "1.3.0");
    row("tip equal to current", example("{'tip':true}"), "1.2.0", "1.3.0", "1.3.0:\nC");
    row("current is newest", example("{}"), "1.3.0", "0.0.0");
    row("suffix sorts last",
        { rel("1.1.0-rc1", "{'changelog':'R'}"), rel("1.1.0", "{'changelog':'F'}") }, "1.0.0",
        "1.1.0-rc1", "1.1.0-rc1:\nR\n1.1.0:\nF");
    row("empty change logs", { rel("1.1.0"), rel("1.2.0", "{'changelog':''}") }, "1.0.0", "1.2.0");
    row("texts as they are",
        { rel("1.1.0", "{'changelog':'A\\n'}"), rel("1.2.0", "{'changelog':2}") }, "1.0.0", "1.2.0",
        "1.2.0:\n2\n1.1.0:\nA\n");
    row("other names ignored, case too",
        { rel("1.1.0", "{'name':'B'}"), rel("1.2.0", "{'name':'a'}"), rel("1.0.5") }, "1.0.0",
        "1.0.5");
}

void tst_Catalogue::updateVersion()
{
    QFETCH(QJsonArray, releases);
    QFETCH(Version, current);
    QFETCH(Version, newVersion);
    QFETCH(QString, changelog);
    const MZU::Catalogue catalogue = MZU::Internal::getApplications(manifest(releases), "os");
    Version resultVersion("9.9.9-stale");
    QString resultLog = "stale";
    QCOMPARE(MZU::updateVersion(catalogue, "A", current, resultVersion, resultLog),
        !newVersion.isNull());
    QCOMPARE(resultVersion, newVersion);
    QCOMPARE(resultLog, changelog);
    QCOMPARE(resultLog.isNull(), changelog.isEmpty());
}

QTEST_APPLESS_MAIN(tst_Catalogue)
#include "tst_catalogue.moc"
