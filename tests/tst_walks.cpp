#include "manifest/manifest_p.h"
#include "manifestbuilder.h"
#include "mzu.h"

#include <QtTest>

using namespace ManifestBuilder;
using MZU::Version;
using MZU::Internal::Skip;

class tst_Walks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void finding_data();
    void finding();
    void fileEntries_data();
    void fileEntries();
    void fileValuesHoldEveryMember();
    void isValid_data();
    void isValid();
    void settingEntries_data();
    void settingEntries();
    void observer_data();
    void observer();
};

static QStringList describe(const QList<MZU::UpdateFile> &files)
{
    QStringList lines;
    for (const MZU::UpdateFile &file : files)
        lines << file.version.toString() + ' ' + file.values.value("filename").toString();
    return lines;
}

static QStringList describe(const QList<MZU::SettingValue> &settings)
{
    QStringList lines;
    for (const MZU::SettingValue &setting : settings)
        lines << QStringList { setting.version.toString(), setting.key, setting.type,
            setting.value }
                     .join('|');
    return lines;
}

// Runs a walk for other systems through the internal function and for this one through
// the public function; all must agree.
template <typename Walk, typename PublicWalk>
static void checkAllSystems(const QJsonDocument &manifest, const QString &appName,
    const Version &from, const Version &to, const QStringList &expected, Walk walk,
    PublicWalk publicWalk)
{
    for (const QString os : { "mac-arm64", "win-x86_64" })
        QCOMPARE(describe(walk(forOs(manifest, os), appName, from, to, os, nullptr)), expected);
    QCOMPARE(describe(publicWalk(forOs(manifest, MZU::osString()), appName, from, to)), expected);
}

// Finding the application and OS entry, the same for both walks. The OS entry holds one
// file and one setting of version 1.1.0; a second entry for the system holds 1.2.0.
void tst_Walks::finding_data()
{
    QTest::addColumn<QJsonDocument>("manifest");
    QTest::addColumn<QString>("appName");
    QTest::addColumn<QString>("found"); // the version found, or empty

    const auto ours = [](const char *version, const QJsonValue &name = "@os") {
        return system(name, QJsonArray { file(version) }, QJsonArray { setting(version, "k") });
    };
    const QJsonObject app = application("A", { ours("1.1.0") });
    const auto row = [](const char *name, const QJsonDocument &manifest, const char *found,
                         const QString &appName = "A") {
        QTest::newRow(name) << manifest << appName << QString(found);
    };
    row("found", manifest({ app }), "1.1.0");
    row("null document", QJsonDocument(), "");
    row("root array", QJsonDocument(QJsonArray { app }), "");
    row("apps an object", QJsonDocument(QJsonObject { { "apps", app } }), "");
    row("other apps first", manifest({ "x", application("B", { ours("1.2.0") }), app }), "1.1.0");
    row("app name case", manifest({ app }), "", "a");
    row("first app entry only", manifest({ application("A", { ours("1.2.0", "other") }), app }),
        "");
    row("app entry without os", manifest({ object("{'name':'A'}"), app }), "");
    row("release entry first", manifest({ release("A", "@os", "1.0.0"), app }), "");
    row("empty name matches missing name",
        manifest({ app, object("{'os':[]}"), application("", { ours("1.2.0") }) }), "", "");
    row("empty name matches empty name", manifest({ app, application("", { ours("1.2.0") }) }),
        "1.2.0", "");
    row("empty name matches non-string name",
        manifest({ app, application(5, { ours("1.2.0") }), application("", { ours("1.1.0") }) }),
        "1.2.0", "");
    row("empty name matches non-object", manifest({ app, 3, application("", { ours("1.2.0") }) }),
        "", "");
    row("other systems first",
        manifest({ application(
            "A", { ours("1.2.0", "win-x86_64-x"), ours("1.2.0", "@os-x"), ours("1.1.0") }) }),
        "1.1.0");
    row("os name case", manifest({ application("A", { ours("1.1.0", "@OS") }) }), "");
    row("os name not a string",
        manifest({ application("A", { ours("1.1.0", QJsonArray { "@os" }), ours("1.2.0", 1) }) }),
        "");
    row("first os entry only",
        manifest({ application(
            "A", { system("@os", QJsonValue(QJsonValue::Undefined)), ours("1.2.0") }) }),
        "");
    row("first os entry only, empty lists",
        manifest(
            { application("A", { system("@os", QJsonArray(), QJsonArray()), ours("1.2.0") }) }),
        "");
    row("lists not arrays", manifest({ application("A", { system("@os", file("1.1.0"), "x") }) }),
        "");
    row("two os entries, first used",
        manifest({ application("A", { ours("1.1.0"), ours("1.2.0") }) }), "1.1.0");
}

void tst_Walks::finding()
{
    QFETCH(QJsonDocument, manifest);
    QFETCH(QString, appName);
    QFETCH(QString, found);
    const Version from;
    const Version to("9.0.0");
    const QStringList none;
    checkAllSystems(manifest, appName, from, to, found.isEmpty() ? none : QStringList(found + " f"),
        MZU::Internal::getFileUpdates, MZU::getFileUpdates);
    checkAllSystems(manifest, appName, from, to,
        found.isEmpty() ? none : QStringList(found + "|k||"), MZU::Internal::getSettingUpdates,
        MZU::getSettingUpdates);
}

void tst_Walks::fileEntries_data()
{
    QTest::addColumn<QJsonArray>("files");
    QTest::addColumn<Version>("from");
    QTest::addColumn<Version>("to");
    QTest::addColumn<QStringList>("expected");

    const QJsonArray four { file("1.0.0"), file("1.1.0"), file("1.2.0"), file("1.3.0") };
    const auto row = [](const char *name, const QJsonArray &files, const char *from, const char *to,
                         const QStringList &expected) {
        QTest::newRow(name) << files << Version(from) << Version(to) << expected;
    };
    const auto with = [](const char *version, const char *extra) {
        return file(version, "f", object(extra));
    };
    row("window", four, "1.0.0", "1.2.0", { "1.1.0 f", "1.2.0 f" });
    row("from equals to", four, "1.1.0", "1.1.0", {});
    row("from above to", four, "1.2.0", "1.0.0", {});
    row("from null", four, "0.0.0", "1.2.0", { "1.0.0 f", "1.1.0 f", "1.2.0 f" });
    row("manifest order", { file("1.2.0"), file("1.1.0") }, "1.0.0", "1.2.0",
        { "1.2.0 f", "1.1.0 f" });
    row("nothing merged", { file("1.1.0", "a"), file("1.2.0", "a"), file("1.2.0", "a") }, "1.0.0",
        "1.2.0", { "1.1.0 a", "1.2.0 a", "1.2.0 a" });
    row("suffixes", { file("1.0.0-x"), file("1.2.0-rc1"), file("1.1.0-b") }, "1.0.0", "1.2.0",
        { "1.0.0-x f", "1.1.0-b f" });
    row("null versions",
        { file("1.2"), file(""), file(12), file("0.0.0"), file("0.0.0-x"),
            with("1.1.0", "{'version':null}"), file("1.1.0") },
        "0.0.0", "2.0.0", { "1.1.0 f" });
    row("non-objects", { "1.1.0", QJsonArray { file("1.1.0") }, 3, QJsonValue(), file("1.1.0") },
        "1.0.0", "2.0.0", { "1.1.0 f" });
    row("incomplete dropped",
        { with("1.1.0", "{'location':''}"), without(file("1.1.0", "a"), "location"),
            with("1.1.0", "{'url':''}"), with("1.1.0", "{'url':'http://h:port/'}"),
            file("1.1.0", ""), with("1.1.0", "{'filename':null}"), file("1.1.0", "b") },
        "1.0.0", "2.0.0", { "1.1.0 b" });
    row("tolerant", { with("1.1.0", "{'filename':7}"), with("1.1.0", "{'url':'dir/set up.zip'}") },
        "1.0.0", "2.0.0", { "1.1.0 7", "1.1.0 f" });
}

void tst_Walks::fileEntries()
{
    QFETCH(QJsonArray, files);
    QFETCH(Version, from);
    QFETCH(Version, to);
    QFETCH(QStringList, expected);
    const QJsonDocument document = manifest({ application("A", { system("@os", files) }) });
    checkAllSystems(
        document, "A", from, to, expected, MZU::Internal::getFileUpdates, MZU::getFileUpdates);
}

void tst_Walks::fileValuesHoldEveryMember()
{
    const QJsonObject entry =
        file("1.1.0-hotfix", "f", object("{'sha1':'ab','size':3,'x':[null]}"));
    const auto files = MZU::getFileUpdates(
        manifest({ application("A", { system(MZU::osString(), QJsonArray { entry }) }) }), "A",
        Version("1.0.0"), Version("2.0.0"));
    QCOMPARE(files.size(), 1);
    QCOMPARE(files.at(0).version, Version("1.1.0-hotfix"));
    QCOMPARE(files.at(0).values.size(), 7);
    QCOMPARE(files.at(0).values, entry.toVariantHash());
}

void tst_Walks::isValid_data()
{
    using MZU::Internal::FileCheck;
    QTest::addColumn<MZU::UpdateFile>("file");
    QTest::addColumn<int>("check"); // the first rule broken
    const auto row = [](const char *name, const char *version, const char *values,
                         FileCheck check) {
        QTest::newRow(name) << MZU::UpdateFile { Version(version), object(values).toVariantHash() }
                            << int(check);
    };
    const char *complete = "{'filename':'f','location':'l','url':'http://example.com/f'}";
    QTest::newRow("default") << MZU::UpdateFile() << int(FileCheck::NoFilename);
    row("complete", "1.0.0", complete, FileCheck::Valid);
    row("version ignored in values", "1.0.0",
        "{'version':'0.0.0','filename':'f','location':'l','url':'u'}", FileCheck::Valid);
    row("numeric filename", "1.0.0", "{'filename':7,'location':true,'url':'u'}", FileCheck::Valid);
    row("null version", "0.0.0", complete, FileCheck::NullVersion);
    row("no filename before null version", "0.0.0", "{'filename':[],'location':'l','url':'u'}",
        FileCheck::NoFilename);
    row("null version before location", "0.0.0-x", "{'filename':'f','url':'u'}",
        FileCheck::NullVersion);
    row("no location", "1.0.0", "{'filename':'f','location':{},'url':'u'}", FileCheck::NoLocation);
    row("location before url", "1.0.0", "{'filename':'f','location':'','url':''}",
        FileCheck::NoLocation);
    row("no url", "1.0.0", "{'filename':'f','location':'l'}", FileCheck::BadUrl);
    row("empty url", "1.0.0", "{'filename':'f','location':'l','url':''}", FileCheck::BadUrl);
    row("bad port", "1.0.0", "{'filename':'f','location':'l','url':'http://h:port/'}",
        FileCheck::BadUrl);
    row("bad host", "1.0.0", "{'filename':'f','location':'l','url':'http://[::1/'}",
        FileCheck::BadUrl);
    row("relative with space", "1.0.0", "{'filename':'f','location':'l','url':'a/b c.zip'}",
        FileCheck::Valid);
}

void tst_Walks::isValid()
{
    QFETCH(MZU::UpdateFile, file);
    QFETCH(int, check);
    QCOMPARE(int(MZU::Internal::checkFile(file)), check);
    QCOMPARE(file.isValid(), check == int(MZU::Internal::FileCheck::Valid));
}

void tst_Walks::settingEntries_data()
{
    QTest::addColumn<QJsonArray>("settings");
    QTest::addColumn<Version>("from");
    QTest::addColumn<Version>("to");
    QTest::addColumn<QStringList>("expected"); // version|key|type|value

    const auto row = [](const char *name, const QJsonArray &settings, const char *from,
                         const char *to, const QStringList &expected) {
        QTest::newRow(name) << settings << Version(from) << Version(to) << expected;
    };
    const QJsonValue none(QJsonValue::Undefined);
    const QJsonArray five { setting("0.9.0", "a"), setting("1.0.0", "b"), setting("1.1.0", "c"),
        setting("1.2.0", "d"), setting("1.2.1", "e") };
    row("window", five, "1.0.0", "1.2.0", { "1.1.0|c||", "1.2.0|d||" });
    row("from equals to", five, "1.1.0", "1.1.0", {});
    row("from above to", five, "1.2.0", "1.0.0", {});
    row("null versions",
        { setting(none, "a"), setting("0.0.0", "b"), setting("1.2", "c"), setting(1, "d"),
            setting("x", "e"), setting("0.0.0-x", "f") },
        "0.0.0", "9.0.0", {});
    row("keys",
        { setting("1.1.0", none), setting("1.1.0", ""), setting("1.1.0", 5),
            setting("1.1.0", "k") },
        "1.0.0", "2.0.0", { "1.1.0|k||" });
    row("texts",
        { setting("1.1.0-b", "k", "int", "5"), setting("1.1.0", "n", none, 5),
            setting("1.1.0", "b", true, false), setting("1.1.0", "o", QJsonValue(), object("{}")) },
        "1.0.0", "2.0.0", { "1.1.0-b|k|int|5", "1.1.0|n||", "1.1.0|b||", "1.1.0|o||" });
    row("non-objects", { 1, "x", QJsonArray { setting("1.1.0", "a") }, setting("1.1.0", "b") },
        "1.0.0", "2.0.0", { "1.1.0|b||" });
    row("same key twice", { setting("1.2.0", "k", "t", "new"), setting("1.1.0", "k", "t", "old") },
        "1.0.0", "1.2.0", { "1.2.0|k|t|new", "1.1.0|k|t|old" });
}

void tst_Walks::settingEntries()
{
    QFETCH(QJsonArray, settings);
    QFETCH(Version, from);
    QFETCH(Version, to);
    QFETCH(QStringList, expected);
    const QJsonDocument document =
        manifest({ application("A", { system("@os", QJsonArray(), settings) }) });
    checkAllSystems(document, "A", from, to, expected, MZU::Internal::getSettingUpdates,
        MZU::getSettingUpdates);
}

// Writes down every report as one line: walk, reason, app, os, entry and member.
class Recorder : public MZU::Internal::WalkObserver
{
public:
    void skipped(Skip reason, const MZU::Internal::WalkPlace &place) override
    {
        static const QStringList names { "NotObject", "OtherOs", "EmptyName", "NullVersion",
            "OutsideWindow", "NoFilename", "NoLocation", "BadUrl", "EmptyKey", "NotText" };
        lines << QString("%1 %2 %3 %4 %5 %6")
                     .arg(int(place.walk))
                     .arg(names.value(int(reason), QString::number(int(reason))))
                     .arg(place.app)
                     .arg(place.os)
                     .arg(place.entry)
                     .arg(place.member)
                     .trimmed();
    }
    void entered(MZU::Internal::Walk walk, int app, int os) override
    {
        lines << QString("%1 entered %2 %3").arg(int(walk)).arg(app).arg(os);
    }
    QStringList lines;
};

void tst_Walks::observer_data()
{
    QTest::addColumn<int>("walk"); // 0 releases, 1 files, 2 settings
    QTest::addColumn<QJsonDocument>("manifest");
    QTest::addColumn<QStringList>("reports");
    QTest::addColumn<int>("kept");
    const auto row = [](const char *name, int walk, const char *apps, const QStringList &reports,
                         int kept) {
        QTest::newRow(name) << walk << manifest(json(apps).toArray()) << reports << kept;
    };
    row("releases", 0,
        "[1, {'name':'A','os':'other','version':'1.0.0'}, {'os':'os','version':'1.0.0'},"
        " {'name':'A','os':'os','version':'1.2'}, {'name':'A','os':'os','version':'1.0.0'}]",
        { "0 NotObject 0 -1 -1", "0 OtherOs 1 -1 -1", "0 EmptyName 2 -1 -1",
            "0 NullVersion 3 -1 -1" },
        1);
    row("files", 1,
        "[{'name':'B'}, {'name':'A','os':[{'name':'x','files':[]}, {'name':'os','files':["
        " 'x', {'version':'0.0.0'}, {'version':'3.0.0'}, {'version':'1.1.0','filename':''},"
        " {'version':'1.1.0','filename':'f','url':'u'},"
        " {'version':'1.1.0','filename':'f','location':'l'},"
        " {'version':'1.1.0','filename':'f','location':'l','url':'u'}]}]}]",
        { "1 entered 1 1", "1 NotObject 1 1 0", "1 NullVersion 1 1 1", "1 OutsideWindow 1 1 2",
            "1 NoFilename 1 1 3", "1 NoLocation 1 1 4", "1 BadUrl 1 1 5" },
        1);
    row("settings", 2,
        "[{'name':'A','os':[{'name':'os','settings':['x', {'version':'x','key':'k'},"
        " {'version':'1.0.0','key':'k'}, {'version':'1.1.0','key':'k','type':1,'value':'v'},"
        " {'version':'1.1.0','key':2,'type':'t','value':null}, {'version':'1.1.0','key':'k'}]}]}]",
        { "2 entered 0 0", "2 NotObject 0 0 0", "2 NullVersion 0 0 1", "2 OutsideWindow 0 0 2",
            "2 NotText 0 0 3 type", "2 NotText 0 0 4 value", "2 EmptyKey 0 0 4" },
        2);
    row("no os entry", 1, "[{'name':'A','os':[{'name':'OS','files':[{'version':'1.1.0'}]}]}]",
        { "1 entered 0 -1" }, 0);
    row("no application", 2, "[{'name':'B','os':[{'name':'os','settings':[]}]}]",
        { "2 entered -1 -1" }, 0);
}

void tst_Walks::observer()
{
    QFETCH(int, walk);
    QFETCH(QJsonDocument, manifest);
    QFETCH(QStringList, reports);
    QFETCH(int, kept);

    Recorder recorder;
    const Version from("1.0.0");
    const Version to("2.0.0");
    using namespace MZU::Internal;
    const int size = walk == 0 ? getApplications(manifest, "os", &recorder).size()
        : walk == 1            ? getFileUpdates(manifest, "A", from, to, "os", &recorder).size()
                               : getSettingUpdates(manifest, "A", from, to, "os", &recorder).size();
    QCOMPARE(recorder.lines, reports);
    QCOMPARE(size, kept);
}

QTEST_APPLESS_MAIN(tst_Walks)
#include "tst_walks.moc"
