// The manifest model takes shortcuts for speed: entries are converted by EntryConverter,
// URL validity is remembered per server, and updateVersion sorts compact keys. Each is held
// here to the plain Qt call or the plain algorithm it replaces.

#include "manifest/manifest_p.h"
#include "mzu.h"

#include <QtTest>

#include <algorithm>
#include <random>

using MZU::Version;

class tst_Equivalence : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void conversion_data();
    void conversion();
    void urlValidity_data();
    void urlValidity();
    void updateVersion_data();
    void updateVersion();
};

// One entry per line, so that rows read as the manifests they stand for.
static QJsonArray entries(const QStringList &lines)
{
    QJsonArray array;
    for (const QString &line : lines) {
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
        if (!document.isObject())
            qFatal("Bad JSON in a test table: %s", qPrintable(line));
        array.append(document.object());
    }
    return array;
}

void tst_Equivalence::conversion_data()
{
    QTest::addColumn<QJsonArray>("releases");
    const QString os = MZU::osString();
    const auto entry = [&os](const QString &members) {
        return QStringLiteral(R"({"name":"A","os":"%1","version":"1.0.%2"%3})")
            .arg(os)
            .arg(qHash(members) % 1000)
            .arg(members);
    };
    QTest::newRow("same keys") << entries({ entry(R"(,"changelog":"x")"),
        entry(R"(,"changelog":"y")"), entry(R"(,"changelog":"x")") });
    QTest::newRow("keys change between entries")
        << entries({ entry(R"(,"a":1,"b":2)"), entry(R"(,"b":2)"), entry(R"(,"a":1,"c":[1])"),
               entry(""), entry(R"(,"a":1,"b":2,"c":3,"d":4)") });
    QTest::newRow("every JSON type")
        << entries({ entry(R"(,"i":7,"big":12345678901234,"d":1.5,"t":true,"f":false,"n":null,)"
                           R"("s":"","arr":[1,"2",null,{"z":3}],"obj":{"h":5,"i":[true]})"),
               entry(R"(,"i":"7","d":[],"n":{})") });
    QTest::newRow("keys beyond ASCII") << entries({ entry(R"(,"ключ":"значение","日本":1)"),
        entry(R"(,"ключ":2,"日本":"x")"), entry(R"(,"ключи":2)") });
    QTest::newRow("duplicate member") << entries({ entry(R"(,"changelog":"a","changelog":"b")") });

    // Built through the API rather than parsed, so the texts are stored differently.
    QJsonArray built = entries({ entry(R"(,"changelog":"parsed")") });
    QJsonObject made { { "name", "A" }, { "os", os }, { "version", "2.0.0" },
        { QStringLiteral("changelog"), QStringLiteral("built ü") }, { "extra", 1 } };
    built.append(made);
    made.insert(QStringLiteral("name"), QStringLiteral("Ä"));
    built.append(made);
    QTest::newRow("parsed and built entries") << built;
}

void tst_Equivalence::conversion()
{
    QFETCH(QJsonArray, releases);

    // Release entries, and the same objects as file entries: both walks convert them.
    const QJsonObject release { { "apps", releases } };
    QJsonArray files;
    for (QJsonValueRef value : releases) {
        QJsonObject file = value.toObject();
        file.insert(QStringLiteral("filename"), QStringLiteral("f"));
        file.insert(QStringLiteral("location"), QStringLiteral("l"));
        file.insert(QStringLiteral("url"), QStringLiteral("http://example.com/f"));
        files.append(file);
    }
    const QJsonObject system { { "name", MZU::osString() }, { "files", files } };
    const QJsonObject app { { "name", "A" }, { "os", QJsonArray { system } } };
    const QJsonDocument withFiles(QJsonObject { { "apps", QJsonArray { app } } });

    const MZU::Catalogue catalogue = MZU::getApplications(QJsonDocument(release));
    QCOMPARE(catalogue.size(), releases.size());
    const QList<MZU::UpdateFile> updates =
        MZU::getFileUpdates(withFiles, "A", Version(), Version("99.0.0"));
    QCOMPARE(updates.size(), files.size());
    for (int i = 0; i < releases.size(); ++i) {
        const QJsonObject entry = releases.at(i).toObject();
        const QVariantHash expected = entry.toVariantHash();
        const auto stored = std::find_if(catalogue.cbegin(), catalogue.cend(),
            [&](const MZU::ApplicationInfo &info) { return info.values == expected; });
        QVERIFY2(stored != catalogue.cend(), qPrintable(QString::number(i)));
        // Equal hashes built alike iterate alike; a host may rely on that.
        QCOMPARE(stored->values.keys(), expected.keys());
        const QVariantHash file = files.at(i).toObject().toVariantHash();
        QCOMPARE(updates.at(i).values, file);
        QCOMPARE(updates.at(i).values.keys(), file.keys());
    }
}

void tst_Equivalence::urlValidity_data()
{
    // Each row is one file list: the remembered server of one address meets the next.
    QTest::addColumn<QStringList>("urls");
    QTest::newRow("one server") << QStringList { "http://h/a", "http://h/b", "http://h//c",
        "http://h?q", "http://h#f", "http://h", "http://h/ spaced %zz", "http://h/b" };
    QTest::newRow("ports") << QStringList { "http://h:80/a", "http://h:99999/a", "http://h:80/b",
        "http://h:/a", "http://h:x/a", "http://h:80/c" };
    QTest::newRow("hosts") << QStringList { "http://h/a", "http://h h/a", "http://h/a",
        "http://h%zz/a", "http://%41/a", "http://h%2F/a", "http://a..b/x", "http://-a/x",
        "http://1.2.3.4/a", "http://1.2.3.999/a", "http://999/a" };
    QTest::newRow("international hosts")
        << QStringList { "http://bücher.example/a", "http://xn--bcher-kva.example/b",
               "http://xn--zz/a", "http://xn--zz/b", "http://BÜCHER.example/c" };
    QTest::newRow("schemes") << QStringList { "HTTP://h/a", "http://h/a", "1http://h/a",
        "ht tp://h/a", "h+t.t-p://h/a", ":/h/a", "http:/h/a", "http:h/a" };
    QTest::newRow("IPv6") << QStringList { "http://[::1]/a", "http://[::1/a", "http://[::1]:8080/a",
        "http://[::1]x/a", "http://[v1.x]/a", "http://[::1]/b" };
    QTest::newRow("user info") << QStringList { "http://u:p@h/a", "http://u@h/a", "http://u p@h/a",
        "http://u@h@h/a", "http://u:p@h/b" };
    QTest::newRow("no authority") << QStringList { "file:///a", "file:////a", "mailto:x", "a:b",
        "/relative", "rel/path", "a/b:c", "", " http://h/a", "http://h/a ", "//h/a", "//h//a" };
}

void tst_Equivalence::urlValidity()
{
    QFETCH(QStringList, urls);

    QJsonArray files;
    QStringList expected;
    for (const QString &url : urls) {
        files.append(QJsonObject {
            { "version", "1.0.0" }, { "filename", "f" }, { "location", "l" }, { "url", url } });
        if (QUrl(url, QUrl::TolerantMode).isValid())
            expected.append(url);
    }
    const QJsonObject system { { "name", MZU::osString() }, { "files", files } };
    const QJsonObject app { { "name", "A" }, { "os", QJsonArray { system } } };
    const QList<MZU::UpdateFile> updates =
        MZU::getFileUpdates(QJsonDocument(QJsonObject { { "apps", QJsonArray { app } } }), "A",
            Version(), Version("1.0.0"));
    QStringList taken;
    for (const MZU::UpdateFile &file : updates)
        taken.append(file.values.value("url").toString());
    QCOMPARE(taken, expected);
}

// updateVersion as first written: copy the releases out, sort them, prepend each block.
static bool plainUpdateVersion(const MZU::Catalogue &catalogue, const QString &name,
    const Version &current, Version &newVersion, QString &changelog)
{
    newVersion = Version();
    changelog = QString();
    QList<MZU::ApplicationInfo> releases = catalogue.values(name);
    std::sort(releases.begin(), releases.end());
    QStringList blocks;
    for (const MZU::ApplicationInfo &release : qAsConst(releases)) {
        if (release.version <= current)
            continue;
        newVersion = release.version;
        const QString text = release.values.value("changelog").toString();
        if (!text.isEmpty())
            blocks.prepend(release.version.toString() + ":\n" + text);
        if (release.values.value("tip").toString() == "true")
            break;
    }
    changelog = blocks.join('\n');
    return !newVersion.isNull();
}

void tst_Equivalence::updateVersion_data()
{
    QTest::addColumn<QString>("order");
    QTest::addColumn<uint>("seed");
    for (const char *order : { "ascending", "descending", "shuffled" }) {
        for (uint seed = 1; seed <= 20; ++seed)
            QTest::addRow("%s %u", order, seed) << QString(order) << seed;
    }
}

void tst_Equivalence::updateVersion()
{
    QFETCH(QString, order);
    QFETCH(uint, seed);

    // Distinct versions only: the order of equal ones is left open.
    std::mt19937 random(seed);
    const char *suffixes[] = { "", "", "", "rc1", "rc10", "B", "a" };
    const quint32 numbers[] = { 0, 1, 2, 9, 10, 4294967295u };
    QVector<Version> versions;
    for (quint32 major : numbers) {
        for (quint32 minor : { 0u, 3u }) {
            Version version;
            version.major = major;
            version.minor = minor;
            version.patch = random() % 3;
            version.suffix = QString::fromLatin1(suffixes[random() % 7]);
            if (!version.isNull() && !versions.contains(version))
                versions.append(version);
        }
    }
    std::sort(versions.begin(), versions.end());
    if (order == "descending")
        std::reverse(versions.begin(), versions.end());
    else if (order == "shuffled")
        std::shuffle(versions.begin(), versions.end(), random);

    MZU::Catalogue catalogue;
    catalogue.insert("Other", { Version("5.0.0"), { { "changelog", "other" } } });
    for (const Version &version : qAsConst(versions)) {
        QVariantHash values;
        const int log = random() % 4;
        if (log > 0)
            values.insert(
                "changelog", log == 1 ? QVariant(42) : QVariant("log " + version.toString()));
        if (random() % 6 == 0)
            values.insert("tip", random() % 2 ? QVariant(true) : QVariant("true"));
        catalogue.insert("A", { version, values });
    }

    for (const Version &current : { Version(), Version("1.0.0"),
             versions.at(seed % versions.size()), Version("4294967295.3.2-z") }) {
        Version expectedVersion, actualVersion("9.9.9");
        QString expectedLog, actualLog("stale");
        const bool expected =
            plainUpdateVersion(catalogue, "A", current, expectedVersion, expectedLog);
        QCOMPARE(MZU::updateVersion(catalogue, "A", current, actualVersion, actualLog), expected);
        QCOMPARE(actualVersion, expectedVersion);
        QCOMPARE(actualLog, expectedLog);
        QCOMPARE(actualLog.isNull(), expectedLog.isNull());
    }
}

QTEST_APPLESS_MAIN(tst_Equivalence)
#include "tst_equivalence.moc"
