#include "manifest/manifest_p.h"
#include "manifestbuilder.h"

#include <QtTest>

using namespace ManifestBuilder;
using namespace MZU::Internal;
using MZU::Version;

class tst_Walks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void walks_data();
    void walks();
    void isValid();
};

static const QStringList reasons = QString("NotObject OtherOs EmptyName NullVersion OutsideWindow "
                                           "NoFilename NoLocation BadUrl EmptyKey NotText NotArray")
                                       .split(' ');

// Writes down "in@app/os" for the entry a walk takes and "Reason@index[.member]" for each
// skip: the application's index for releases, else the entry's. Anything else is WRONG.
class Recorder : public WalkObserver
{
public:
    void skipped(Skip reason, const WalkPlace &place) override
    {
        const bool releases = walk == Walk::Releases;
        const bool right = place.walk == walk && place.os == os
            && (releases ? place.entry == -1 : place.app == app);
        lines << (right ? "" : "WRONG ") + reasons.at(int(reason)) + '@'
                + QString::number(releases ? place.app : place.entry)
                + (place.member.isEmpty() ? "" : "." + place.member);
    }
    void entered(Walk taken, int takenApp, int takenOs) override
    {
        app = takenApp;
        os = takenOs;
        lines << QString("in@%1/%2%3").arg(app).arg(os).arg(taken == walk ? "" : " WRONG");
    }
    Walk walk = Walk::Releases;
    int app = -1, os = -1;
    QStringList lines;
};

// Each walk runs for the system "os"; kept entries follow the reports, as "name=version",
// "version/filename" and "version/key/type/value".
void tst_Walks::walks_data()
{
    QTest::addColumn<int>("walk");
    QTest::addColumn<QJsonDocument>("manifest");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QStringList>("query"); // application, from, to
    const auto row = [](const char *name, Walk walk, const QJsonDocument &manifest,
                         const QString &expected,
                         const QStringList &query = { "A", "1.0.0", "2.0.0" }) {
        QTest::newRow(name) << int(walk) << manifest << expected << query;
    };
    const auto rel = [](const QJsonValue &version) { return release("A", "os", version); };
    const QJsonValue none = QJsonValue::Undefined;
    const Walk releases = Walk::Releases;
    row("apps not an array", releases, QJsonDocument(QJsonObject { { "apps", rel("1.0.0") } }),
        "NotArray@-1.apps");
    row("releases, any root name", releases,
        manifest({ 1, rel("1.0.0"), rel("1.0.0"), release("a", "os", "1.1.0"),
                     release("A", "os ", "1.0.0"), release("A", "OS", "1.0.0"),
                     release("A", QJsonArray { "os" }, "1.0.0"), rel("1.2"), rel(1), rel("0.0.0-x"),
                     rel("1.0.0-rc1"), release(none, "os", "1.0.0"), release(7, "os", "x") },
            "x"),
        "NotObject@0 OtherOs@4 OtherOs@5 OtherOs@6 NullVersion@7 NullVersion@8 NullVersion@9 "
        "EmptyName@11 EmptyName@12 A=1.0.0 A=1.0.0 A=1.0.0-rc1 a=1.1.0");

    // Finding the application and OS entry, shared with the settings walk.
    const Walk files = Walk::Files;
    const auto ours = [](const char *version, const QJsonValue &name = "os") {
        return system(name, QJsonArray { file(version) });
    };
    const auto app = [](const QJsonArray &systems) {
        return manifest({ application("A", systems) });
    };
    row("other apps and systems first", files,
        manifest({ "x", application("a", { ours("1.2.0") }),
            application("A",
                { ours("1.2.0", "OS"), ours("1.2.0", QJsonArray { "os" }), ours("1.2.0", 1),
                    ours("1.1.0") }) }),
        "in@2/3 1.1.0/f");
    row("first app entry only", files,
        manifest({ release("A", "os", "1.0.0"), application("A", {}),
            application("A", { ours("1.1.0") }) }),
        "in@0/-1");
    row("non-string name reads as empty", files,
        manifest({ application("A", {}), application(5, { ours("1.2.0") }) }), "in@1/0 1.2.0/f",
        { "", "1.0.0", "2.0.0" });
    row("first os entry only", files, app({ system("os", none), ours("1.2.0") }), "in@0/0");
    row("files not an array", files, app({ system("os", file("1.1.0")) }),
        "in@0/0 NotArray@-1.files");

    const auto list = [&](const QJsonArray &files) { return app({ system("os", files) }); };
    const auto with = [](const char *version, const char *extra) {
        return file(version, "f", object(extra));
    };
    row("window, manifest order, nothing merged", files,
        list({ file("1.0.0"), file("1.2.0", "a"), file("1.1.0-x"), file("1.2.0", "a"),
            file("1.2.1-rc1") }),
        "in@0/0 OutsideWindow@0 OutsideWindow@4 1.2.0/a 1.1.0-x/f 1.2.0/a",
        { "A", "1.0.0", "1.2.0" });
    row("from above to", files, list({ file("1.1.0") }), "in@0/0 OutsideWindow@0",
        { "A", "1.2.0", "1.0.0" });
    row("files skipped", files,
        list({ file("1.2"), file(12), with("1.1.0", "{'version':null}"), "1.1.0",
            with("1.1.0", "{'location':''}"), file("1.1.0", ""),
            with("1.1.0", "{'url':'http://h:port/'}"), with("1.1.0", "{'filename':7}") }),
        "in@0/0 NullVersion@0 NullVersion@1 NullVersion@2 NotObject@3 NoLocation@4 NoFilename@5 "
        "BadUrl@6 1.1.0/7");

    const Walk settings = Walk::Settings;
    const auto values = [&](const QJsonArray &list) { return app({ system("os", {}, list) }); };
    row("no application", settings, manifest({ application("B", { system("os", {}, {}) }) }),
        "in@-1/-1");
    row("setting window", settings,
        values({ setting("1.0.0", "a"), setting("1.1.0", "b"), setting("1.2.1", "d") }),
        "in@0/0 OutsideWindow@0 OutsideWindow@2 1.1.0/b//", { "A", "1.0.0", "1.2.0" });
    row("settings skipped", settings,
        values({ setting(none, "a"), setting("0.0.0-x", "b"), "x", setting("1.1.0", none),
            setting("1.1.0", ""), setting("1.1.0", 5, none, QJsonValue()) }),
        "in@0/0 NullVersion@0 NullVersion@1 NotObject@2 EmptyKey@3 EmptyKey@4 NotText@5.value "
        "EmptyKey@5");
    row("settings kept in manifest order, non-strings as empty text", settings,
        values({ setting("1.2.0", "k", "t", "new"), setting("1.1.0-b", "k", "int", "5"),
            setting("1.1.0", "n", true, 5) }),
        "in@0/0 NotText@2.type NotText@2.value 1.2.0/k/t/new 1.1.0-b/k/int/5 1.1.0/n//");
}

void tst_Walks::walks()
{
    QFETCH(int, walk);
    QFETCH(QJsonDocument, manifest);
    QFETCH(QString, expected);
    QFETCH(QStringList, query);
    const Version from(query.at(1));
    const Version to(query.at(2));
    const auto run = [&](WalkObserver *observer) {
        QStringList kept;
        if (walk == int(Walk::Releases)) {
            const MZU::Catalogue catalogue = getApplications(manifest, "os", observer);
            for (auto it = catalogue.begin(); it != catalogue.end(); ++it)
                kept << it.key() + '=' + it.value().version.toString();
            kept.sort();
        } else if (walk == int(Walk::Files)) {
            for (const MZU::UpdateFile &file :
                getFileUpdates(manifest, query.at(0), from, to, "os", observer))
                kept << file.version.toString() + '/' + file.values.value("filename").toString();
        } else {
            for (const MZU::SettingValue &setting :
                getSettingUpdates(manifest, query.at(0), from, to, "os", observer))
                kept << setting.version.toString() + '/' + setting.key + '/' + setting.type + '/'
                        + setting.value;
        }
        return kept;
    };
    Recorder recorder;
    recorder.walk = Walk(walk);
    const QStringList kept = run(&recorder);
    QCOMPARE(run(nullptr), kept);
    QCOMPARE((recorder.lines + kept).join(' '), expected);
}

// Non-strings read as text, and "version" of the values is not used. The first rule broken
// names the problem.
void tst_Walks::isValid()
{
    const auto entry = [](const char *version, const char *values) {
        return MZU::UpdateFile { Version(version), object(values).toVariantHash() };
    };
    QVERIFY(
        entry("1.0.0", "{'version':'0.0.0','filename':7,'location':true,'url':'a b'}").isValid());
    QVERIFY(!entry("0.0.0-x", "{'filename':'f','location':'l','url':'u'}").isValid());
    QCOMPARE(checkFile(entry("0.0.0", "{'filename':[],'url':'u'}")), FileCheck::NoFilename);
    QCOMPARE(checkFile(entry("0.0.0-x", "{'filename':'f'}")), FileCheck::NullVersion);
    QCOMPARE(checkFile(entry("1.0.0", "{'filename':'f','location':{},'url':'http://h:x/'}")),
        FileCheck::NoLocation);
}

QTEST_APPLESS_MAIN(tst_Walks)
#include "tst_walks.moc"
