#include "manifestbuilder.h"
#include "mzu.h"

#include <QtTest>

using namespace ManifestBuilder;
using MZU::ApplicationInfo;
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
    const ApplicationInfo a { Version("1.0.0-b"), { { "changelog", "b" } } };
    const ApplicationInfo b { Version("1.0.0-b"), { { "changelog", "a" } } };
    const ApplicationInfo c { Version("1.0.0-c"), { { "changelog", "a" } } };
    QVERIFY(a == b && !(a < b) && !(b < a));
    QVERIFY(a < c && !(c < a) && !(a == c));
}

void tst_Catalogue::updateVersion_data()
{
    QTest::addColumn<QJsonArray>("releases"); // of A unless named, in manifest order
    QTest::addColumn<Version>("current");
    QTest::addColumn<Version>("newVersion"); // null when none is found
    QTest::addColumn<QString>("changelog");
    const auto rel = [](const char *version, const char *extra = "{}") {
        return merged({ { "version", version } }, object(extra));
    };
    const auto example = [&](const char *tip) {
        return QJsonArray { rel("1.3.0", "{'changelog':'C'}"), rel("1.1.0", "{'changelog':'A'}"),
            rel("1.2.0", tip) };
    };
    const QString all = "1.3.0:\nC\n1.1.0:\nA";
    const auto row = [](const char *name, const QJsonArray &releases, const char *current,
                         const char *newVersion, const QString &changelog = {}) {
        QTest::newRow(name) << releases << Version(current) << Version(newVersion) << changelog;
    };
    row("worked example", example("{}"), "1.0.0", "1.3.0", all);
    row("tip true", example("{'tip':true}"), "1.0.0", "1.2.0", "1.1.0:\nA");
    row("tip 'true'", example("{'tip':'true'}"), "1.0.0", "1.2.0", "1.1.0:\nA");
    row("tip 'True'", example("{'tip':'True'}"), "1.0.0", "1.3.0", all);
    row("tip 1", example("{'tip':1}"), "1.0.0", "1.3.0", all);
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
    MZU::Catalogue catalogue;
    for (const QJsonValue &value : releases) {
        const QJsonObject entry = value.toObject();
        catalogue.insert(entry["name"].toString("A"),
            { Version(entry["version"].toString()), entry.toVariantHash() });
    }
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
