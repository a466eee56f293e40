#include "manifest/manifest_p.h"
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
    void getApplications_data();
    void getApplications();
    void valuesHoldEveryMember();
    void compareIgnoresValues();
    void updateVersion_data();
    void updateVersion();
};

// "name version" for each release, sorted: the catalogue's order carries no meaning.
static QStringList describe(const MZU::Catalogue &catalogue)
{
    QStringList lines;
    for (auto it = catalogue.begin(); it != catalogue.end(); ++it)
        lines << it.key() + ' ' + it.value().version.toString();
    lines.sort();
    return lines;
}

void tst_Catalogue::getApplications_data()
{
    QTest::addColumn<QJsonDocument>("manifest");
    QTest::addColumn<QStringList>("releases");
    const auto row = [](const char *name, const QJsonDocument &manifest,
                         const QStringList &releases) {
        QTest::newRow(name) << manifest << releases;
    };
    const auto rel = [](const QJsonValue &version) { return release("A", "@os", version); };
    const QJsonValue missing(QJsonValue::Undefined);
    const QJsonObject good = rel("1.0.0");

    row("null document", QJsonDocument(), {});
    row("empty object", QJsonDocument(QJsonObject()), {});
    row("root array", QJsonDocument(QJsonArray { good }), {});
    row("apps an object", QJsonDocument(QJsonObject { { "apps", good } }), {});
    row("non-objects in apps", manifest({ 1, "x", QJsonValue(), QJsonArray { good }, good }),
        { "A 1.0.0" });
    row("other os",
        manifest({ release("A", "@OS", "1.0.0"), release("A", "@os ", "1.1.0"),
            release("A", "mac-x86_64-other", "1.2.0"), release("A", "@os", "1.3.0") }),
        { "A 1.3.0" });
    row("os not a string",
        manifest({ release("A", QJsonArray { "@os" }, "1.0.0"), release("A", 1, "1.1.0"),
            release("A", QJsonValue(), "1.2.0"), release("A", object("{'name':'@os'}"), "1.3.0") }),
        {});
    row("application entry with os array",
        manifest({ application("A", { system("@os", QJsonArray { file("1.0.0") }) }),
            merged(application("B", { system("@os", QJsonArray()) }),
                object("{'version':'1.0.0'}")) }),
        {});
    row("versions",
        manifest({ rel("1.2"), rel("0.0.0"), rel("v1.0.0"), rel(1), rel(true), rel(missing),
            rel("0.0.0-x"), rel("1.0.0"), rel("1.0.0-rc1") }),
        { "A 1.0.0", "A 1.0.0-rc1" });
    row("names",
        manifest({ release(missing, "@os", "1.0.0"), release("", "@os", "1.0.0"),
            release(7, "@os", "1.0.0"), release(true, "@os", "1.0.0"),
            release(QJsonArray { "A" }, "@os", "1.0.0") }),
        {});
    row("duplicates kept", manifest({ good, good, rel("1.0.0-x") }),
        { "A 1.0.0", "A 1.0.0", "A 1.0.0-x" });
    row("letter case keys",
        manifest({ release("App", "@os", "1.0.0"), release("app", "@os", "1.1.0"),
            release("APP", "@os", "1.2.0") }),
        { "APP 1.2.0", "App 1.0.0", "app 1.1.0" });
    row("root name other", manifest({ good }, "Other.json"), { "A 1.0.0" });
    row("root name absent", QJsonDocument(QJsonObject { { "apps", QJsonArray { good } } }),
        { "A 1.0.0" });
}

void tst_Catalogue::getApplications()
{
    QFETCH(QJsonDocument, manifest);
    QFETCH(QStringList, releases);

    for (const QString os : { "mac-arm64", "win-x86_64" })
        QCOMPARE(describe(MZU::Internal::getApplications(forOs(manifest, os), os)), releases);
    QCOMPARE(describe(MZU::getApplications(forOs(manifest, MZU::osString()))), releases);
    // No entry is written for any other system.
    QVERIFY(MZU::Internal::getApplications(forOs(manifest, "linux-x86_64"), "mac-arm64").isEmpty());
}

void tst_Catalogue::valuesHoldEveryMember()
{
    const QJsonObject entry = release("A", MZU::osString(), "1.0.0-rc1",
        object("{'changelog':'x','tip':true,'n':1.5,'nothing':null,'list':[1,'a'],'o':{'k':'v'}}"));
    const MZU::Catalogue catalogue = MZU::getApplications(manifest({ entry }));
    QCOMPARE(catalogue.size(), 1);
    const ApplicationInfo info = catalogue.value("A");
    QCOMPARE(info.version.toString(), QString("1.0.0-rc1"));
    QCOMPARE(info.values.size(), 9);
    QCOMPARE(info.values, entry.toVariantHash());
}

void tst_Catalogue::compareIgnoresValues()
{
    // Values that would order the other way round if they were compared.
    const ApplicationInfo a { Version("1.0.0-b"), { { "changelog", "b" }, { "x", 2 } } };
    const ApplicationInfo b { Version("1.0.0-b"), { { "changelog", "a" } } };
    const ApplicationInfo c { Version("1.0.0-c"), { { "changelog", "a" } } };
    QVERIFY(a == b && b == a);
    QVERIFY(!(a < b) && !(b < a));
    QVERIFY(a < c && !(c < a) && !(a == c));
}

void tst_Catalogue::updateVersion_data()
{
    QTest::addColumn<QJsonArray>("releases"); // release entries; "name" defaults to A
    QTest::addColumn<QString>("name");
    QTest::addColumn<Version>("current");
    QTest::addColumn<bool>("found");
    QTest::addColumn<Version>("newVersion");
    QTest::addColumn<QString>("changelog");

    const auto rel = [](const char *version, const char *extra = "{}") {
        return merged(QJsonObject { { "version", version } }, object(extra));
    };
    const auto example = [&](const char *tip) {
        return QJsonArray { rel("1.3.0", "{'changelog':'C'}"), rel("1.1.0", "{'changelog':'A'}"),
            rel("1.2.0", tip) };
    };
    const QString all = "1.3.0:\nC\n1.1.0:\nA";
    const QString none;
    const auto row = [](const char *name, const QJsonArray &releases, const char *current,
                         bool found, const char *newVersion, const QString &changelog,
                         const QString &app = "A") {
        QTest::newRow(name) << releases << app << Version(current) << found << Version(newVersion)
                            << changelog;
    };
    row("empty catalogue", {}, "1.0.0", false, "0.0.0", none);
    row("name differs in case", example("{}"), "1.0.0", false, "0.0.0", none, "a");
    row("worked example", example("{}"), "1.0.0", true, "1.3.0", all);
    row("tip true", example("{'tip':true}"), "1.0.0", true, "1.2.0", "1.1.0:\nA");
    row("tip 'true'", example("{'tip':'true'}"), "1.0.0", true, "1.2.0", "1.1.0:\nA");
    row("tip 'True'", example("{'tip':'True'}"), "1.0.0", true, "1.3.0", all);
    row("tip 1", example("{'tip':1}"), "1.0.0", true, "1.3.0", all);
    row("tip false", example("{'tip':false}"), "1.0.0", true, "1.3.0", all);
    row("tip equal to current", example("{'tip':true}"), "1.2.0", true, "1.3.0", "1.3.0:\nC");
    row("tip below current", example("{'tip':true}"), "1.2.5", true, "1.3.0", "1.3.0:\nC");
    row("current is newest", example("{}"), "1.3.0", false, "0.0.0", none);
    row("current above all", example("{}"), "2.0.0", false, "0.0.0", none);
    row("equal release skipped", { rel("1.0.0", "{'changelog':'same','tip':true}") }, "1.0.0",
        false, "0.0.0", none);
    row("hotfix is newer", { rel("1.2.3-hotfix", "{'changelog':'H'}") }, "1.2.3", true,
        "1.2.3-hotfix", "1.2.3-hotfix:\nH");
    row("plain is older than beta", { rel("1.2.3") }, "1.2.3-beta", false, "0.0.0", none);
    row("suffix sorts last",
        { rel("1.1.0-rc1", "{'changelog':'R'}"), rel("1.1.0", "{'changelog':'F'}") }, "1.0.0", true,
        "1.1.0-rc1", "1.1.0-rc1:\nR\n1.1.0:\nF");
    row("no change logs", { rel("1.1.0"), rel("1.2.0", "{'changelog':''}") }, "1.0.0", true,
        "1.2.0", "");
    row("trailing newline",
        { rel("1.1.0", "{'changelog':'A\\n'}"), rel("1.2.0", "{'changelog':'B\\n'}") }, "1.0.0",
        true, "1.2.0", "1.2.0:\nB\n\n1.1.0:\nA\n");
    row("change log as number", { rel("1.1.0", "{'changelog':2}") }, "1.0.0", true, "1.1.0",
        "1.1.0:\n2");
    row("other application ignored",
        { merged(rel("9.0.0", "{'changelog':'B'}"), object("{'name':'B'}")), rel("1.1.0") },
        "1.0.0", true, "1.1.0", "");
}

void tst_Catalogue::updateVersion()
{
    QFETCH(QJsonArray, releases);
    QFETCH(QString, name);
    QFETCH(Version, current);
    QFETCH(bool, found);
    QFETCH(Version, newVersion);
    QFETCH(QString, changelog);

    MZU::Catalogue catalogue;
    for (const QJsonValue &value : qAsConst(releases)) {
        const QJsonObject entry = value.toObject();
        catalogue.insert(entry.value("name").toString("A"),
            { Version(entry.value("version").toString()), entry.toVariantHash() });
    }
    // Stale out-parameters must be overwritten.
    Version resultVersion("9.9.9-stale");
    QString resultLog = "stale";
    QCOMPARE(MZU::updateVersion(catalogue, name, current, resultVersion, resultLog), found);
    QCOMPARE(resultVersion, newVersion);
    QCOMPARE(resultLog, changelog);
    if (!found)
        QVERIFY(resultLog.isNull());
}

QTEST_APPLESS_MAIN(tst_Catalogue)
#include "tst_catalogue.moc"
