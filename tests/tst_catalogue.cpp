#include "manifest/manifest_p.h"
#include "manifestbuilder.h"

#include <QtTest>

#include <algorithm>

using namespace ManifestBuilder;
using MZU::ApplicationInfo;
using MZU::Version;

class tst_Catalogue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void conversion_data();
    void conversion();
    void compareIgnoresValues();
    void updateVersion_data();
    void updateVersion();
    void fromText_data();
    void fromText();
};

// The walks convert entries with EntryConverter; it must give what toVariantHash() gives,
// down to the iteration order, whatever keys follow each other.
void tst_Catalogue::conversion_data()
{
    QTest::addColumn<QStringList>("members"); // more members, for one entry each
    QTest::newRow("same keys") << QStringList { ",'log':'x'", ",'log':'y'" };
    QTest::newRow("keys change") << QStringList { ",'a':1,'b':2", ",'b':2", ",'a':1,'c':[1]", "",
        ",'a':1,'b':2,'c':3,'d':4" };
    QTest::newRow("every type") << QStringList {
        ",'i':7,'big':12345678901234,'d':1.5,'t':true,'n':null,'s':'','l':[1,'2',{'z':3}],'o':{}",
        ",'i':'7','d':[],'n':{}"
    };
    QTest::newRow("keys beyond ASCII")
        << QStringList { ",'ключ':'значение','日本':1", ",'ключ':2,'日本':'x'", ",'ключи':2" };
    QTest::newRow("duplicate member") << QStringList { ",'log':'a','log':'b'" };
}

void tst_Catalogue::conversion()
{
    QFETCH(QStringList, members);
    // The same entries serve as release, file and setting entries, through the public calls.
    QJsonArray entries;
    for (int i = 0; i < members.size(); ++i)
        entries.append(object(QString("{'name':'A','os':'%1','version':'1.0.%2','filename':'f',"
                                      "'location':'l','url':'u','key':'k'%3}")
                                  .arg(MZU::osString(), QString::number(i + 1), members.at(i))
                                  .toUtf8()));
    QList<ApplicationInfo> releases = MZU::getApplications(manifest(entries)).values();
    std::sort(releases.begin(), releases.end());
    const QJsonDocument walked =
        manifest({ application("A", { system(MZU::osString(), entries, entries) }) });
    const auto files = MZU::getFileUpdates(walked, "A", Version(), Version("9.0.0"));
    QCOMPARE(
        MZU::getSettingUpdates(walked, "A", Version(), Version("9.0.0")).size(), entries.size());
    QCOMPARE(releases.size(), entries.size());
    QCOMPARE(files.size(), entries.size());
    for (int i = 0; i < entries.size(); ++i) {
        const QVariantHash expected = entries.at(i).toObject().toVariantHash();
        for (const QVariantHash &values : { releases.at(i).values, files.at(i).values }) {
            QCOMPARE(values, expected);
            QCOMPARE(values.keys(), expected.keys()); // hosts may rely on the order
        }
    }
}

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
    QTest::addColumn<QJsonArray>("releases"); // of A unless named
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
    row("empty catalogue", {}, "1.0.0", "0.0.0");
    row("worked example", example("{}"), "1.0.0", "1.3.0", all);
    row("tip true", example("{'tip':true}"), "1.0.0", "1.2.0", "1.1.0:\nA");
    row("tip 'true'", example("{'tip':'true'}"), "1.0.0", "1.2.0", "1.1.0:\nA");
    row("tip 'True'", example("{'tip':'True'}"), "1.0.0", "1.3.0", all);
    row("tip 1", example("{'tip':1}"), "1.0.0", "1.3.0", all);
    row("tip equal to current", example("{'tip':true}"), "1.2.0", "1.3.0", "1.3.0:\nC");
    row("tip below current", example("{'tip':true}"), "1.2.5", "1.3.0", "1.3.0:\nC");
    row("current is newest", example("{}"), "1.3.0", "0.0.0");
    row("hotfix is newer", { rel("1.2.3-hotfix", "{'changelog':'H'}") }, "1.2.3", "1.2.3-hotfix",
        "1.2.3-hotfix:\nH");
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

// Each row runs as listed, then sorted both ways round: updateVersion skips the sort for
// releases listed in order, and must give what the plain sort gives. Each also runs through
// the resolution the updater makes straight from a manifest listing them in the same order.
void tst_Catalogue::updateVersion()
{
    QFETCH(QJsonArray, releases);
    QFETCH(Version, current);
    QFETCH(Version, newVersion);
    QFETCH(QString, changelog);
    QVector<QPair<QString, ApplicationInfo>> listed;
    for (const QJsonValue &value : releases) {
        const QJsonObject entry = value.toObject();
        listed.append({ entry["name"].toString("A"),
            { Version(entry["version"].toString()), entry.toVariantHash() } });
    }
    for (int order = 0; order < 3; ++order) {
        if (order > 0)
            std::sort(listed.begin(), listed.end(), [order](const auto &a, const auto &b) {
                return order == 1 ? a.second < b.second : b.second < a.second;
            });
        MZU::Catalogue catalogue;
        QJsonArray apps;
        for (const auto &release : qAsConst(listed)) {
            catalogue.insert(release.first, release.second);
            apps.append(merged(QJsonObject::fromVariantHash(release.second.values),
                { { "name", release.first }, { "os", "os" } }));
        }
        const QJsonDocument manifest(QJsonObject { { "name", "Versions.json" }, { "apps", apps } });
        // Change logs and tips read through QVariant are left to the document.
        const bool plainTexts = std::all_of(apps.begin(), apps.end(), [](const QJsonValue &entry) {
            const auto plain = [](const QJsonValue &v) {
                return v.isUndefined() || v.isString() || v.isBool();
            };
            return plain(entry["changelog"]) && plain(entry["tip"]);
        });
        for (int path = 0; path < 3; ++path) {
            Version resultVersion("9.9.9-stale");
            QString resultLog = "stale";
            bool found = false;
            if (path == 0) {
                found = MZU::updateVersion(catalogue, "A", current, resultVersion, resultLog);
            } else if (path == 1) {
                found = MZU::Internal::resolveUpdate(
                    manifest, "os", "A", current, resultVersion, resultLog);
            } else {
                const std::optional<bool> read = MZU::Internal::resolveUpdate(
                    manifest.toJson(), "os", "A", current, resultVersion, resultLog);
                QCOMPARE(read.has_value(), plainTexts);
                if (!read)
                    continue;
                found = *read;
            }
            QCOMPARE(found, !newVersion.isNull());
            QCOMPARE(resultVersion, newVersion);
            QCOMPARE(resultLog, changelog);
            QCOMPARE(resultLog.isNull(), changelog.isEmpty());
        }
    }
}

// Manifest texts read straight, without a document: what is read must be what the document
// gives, and what is not vouched for is left to the document.
void tst_Catalogue::fromText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("vouched");
    const auto row = [](const char *name, const QByteArray &apps, bool vouched = true,
                         const QByteArray &around = "{\"name\":\"Versions.json\",\"apps\":%1}") {
        QTest::newRow(name) << QByteArray(around).replace("%1", apps) << vouched;
    };
    row("escapes and UTF-8",
        R"([{"name":"A","os":"os","version":"1.1.0","changelog":"\"q\" \\ \/ \b\f\n\r\t )"
        R"(\u00e9 \ud83d\ude00 é 😀"},{"name":"\u0041","os":"o\u0073","version":"1.\u0032.0"}])");
    row("space and other values",
        " \r\n\t[ 1 , \"x\" , [ ] , { } , null , { \"name\" : \"A\" , \"os\" : [ \"os\" ] } ,"
        " { \"n\" : [ -0 , 1.5 , true , false , null , { \"a\" : [ ] } ] , \"name\" : \"A\" ,"
        " \"os\" : \"os\" , \"version\" : \"1.1.0\" , \"tip\" : false } ]\t");
    row("apps not an array", "{\"name\":\"A\",\"os\":\"os\",\"version\":\"1.1.0\"}");
    row("repeated member", "[{\"name\":\"A\",\"os\":\"os\",\"version\":\"1.1.0\",\"os\":\"x\"}]",
        false);
    row("escaped key", "[{\"n\\u0061me\":\"A\",\"os\":\"os\",\"version\":\"1.1.0\"}]", false);
    row("exponent", "[1e999]", false);
    row("lone surrogate", "[\"\\ud800\"]", false);
    row("ill-formed UTF-8", "[\"\xc0\x80\"]", false);
    row("control character", "[\"\t\"]", false);
    row("too deep", QByteArray(70, '[') + QByteArray(70, ']'), false);
    row("trailing text", "[]", false, "{\"name\":\"Versions.json\",\"apps\":%1} x");
    row("byte order mark", "[]", false, "\xef\xbb\xbf{\"name\":\"Versions.json\",\"apps\":%1}");
    row("not a manifest", "[]", false, "{\"name\":\"Other.json\",\"apps\":%1}");
    row("cut short", "[{\"name\":\"A\"", false, "{\"name\":\"Versions.json\",\"apps\":%1");
}

void tst_Catalogue::fromText()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, vouched);
    for (const char *current : { "0.0.0", "1.1.0" }) {
        Version readVersion("9.9.9-stale");
        QString readLog;
        const std::optional<bool> read =
            MZU::Internal::resolveUpdate(text, "os", "A", Version(current), readVersion, readLog);
        QCOMPARE(read.has_value(), vouched);
        if (!read)
            continue;
        QJsonParseError error;
        const QJsonDocument manifest = QJsonDocument::fromJson(text, &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QVERIFY(MZU::Internal::isManifest(manifest));
        Version newVersion;
        QString changelog;
        QCOMPARE(*read,
            MZU::Internal::resolveUpdate(
                manifest, "os", "A", Version(current), newVersion, changelog));
        QCOMPARE(readVersion, newVersion);
        QCOMPARE(readLog, changelog);
    }
}

QTEST_APPLESS_MAIN(tst_Catalogue)
#include "tst_catalogue.moc"
