// SPDX-License-Identifier: MIT
#include "manifest/manifest_p.h"
#include "manifest/offer_p.h"
#include "testdata.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QProcess>
#include <QtTest>

using namespace MZU::Internal;
using MZU::Version;

class tst_Walks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void walks_data();
    void walks();
    void isValid();
    void fileMatches_data();
    void fileMatches();
    void compareAndReset();
    void offer_data();
    void offer();
};

static const QStringList reasons { "NotObject", "OtherOs", "EmptyName", "NullVersion",
    "OutsideWindow", "NoFilename", "NoLocation", "BadUrl", "EmptyKey", "NotText", "NotArray" };

// Writes down "in@app/os" for the entry a walk takes and "Reason@index[.member]" for each
// skip: the application's index for releases, else the entry's, in the entry taken.
class Recorder : public WalkObserver
{
public:
    void skipped(Skip reason, const WalkPlace &place) override
    {
        const bool releases = place.walk == Walk::Releases;
        QVERIFY(place.walk == walk && place.os == os && place.app == (releases ? place.app : app));
        lines << reasons.at(int(reason)) + '@' + QString::number(releases ? place.app : place.entry)
                + (place.member.isEmpty() ? "" : "." + place.member);
    }
    void entered(Walk taken, int takenApp, int takenOs) override
    {
        QVERIFY(taken == walk);
        lines << QString("in@%1/%2").arg(app = takenApp).arg(os = takenOs);
    }
    Walk walk = Walk::Releases;
    int app = -1, os = -1;
    QStringList lines;
};

// The manifest tests/data/@p file.json.
static QJsonDocument manifestIn(const QString &file)
{
    return QJsonDocument::fromJson(testData(file + ".json"));
}

// Each walk of a manifest of tests/data/walks runs for the system "os"; kept entries follow the
// reports, as "name=version", "version/filename" and "version/key/type/value".
void tst_Walks::walks_data()
{
    QTest::addColumn<int>("walk");
    QTest::addColumn<QJsonDocument>("manifest");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QStringList>("query"); // application, from, to
    const auto row = [](const char *name, Walk walk, const QString &file, const QString &expected,
                         const QStringList &query = { "A", "1.0.0", "1.2.0" }) {
        QTest::newRow(name) << int(walk) << manifestIn("walks/" + file) << expected << query;
    };
    row("apps not an array", Walk::Releases, "apps-not-array", "NotArray@-1.apps");
    row("releases, any root name", Walk::Releases, "releases",
        "NotObject@0 OtherOs@4 OtherOs@5 OtherOs@6 NullVersion@7 NullVersion@8 NullVersion@9 "
        "EmptyName@11 EmptyName@12 A=1.0.0 A=1.0.0 A=1.0.0-rc1 a=1.1.0");
    // Finding the application and OS entry, shared with the settings walk.
    row("other apps and systems first, first os entry only", Walk::Files, "first-os-entry",
        "in@2/3");
    row("first app entry only", Walk::Files, "first-app-entry", "in@0/-1");
    row("non-string name reads as empty", Walk::Files, "non-string-name", "in@1/0 1.2.0/f",
        { "", "1.0.0", "1.2.0" });
    row("window turned round: empty", Walk::Files, "window-turned-round", "in@0/0 OutsideWindow@0",
        { "A", "1.2.0", "1.0.0" });
    row("files not an array", Walk::Files, "files-not-array", "in@0/0 NotArray@-1.files");
    row("files in manifest order, skipped", Walk::Files, "files",
        "in@0/0 OutsideWindow@0 OutsideWindow@4 NullVersion@5 NullVersion@6 NotObject@7 "
        "NoLocation@8 NoFilename@9 BadUrl@10 1.2.0/a 1.1.0-x/f 1.2.0/a 1.1.0/7");
    row("no application", Walk::Settings, "no-application", "in@-1/-1");
    row("settings in manifest order, skipped, non-strings as empty text", Walk::Settings,
        "settings",
        "in@0/0 OutsideWindow@0 NotText@3.type NotText@3.value OutsideWindow@4 NullVersion@5 "
        "NullVersion@6 NotObject@7 EmptyKey@8 EmptyKey@9 NotText@10.value EmptyKey@10 "
        "1.2.0/k/t/new 1.1.0-b/k/int/5 1.1.0/n//");
}

void tst_Walks::walks()
{
    QFETCH(int, walk);
    QFETCH(QJsonDocument, manifest);
    QFETCH(QString, expected);
    QFETCH(QStringList, query);
    const Version from(query.at(1)), to(query.at(2));
    Recorder recorder;
    recorder.walk = Walk(walk);
    // Releases and files carry the whole entry they come from.
    const auto whole = [](const QVariantHash &values, const QJsonValue &list) {
        return list.toArray().contains(QJsonObject::fromVariantHash(values)) ? "" : " PART";
    };
    const auto run = [&](WalkObserver *observer) {
        QStringList kept;
        if (walk == int(Walk::Releases)) {
            const MZU::Catalogue catalogue = getApplications(manifest, "os", observer);
            for (auto it = catalogue.begin(); it != catalogue.end(); ++it)
                kept << it.key() + '=' + it.value().version.toString()
                        + whole(it.value().values, manifest["apps"]);
            kept.sort();
        } else if (walk == int(Walk::Files)) {
            for (const MZU::UpdateFile &file :
                getFileUpdates(manifest, query.at(0), from, to, "os", observer))
                kept << file.version.toString() + '/' + file.values.value("filename").toString()
                        + whole(file.values,
                            manifest["apps"][recorder.app]["os"][recorder.os]["files"]);
        } else {
            for (const MZU::SettingValue &setting :
                getSettingUpdates(manifest, query.at(0), from, to, "os", observer))
                kept << setting.version.toString() + '/' + setting.key + '/' + setting.type + '/'
                        + setting.value;
        }
        return kept;
    };
    const QStringList kept = run(&recorder);
    QCOMPARE(run(nullptr), kept);
    QCOMPARE((recorder.lines + kept).join(' '), expected);
}

// Non-strings read as text, and "version" of the values is not used.
void tst_Walks::isValid()
{
    const QJsonObject values { { "version", 0 }, { "filename", 7 }, { "location", true },
        { "url", "a b" } };
    QVERIFY(MZU::UpdateFile({ Version("1.0.0"), values.toVariantHash() }).isValid());
    QVERIFY(!MZU::UpdateFile({ Version("0.0.0-x"), values.toVariantHash() }).isValid());
}

// Larger than one read, so that a hash of the first piece alone differs.
static const QByteArray content(100 * 1024, 'x');

void tst_Walks::fileMatches_data()
{
    QTest::addColumn<QVariantHash>("entry"); // as a host may fill it itself
    QTest::addColumn<QString>("device"); // the content on a buffer, 4 bytes of it read already
    // ("buffer+4"), on a process running or finished, or a file that cannot be opened
    QTest::addColumn<QString>("why"); // its start; empty: the content matches

    const auto row = [](const char *name, const QVariantHash &entry, const QString &why,
                         const QString &device = "buffer") {
        QTest::newRow(name) << entry << device << why;
    };
    const QString sha256 =
        QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex().toUpper();
    row("matches", { { "size", 102400 }, { "sha256", sha256 } }, "");
    // The digest of "hello".
    row("sha256 differs",
        { { "sha256", "2CF24DBA5FB0A30E26E83B2AC5B9E29E1B161E5C1FA7425E73043362938B9824" } },
        "the sha256 differs: the entry says "
        "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824, the content has ");
    row("neither member", { { "url", "x" } },
        "the entry has neither \"size\" nor \"sha256\" to check");
    const QString notWhole = "its \"size\" is not a whole number of bytes";
    row("size as text", { { "size", "5" } }, notWhole);
    row("size as a fraction", { { "size", 1.5 } }, notWhole);
    row("size as qulonglong", { { "size", qulonglong(102400) } }, "");
    row("size as double", { { "size", 102400.0 } }, "");
    row("content unreadable", { { "size", 0 } }, "the content cannot be read: ", "missing");

    // The whole content, whatever the device and wherever it stands.
    row("read from the start, not the position", { { "size", 102396 } },
        "the size differs: the entry says 102396 bytes, the content has 102400", "buffer+4");
    row("finished process", { { "size", 102400 }, { "sha256", sha256 } }, "", "finished");
    row("running process, data arriving later", { { "size", 102400 }, { "sha256", sha256 } }, "",
        "running");

    // Exactly 64 digits.
    const QString notHex = "its \"sha256\" is not 64 hexadecimal digits";
    row("sha256 with a line end", { { "sha256", sha256 + "\n" } }, notHex);
    row("sha256 of 63 digits", { { "sha256", QString(64 - 1, 'a') } }, notHex);
    row("sha256 not text", { { "sha256", QByteArray(64, 'a') } }, notHex);
}

void tst_Walks::fileMatches()
{
    QFETCH(QVariantHash, entry);
    QFETCH(QString, device);
    QFETCH(QString, why);

    QBuffer buffer;
    QFile missing(QStringLiteral("/nonexistent/file"));
    QProcess process;
    QIODevice *input = &buffer;
    if (device == "missing") {
        input = &missing;
    } else if (device.startsWith("buffer")) {
        const int skip = device == "buffer+4" ? 4 : 0;
        buffer.setData(content);
        QVERIFY(buffer.open(QIODevice::ReadOnly) && buffer.read(skip).size() == skip);
    } else {
        // cat, given the content on its standard input.
        process.start(QStringLiteral("cat"), QStringList());
        QVERIFY(process.waitForStarted());
        process.write(content);
        process.closeWriteChannel();
        if (device == "finished")
            QVERIFY(process.waitForFinished());
        input = &process;
    }
    QString reason;
    const bool matches = MZU::fileMatches({ Version("1.0.0"), entry }, input, &reason);
    QCOMPARE(matches, why.isEmpty());
    QVERIFY2(why.isEmpty() ? reason.isEmpty() : reason.startsWith(why), qPrintable(reason));
}

// Releases compare by version only, and updateVersion() resets a host's variables that held an
// earlier answer.
void tst_Walks::compareAndReset()
{
    // Values that would order the other way round if they were compared.
    const MZU::ApplicationInfo a { Version("1.0.0-b"), { { "changelog", "b" } } };
    const MZU::ApplicationInfo b { Version("1.0.0-b"), { { "changelog", "a" } } };
    QVERIFY(a == b && !(a < b) && !(b < a));
    Version version("9.9.9-stale");
    QString changelog = "stale";
    QVERIFY(!MZU::updateVersion({}, "A", Version("1.0.0"), version, changelog));
    QVERIFY(version.isNull() && changelog.isNull());
}

// Offers of manifests of tests/data/offer to install-1 of A 1.2.0 on "os". The rollout of
// 2.0.0 there starts on 2026-01-01 and takes 10 days: install-1 gets it at 1767810737
// (2026-01-07T18:32:17Z), as SHA-256("install-1/2.0.0") says.
void tst_Walks::offer_data()
{
    QTest::addColumn<QJsonDocument>("document");
    QTest::addColumn<qint64>("now");
    // Version, critical or not, files, settings, size, and the change log unless null.
    QTest::addColumn<QString>("offered");
    const qint64 moment = 1767810737;
    const auto row = [](const char *name, const QString &file, qint64 now, const char *offered) {
        QTest::newRow(name) << manifestIn("offer/" + file) << now << QString(offered);
    };
    // The application entry first, as only the first of a name is read.
    row("merged across three releases", "merged", moment,
        "1.4.0 | f@1.4.0 g@1.3.0 | k@1.4.0=b j@1.4.0= | 25");
    // Other names, case too, would stop the walk first.
    row("tip only when 'true', of this name", "tip", moment, "1.5.0 | | | 0");
    row("tip past current, not at it, newest log first", "tip-past-current", moment,
        "1.4.0 | | | 0 | 1.4.0:\nB\n1.3.0:\nA");
    row("suffix sorts last, texts as they are", "suffix", moment,
        "1.3.0-rc1 | | | 0 | 1.3.0-rc1:\n2\n1.3.0:\nF\n");
    row("critical passed", "critical", moment, "1.4.0 critical | | | 0");
    row("critical not a boolean, or not passed", "critical-not-boolean", moment, "1.4.0 | | | 0");
    row("rollout before this install's moment", "rollout", moment - 1, "1.3.0 | | | 0");
    row("rollout at this install's moment", "rollout", moment, "2.0.0 | | | 0");
    row("critical inside a rollout", "critical-rollout", 0, "2.0.0 critical | | | 0");
    row("rollout start unreadable", "rollout-unreadable", moment * 2, "1.3.0 | | | 0");
}

void tst_Walks::offer()
{
    QFETCH(QJsonDocument, document);
    QFETCH(qint64, now);
    QFETCH(QString, offered);
    const MZU::Offer offer = makeOffer(
        document, getApplications(document, "os"), "A", Version("1.2.0"), "os", "install-1", now);
    QStringList files, settings;
    for (const MZU::UpdateFile &file : offer.files)
        files << file.values.value("filename").toString() + "@" + file.version.toString();
    for (const MZU::SettingValue &setting : offer.settings)
        settings << setting.key + "@" + setting.version.toString() + "=" + setting.value;
    QStringList seen { offer.version.toString() + (offer.critical ? " critical" : ""),
        files.join(' '), settings.join(' '), QString::number(offer.downloadSize) };
    if (!offer.changelog.isNull())
        seen << offer.changelog;
    QCOMPARE(offer.version.isNull() ? QString() : seen.join(" | ").replace("  ", " "), offered);
    QCOMPARE(offer.values.value("version").toString(),
        offer.version.isNull() ? QString() : offer.version.toString());
}

QTEST_GUILESS_MAIN(tst_Walks) // QProcess needs the application object
#include "tst_walks.moc"
