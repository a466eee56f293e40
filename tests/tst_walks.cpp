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
    row("kept as listed, any root name", releases,
        manifest({ 1, QJsonArray(), rel("1.0.0"), rel("1.0.0"), release("a", "os", "1.1.0") }, "x"),
        "NotObject@0 NotObject@1 A=1.0.0 A=1.0.0 a=1.1.0");
    row("other os", releases,
        manifest({ release("A", "OS", "1.0.0"), release("A", "os ", "1.0.0"),
            release("A", QJsonArray { "os" }, "1.0.0"),
            merged(application("A", {}), object("{'version':'1.0.0'}")) }),
        "OtherOs@0 OtherOs@1 OtherOs@2 OtherOs@3");
    row("versions", releases,
        manifest({ rel("1.2"), rel(1), rel(none), rel("0.0.0-x"), rel("1.0.0-rc1") }),
        "NullVersion@0 NullVersion@1 NullVersion@2 NullVersion@3 A=1.0.0-rc1");
    row("names", releases,
        manifest(
            { release(none, "os", "1.0.0"), release("", "os", "x"), release(7, "os", "1.0.0") }),
        "EmptyName@0 EmptyName@1 EmptyName@2");

    // Finding the application and OS entry, shared with the settings walk.
    const Walk files = Walk::Files;
    const auto ours = [](const char *version, const QJsonValue &name = "os") {
        return system(name, QJsonArray { file(version) });
    };
    const auto app = [](const QJsonArray &systems) {
        return manifest({ application("A", systems) });
    };
    const QJsonObject found = application("A", { ours("1.1.0") });
    row("found", files, manifest({ found }), "in@0/0 1.1.0/f");
    row("other apps first, name case", files,
        manifest({ "x", application("B", { ours("1.2.0") }), application("a", { ours("1.2.0") }),
            found }),
        "in@3/0 1.1.0/f");
    row("first app entry only", files,
        manifest({ release("A", "os", "1.0.0"), application("A", {}), found }), "in@0/-1");
    row("non-string name reads as empty", files,
        manifest({ found, application(5, { ours("1.2.0") }) }), "in@1/0 1.2.0/f",
        { "", "1.0.0", "2.0.0" });
    row("other systems first", files,
        app({ ours("1.2.0", "win-x86_64"), ours("1.2.0", "os-x"), ours("1.1.0") }),
        "in@0/2 1.1.0/f");
    row("os names exact", files,
        app({ ours("1.1.0", "OS"), ours("1.1.0", QJsonArray { "os" }), ours("1.2.0", 1) }),
        "in@0/-1");
    row("first os entry only", files, app({ system("os", none), ours("1.2.0") }), "in@0/0");
    row("files not an array", files, app({ system("os", file("1.1.0")) }),
        "in@0/0 NotArray@-1.files");

    const auto list = [&](const QJsonArray &files) { return app({ system("os", files) }); };
    const auto with = [](const char *version, const char *extra) {
        return file(version, "f", object(extra));
    };
    row("window", files, list({ file("1.0.0"), file("1.1.0"), file("1.2.0"), file("1.3.0") }),
        "in@0/0 OutsideWindow@0 OutsideWindow@3 1.1.0/f 1.2.0/f", { "A", "1.0.0", "1.2.0" });
    row("from above to", files, list({ file("1.1.0") }), "in@0/0 OutsideWindow@0",
        { "A", "1.2.0", "1.0.0" });
    row("manifest order, nothing merged", files,
        list({ file("1.2.0", "a"), file("1.1.0", "a"), file("1.2.0", "a") }),
        "in@0/0 1.2.0/a 1.1.0/a 1.2.0/a");
    row("suffixes", files, list({ file("1.0.0-x"), file("2.0.0-rc1") }),
        "in@0/0 OutsideWindow@1 1.0.0-x/f");
    row("null versions and non-objects", files,
        list({ file("1.2"), file(12), file("0.0.0-x"), with("1.1.0", "{'version':null}"), "1.1.0",
            QJsonArray { file("1.1.0") } }),
        "in@0/0 NullVersion@0 NullVersion@1 NullVersion@2 NullVersion@3 NotObject@4 NotObject@5");
    row("incomplete", files,
        list({ with("1.1.0", "{'location':''}"), file("1.1.0", ""),
            with("1.1.0", "{'url':'http://h:port/'}"), with("1.1.0", "{'filename':7}") }),
        "in@0/0 NoLocation@0 NoFilename@1 BadUrl@2 1.1.0/7");

    // The walk remembers the last valid server: it must still agree with QUrl on each address.
    const QStringList addresses = QString(
        "http://h/a|http://h/b|http://h//c|http://h?q|http://h#f|http://h|http://h/ %zz|"
        "http://h:80/a|http://h:99999/a|http://h:80/b|http://h:/a|http://h:x/a|http://h:80/c|"
        "http://h/a|http://h h/a|http://h/a|http://h%zz/a|http://%41/a|http://h%2F/a|http://-a/x|"
        "http://a..b/x|http://1.2.3.4/a|http://1.2.3.999/a|http://999/a|http://bücher.example/a|"
        "http://xn--bcher-kva.example/b|http://xn--zz/a|http://xn--zz/b|http://BÜCHER.example/c|"
        "HTTP://h/a|http://h/a|1http://h/a|ht tp://h/a|h+t.t-p://h/a|:/h/a|http:/h/a|http:h/a|"
        "http://[::1]/a|http://[::1/a|http://[::1]:8080/a|http://[::1]x/a|http://[v1.x]/a|"
        "http://[::1]/b|http://u:p@h/a|http://u@h/a|http://u p@h/a|http://u@h@h/a|http://u:p@h/b|"
        "file:///a|file:////a|mailto:x|a:b|/relative|rel/path|a/b:c||"
        " http://h/a|http://h/a |//h/a|//h//a|dir/set up.zip")
                                      .split('|');
    QJsonArray entries;
    QStringList reports { "in@0/0" };
    QStringList kept;
    for (int i = 0; i < addresses.size(); ++i) {
        entries.append(file("1.1.0", QString::number(i), { { "url", addresses.at(i) } }));
        const bool valid = QUrl(addresses.at(i), QUrl::TolerantMode).isValid();
        (valid ? kept : reports) << (valid ? "1.1.0/" : "BadUrl@") + QString::number(i);
    }
    row("addresses", files, list(entries), (reports + kept).join(' '));

    const Walk settings = Walk::Settings;
    const auto values = [&](const QJsonArray &list) { return app({ system("os", {}, list) }); };
    row("no application", settings, manifest({ application("B", { system("os", {}, {}) }) }),
        "in@-1/-1");
    row("setting window", settings,
        values({ setting("1.0.0", "a"), setting("1.1.0", "b"), setting("1.2.0", "c"),
            setting("1.2.1", "d") }),
        "in@0/0 OutsideWindow@0 OutsideWindow@3 1.1.0/b// 1.2.0/c//", { "A", "1.0.0", "1.2.0" });
    row("setting versions, non-objects", settings,
        values({ setting(none, "a"), setting("0.0.0-x", "b"), setting(1, "c"), "x" }),
        "in@0/0 NullVersion@0 NullVersion@1 NullVersion@2 NotObject@3", { "A", "0.0.0", "2.0.0" });
    row("keys", settings,
        values({ setting("1.1.0", none), setting("1.1.0", ""),
            setting("1.1.0", 5, none, QJsonValue()), setting("1.1.0", "k") }),
        "in@0/0 EmptyKey@0 EmptyKey@1 NotText@2.value EmptyKey@2 1.1.0/k//");
    row("non-strings read as empty text", settings,
        values({ setting("1.1.0-b", "k", "int", "5"), setting("1.1.0", "n", true, 5) }),
        "in@0/0 NotText@1.type NotText@1.value 1.1.0-b/k/int/5 1.1.0/n//");
    row("same key twice, manifest order", settings,
        values({ setting("1.2.0", "k", "t", "new"), setting("1.1.0", "k", "t", "old") }),
        "in@0/0 1.2.0/k/t/new 1.1.0/k/t/old");
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

void tst_Walks::isValid()
{
    // The rules in turn; the first one broken decides.
    const auto check = [](const MZU::UpdateFile &file) {
        const FileCheck result = checkFile(file);
        return file.isValid() == (result == FileCheck::Valid) ? int(result) : -1;
    };
    const auto entry = [](const char *version, const char *values) {
        return MZU::UpdateFile { Version(version), object(values).toVariantHash() };
    };
    QCOMPARE(check(MZU::UpdateFile()), int(FileCheck::NoFilename));
    // Non-strings read as text; "version" of the values is not used.
    QCOMPARE(check(entry("1.0.0", "{'version':'0.0.0','filename':7,'location':true,'url':'a b'}")),
        int(FileCheck::Valid));
    QCOMPARE(check(entry("0.0.0", "{'filename':[],'url':'u'}")), int(FileCheck::NoFilename));
    QCOMPARE(check(entry("0.0.0-x", "{'filename':'f'}")), int(FileCheck::NullVersion));
    QCOMPARE(check(entry("1.0.0", "{'filename':'f','location':{},'url':'http://h:x/'}")),
        int(FileCheck::NoLocation));
    QCOMPARE(check(entry("1.0.0", "{'filename':'f','location':'l','url':'http://[::1/'}")),
        int(FileCheck::BadUrl));
}

QTEST_APPLESS_MAIN(tst_Walks)
#include "tst_walks.moc"
