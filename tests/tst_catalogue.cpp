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
// releases listed in order, and must give what the plain sort gives. Each also runs on the
// lean releases the updater resolves with, read from a manifest in the same order.
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
        const MZU::Catalogue lean = MZU::Internal::releasesToResolve(
            QJsonDocument(QJsonObject { { "apps", apps } }), "os", "A");
        for (const MZU::Catalogue *releases : { &qAsConst(catalogue), &lean }) {
            Version resultVersion("9.9.9-stale");
            QString resultLog = "stale";
            QCOMPARE(MZU::updateVersion(*releases, "A", current, resultVersion, resultLog),
                !newVersion.isNull());
            QCOMPARE(resultVersion, newVersion);
            QCOMPARE(resultLog, changelog);
            QCOMPARE(resultLog.isNull(), changelog.isEmpty());
        }
    }
}

QTEST_APPLESS_MAIN(tst_Catalogue)
#include "tst_catalogue.moc"
