#include "httpserver.h"
#include "manifestbuilder.h"
#include "mzu.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A manifest whose "apps" are @p apps, written with ' for ".
QByteArray withApps(const char *apps)
{
    return QByteArray("{'name': 'Versions.json', 'apps': [") + apps + "]}";
}

} // namespace

Q_DECLARE_METATYPE(HttpServer::Response)

class tst_Tool : public QObject
{
    Q_OBJECT

private:
    struct Result
    {
        int code = -1;
        QString out;
        QString err;
    };
    // Runs the tool; "@" in @p arguments stands for a file holding @p manifest.
    Result run(QStringList arguments, QByteArray manifest = QByteArray(),
        const QString &workingDirectory = QString());
    QTemporaryDir dir;

private Q_SLOTS:
    void lint_data();
    void lint();
    void lintJson();
    void exitCodes_data();
    void exitCodes();
    void badArguments_data();
    void badArguments();
    void agreesWithLibrary_data();
    void agreesWithLibrary();
    void addresses_data();
    void addresses();
    void documentationExamples();
};

tst_Tool::Result tst_Tool::run(
    QStringList arguments, QByteArray manifest, const QString &workingDirectory)
{
    const QString path = dir.filePath(QStringLiteral("manifest.json"));
    if (!manifest.isNull()) {
        QFile file(path);
        manifest.replace('\'', '"');
        if (!file.open(QIODevice::WriteOnly) || file.write(manifest) != manifest.size())
            qFatal("cannot write %s", qPrintable(path));
    }
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^@$")), path);
    QProcess process;
    process.setWorkingDirectory(workingDirectory.isEmpty() ? dir.path() : workingDirectory);
    process.start(QStringLiteral(MZUPDATER_TOOL_PATH), arguments);
    Result result;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return result; // code -1: a hang or a crash
    }
    result.code = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

// Each row: a manifest and the findings expected, in order, as "POINTER: SEVERITY: word|word".
void tst_Tool::lint_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QStringList>("expected");
    const QByteArray release = "{'name': 'A', 'os': 'linux-x86_64', 'version': '1.0.0'}";
    const auto files = [](const char *entries) {
        return withApps(QByteArray("{'name': 'A', 'os': [{'name': 'linux-x86_64', 'files': [")
            + entries + "]}]}");
    };
    const auto settings = [](const char *entries) {
        return withApps(QByteArray("{'name': 'A', 'os': [{'name': 'linux-x86_64', 'settings': [")
            + entries + "]}]}");
    };

    QTest::newRow("clean") << withApps(release) << QStringList();
    QTest::newRow("root array") << QByteArray("[1]") << QStringList { ": error: an array" };
    QTest::newRow("no name") << QByteArray("{'apps': [" + release + "]}")
                             << QStringList { "/name: error: missing|ignore" };
    QTest::newRow("wrong name") << QByteArray("{'name': 'versions.json', 'apps': []}")
                                << QStringList { "/name: error: \"versions.json\"|ignore",
                                       "/apps: warning: empty" };
    QTest::newRow("no apps") << QByteArray("{'name': 'Versions.json'}")
                             << QStringList { "/apps: error: no \"apps\"" };
    QTest::newRow("apps object") << QByteArray("{'name': 'Versions.json', 'apps': {}}")
                                 << QStringList { "/apps: error: an object|not an array" };
    QTest::newRow("non-object element") << withApps(
        "3, 'x'") << QStringList { "/apps/0: error: a number (3)", "/apps/1: error: a string" };
    QTest::newRow("name missing") << withApps("{'os': 'linux-x86_64', 'version': '1.0.0'}")
                                  << QStringList { "/apps/0/name: error: missing|ignored" };
    QTest::newRow("name number") << withApps("{'name': 5, 'os': 'win-x86_64', 'version': '1.0.0'}")
                                 << QStringList { "/apps/0/name: error: a number" };
    QTest::newRow("os boolean") << withApps("{'name': 'A', 'os': true, 'version': '1.0.0'}")
                                << QStringList { "/apps/0/os: error: a boolean" };
    QTest::newRow("os missing") << withApps("{'name': 'A', 'version': '1.0.0'}")
                                << QStringList { "/apps/0/os: error: missing" };
    QTest::newRow("version two numbers")
        << withApps("{'name': 'A', 'os': 'linux-x86_64', 'version': '1.2'}")
        << QStringList { "/apps/0/version: error: \"1.2\"|not a version|ignored" };
    QTest::newRow("version null") << withApps(
        "{'name': 'A', 'os': 'mac-arm64', 'version': '0.0.0-x'}")
                                  << QStringList { "/apps/0/version: error: null version" };
    QTest::newRow("version number") << withApps("{'name': 'A', 'os': 'mac-arm64', 'version': 1}")
                                    << QStringList { "/apps/0/version: error: a number" };
    QTest::newRow("version overflows to null")
        << withApps("{'name': 'A', 'os': 'mac-arm64', 'version': '4294967296.0.0'}")
        << QStringList { "/apps/0/version: error: reads as 0.0.0|4294967296|32 bits" };
    QTest::newRow("version overflows in part")
        << withApps("{'name': 'A', 'os': 'mac-arm64', 'version': '1.4294967296.0-x'}")
        << QStringList { "/apps/0/version: warning: reads as 1.0.0-x|32 bits" };
    QTest::newRow("unknown os") << withApps(
        "{'name': 'A', 'os': 'macos-arm64', 'version': '1.0.0'}")
                                << QStringList { "/apps/0/os: warning: \"macos-arm64\"|no known" };
    QTest::newRow("os case") << withApps("{'name': 'A', 'os': 'Linux-x86_64', 'version': '1.0.0'}")
                             << QStringList {
                                    "/apps/0/os: warning: did you mean \"linux-x86_64\""
                                };
    QTest::newRow("tip True") << withApps(
        "{'name': 'A', 'os': 'mac-arm64', 'version': '1.0.0', 'tip': 'True'}")
                              << QStringList { "/apps/0/tip: warning: \"True\"|not mark" };
    QTest::newRow("tip 1") << withApps(
        "{'name': 'A', 'os': 'mac-arm64', 'version': '1.0.0', 'tip': 1}")
                           << QStringList { "/apps/0/tip: warning: 1" };
    QTest::newRow("tip marks") << withApps("{'name': 'A', 'os': 'mac-arm64', 'version': '1.0.0', "
                                           "'tip': true}, {'name': 'A', 'os': 'mac-arm64', "
                                           "'version': '2.0.0', 'tip': 'true'}, {'name': 'A', "
                                           "'os': 'mac-arm64', 'version': '3.0.0', 'tip': false}")
                               << QStringList();
    QTest::newRow("changelog array")
        << withApps("{'name': 'A', 'os': 'mac-arm64', 'version': '1.0.0', 'changelog': ['x']}")
        << QStringList { "/apps/0/changelog: warning: an array|empty text" };
    QTest::newRow("duplicate version") << withApps(
        "{'name': 'A', 'os': 'mac-arm64', 'version': '1.0.0'}, {'name': 'A', 'os': "
        "'win-x86_64', 'version': '1.0.0'}, {'name': 'A', 'os': 'mac-arm64', "
        "'version': '01.0.0'}") << QStringList { "/apps/2/version: error: twice|/apps/0" };
    QTest::newRow("pre-release after release")
        << withApps("{'name': 'A', 'os': 'mac-arm64', 'version': '2.0.0-beta'}, {'name': 'A', "
                    "'os': 'mac-arm64', 'version': '2.0.0'}, {'name': 'A', 'os': 'mac-arm64', "
                    "'version': '2.0.0-hotfix'}")
        << QStringList { "/apps/0/version: warning: sorts after 2.0.0" };
    QTest::newRow("names differ in case") << withApps("{'name': 'a', 'os': []}, " + release)
                                          << QStringList { "/apps/0/name: warning: \"a\"|\"A\"" };
    QTest::newRow("release before application")
        << withApps(release + ", {'name': 'A', 'os': [{'name': 'linux-x86_64', 'files': [7]}]}")
        << QStringList { "/apps/0: error: stands before /apps/1", "/apps/1: warning: never read",
               "/apps/1/os/0/files/0: error: a number|skipped" };
    QTest::newRow("second application entry")
        << withApps("{'name': 'A', 'os': []}, {'name': 'A', 'os': []}")
        << QStringList { "/apps/1: error: second application entry|/apps/0" };
    QTest::newRow("second OS entry")
        << withApps("{'name': 'A', 'os': [{'name': 'win-arm64'}, 'x', {'name': 'win-arm64', "
                    "'files': [1]}, {'name': 4}]}")
        << QStringList { "/apps/0/os/1: error: a string|not an object",
               "/apps/0/os/2: error: second OS entry|/apps/0/os/0",
               "/apps/0/os/3/name: error: a number" };
    QTest::newRow("files object") << withApps("{'name': 'A', 'os': [{'name': 'mac-arm64', "
                                              "'files': {}, 'settings': 'x'}]}")
                                  << QStringList { "/apps/0/os/0/files: error: an object",
                                         "/apps/0/os/0/settings: error: a string" };
    QTest::newRow("file rules") << files(
        "{'version': '1.0.0', 'location': 'bin', 'url': 'http://h/a'},"
        "{'version': '1.0.0', 'filename': 'b', 'location': '', 'url': 'http://h:x/'},"
        "{'version': 'x', 'filename': [], 'location': 'bin', 'url': 'http://h/c'},"
        "{'version': '1.0.0', 'filename': 7, 'location': 'bin', 'url': 'rel/d'}")
                                << QStringList {
                                       "/apps/0/os/0/files/0/filename: error: missing|dropped",
                                       "/apps/0/os/0/files/1/location: error: empty|dropped",
                                       "/apps/0/os/0/files/1/url: error: not a valid URL|port",
                                       "/apps/0/os/0/files/2/version: error: \"x\"|skipped",
                                       "/apps/0/os/0/files/2/filename: error: an array|empty text"
                                   };
    QTest::newRow("setting rules")
        << settings("{'version': '1.0.0'}, {'version': '1.0.0', 'key': 3}, 'x',"
                    "{'version': '1.0.0', 'key': 'k', 'type': true, 'value': 2},"
                    "{'version': '', 'key': 'k'}")
        << QStringList { "/apps/0/os/0/settings/0/key: error: missing|skipped",
               "/apps/0/os/0/settings/1/key: error: a number",
               "/apps/0/os/0/settings/2: error: a string|not an object",
               "/apps/0/os/0/settings/3/type: warning: a boolean|empty text",
               "/apps/0/os/0/settings/3/value: warning: a number|\"2\"",
               "/apps/0/os/0/settings/4/version: error: empty|skipped" };
    QTest::newRow("misnamed members in text order")
        << withApps("{'name': 'A', 'os': 'mac-arm64', 'version': '1.0.0', 'tip': 'yes', "
                    "'Changelog': 'x'}, {'name': 'A', 'os': [{'name': 'mac-arm64', 'files': "
                    "[{'Version': '1.0.0', 'filename': 'f', 'location': 'l', 'url': 'u'}]}]}")
        << QStringList { "/apps/0: error: stands before", "/apps/0/tip: warning: \"yes\"",
               "/apps/0/Changelog: warning: \"changelog\"", "/apps/1: warning: never read",
               "/apps/1/os/0/files/0/version: error: missing",
               "/apps/1/os/0/files/0/Version: warning: did you mean \"version\"" };
}

void tst_Tool::lint()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QStringList, expected);
    const Result result = run({ "lint", "--manifest", "@", "--os", "linux-x86_64" }, manifest);
    const QStringList lines = result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(result.code, expected.isEmpty() ? 0 : expected.join(' ').contains(" error: ") ? 2 : 1);
    QCOMPARE(lines.size(), expected.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QString prefix = expected.at(i).section(QLatin1String(": "), 0, 1) + ": ";
        QVERIFY2(lines.at(i).startsWith(prefix), qPrintable(lines.at(i)));
        for (const QString &word : expected.at(i).mid(prefix.size()).split(QLatin1Char('|')))
            QVERIFY2(lines.at(i).contains(word), qPrintable(lines.at(i) + " lacks " + word));
    }
}

void tst_Tool::lintJson()
{
    const QByteArray manifest = "{\n'apps': [\n7,\n{'name': 'A', 'os': 'mac-arm64', 'version': "
                                "'1.0.0', 'tip': 'True'}\n],\n'name': 'Versions.json'\n}";
    const Result result = run({ "lint", "--manifest", "@", "--json" }, manifest);
    QCOMPARE(result.code, 2);
    QJsonParseError error;
    const QJsonObject report = QJsonDocument::fromJson(result.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(report.value("errors").toInt(), 1);
    QCOMPARE(report.value("warnings").toInt(), 1);
    const QJsonArray findings = report.value("findings").toArray();
    QCOMPARE(findings.size(), 2);
    QCOMPARE(findings.at(0)["pointer"].toString(), "/apps/0");
    QCOMPARE(findings.at(0)["severity"].toString(), "error");
    QCOMPARE(findings.at(0)["line"].toInt(), 3);
    QCOMPARE(findings.at(1)["pointer"].toString(), "/apps/1/tip");
    QCOMPARE(findings.at(1)["severity"].toString(), "warning");
    QCOMPARE(findings.at(1)["line"].toInt(), 4);
}

void tst_Tool::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("words"); // in the output, or in the error line

    const QByteArray notes = withApps("{'name': 'N', 'os': 'mac-arm64', 'version': '1.1.0', "
                                      "'changelog': 'C'}, {'name': 'N', 'os': 'mac-arm64', "
                                      "'version': '1.2.0', 'changelog': 'D', 'tip': true}");
    const QStringList check { "check", "--manifest", "@", "--os", "mac-arm64", "--app", "N" };
    QTest::newRow("offered") << check + QStringList { "--current", "1.0.0" } << notes << 0
                             << "offered: 1.2.0\nchangelog:\n1.2.0:\nD\n1.1.0:\nC\n";
    QTest::newRow("nothing offered") << check + QStringList { "--current", "1.2.0" } << notes << 2
                                     << "nothing offered: no release";
    QTest::newRow("other os") << QStringList { "check", "--manifest", "@", "--os", "win-x86_64",
        "--app", "N", "--current", "1.0.0" }
                              << notes << 2 << "no release of \"N\" for win-x86_64";
    QTest::newRow("ignored") << check + QStringList { "--current", "1.0.0" }
                             << QByteArray("{'apps': [{'name': 'N', 'os': 'mac-arm64', "
                                           "'version': '1.1.0'}]}")
                             << 2 << "hosts ignore this manifest";
    QTest::newRow("warnings only")
        << QStringList { "lint", "--manifest", "@" }
        << withApps("{'name': 'N', 'os': 'mac-arm64', 'version': '1.0.0', 'tip': 1}") << 1
        << "/apps/0/tip: warning:";
    QTest::newRow("files") << QStringList { "files", "--manifest", "@", "--os", "win-x86_64",
        "--app", "N", "--from", "0.0.0", "--to", "1.0.0" }
                           << withApps("{'name': 'N', 'os': [{'name': 'win-x86_64', 'files': "
                                       "[{'version': '1.0.0', 'filename': 'n.exe', 'location': "
                                       "'.', 'url': 'http://h/n.exe', 'size': 5}]}]}")
                           << 0
                           << "VERSION  FILENAME  LOCATION  URL             SIZE\n"
                              "1.0.0    n.exe     .         http://h/n.exe  5\n";
    QTest::newRow("no files") << QStringList { "files", "--manifest", "@", "--app", "X", "--from",
        "1.0.0", "--to", "2.0.0" }
                              << notes << 0 << "no files: no entry of \"apps\" is named \"X\"";
    QTest::newRow("not json") << QStringList { "lint", "--manifest", "@" } << QByteArray("{'a': }")
                              << 3 << "is not JSON|at line 1";
    QTest::newRow("empty file") << QStringList { "lint", "--manifest", "@" } << QByteArray("") << 3
                                << "is empty";
    QTest::newRow("missing file") << QStringList { "lint", "--manifest", "no/such.json" }
                                  << QByteArray() << 3 << "cannot read no/such.json";
}

void tst_Tool::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, manifest);
    QFETCH(int, code);
    QFETCH(QString, words);
    const Result result = run(arguments, manifest);
    QCOMPARE(result.code, code);
    for (const QString &word : words.split(QLatin1Char('|')))
        QVERIFY2((code == 3 ? result.err : result.out).contains(word),
            qPrintable(result.out + result.err));

    // The same run with --json gives one JSON object on stdout and the same exit code.
    const Result json = run(arguments + QStringList { "--json" }, manifest);
    QCOMPARE(json.code, code);
    QJsonParseError error;
    QVERIFY(QJsonDocument::fromJson(json.out.toUtf8(), &error).isObject());
    QCOMPARE(error.error, QJsonParseError::NoError);
}

void tst_Tool::badArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named"); // in the one-line error
    QTest::newRow("no command") << QStringList() << "no command";
    QTest::newRow("unknown command") << QStringList { "lnt" } << "\"lnt\"";
    QTest::newRow("unknown option")
        << QStringList { "lint", "--manifest", "@", "--bogus" } << "bogus";
    QTest::newRow("no manifest") << QStringList { "lint" } << "--manifest";
    QTest::newRow("no current") << QStringList { "check", "--manifest", "@", "--app", "A" }
                                << "--current";
    QTest::newRow("bad current") << QStringList { "check", "--manifest", "@", "--app", "A",
        "--current", "1.2" } << "--current: \"1.2\"";
    QTest::newRow("huge to") << QStringList { "files", "--manifest", "@", "--app", "A", "--from",
        "1.0.0", "--to", "1.99999999999.0" }
                             << "--to: 99999999999";
    QTest::newRow("value missing")
        << QStringList { "settings", "--manifest", "@", "--app" } << "app";
    QTest::newRow("stray argument")
        << QStringList { "lint", "--manifest", "@", "extra" } << "\"extra\"";
    QTest::newRow("empty os") << QStringList { "lint", "--manifest", "@", "--os", "" } << "--os";
}

void tst_Tool::badArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);
    const Result result = run(arguments, withApps(""));
    QCOMPARE(result.code, 64);
    QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
    QVERIFY2(result.err.contains(named), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
}

// The tool and the public functions, on the same manifest, for this machine's platform.
void tst_Tool::agreesWithLibrary_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    const char *rows[][2] = { { "0.0.0", "9.0.0" }, { "1.0.0", "1.2.0" }, { "1.0.0", "1.0.0-a" },
        { "1.2.0", "1.0.0" }, { "1.0.0-b", "2.0.0" } };
    for (const auto &row : rows)
        QTest::addRow("%s to %s", row[0], row[1]) << row[0] << row[1];
}

void tst_Tool::agreesWithLibrary()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    using namespace ManifestBuilder;
    const QJsonArray files { file("1.2.0", "b"), file("1.0.0-a", "a"), file("1.1.0", "c"),
        file("2.0.0"), file("1.0.0-c", "x", object("{'url': ''}")), json("3") };
    const QJsonArray settings { setting("1.1.0", "k", "int", 3), setting("1.0.0-z", "k", "s", "v"),
        setting("1.2.0", "") };
    const QJsonDocument manifest = ManifestBuilder::manifest(
        { application("A",
              { system("mac-x86_64", QJsonArray()), system(MZU::osString(), files, settings) }),
            release("A", MZU::osString(), "1.1.0", object("{'changelog': 'one'}")),
            release("A", MZU::osString(), "1.2.0", object("{'changelog': 'two', 'tip': 'true'}")),
            release("A", MZU::osString(), "2.0.0", object("{'changelog': 7}")) });
    const QByteArray text = manifest.toJson();
    const MZU::Version fromVersion(from);
    const MZU::Version toVersion(to);

    const Result filesRun = run(
        { "files", "--manifest", "@", "--app", "A", "--from", from, "--to", to, "--json" }, text);
    QCOMPARE(filesRun.code, 0);
    QJsonArray expected;
    for (const MZU::UpdateFile &record : MZU::getFileUpdates(manifest, "A", fromVersion, toVersion))
        expected.append(QJsonObject { { "version", record.version.toString() },
            { "values", QJsonObject::fromVariantHash(record.values) } });
    QCOMPARE(QJsonDocument::fromJson(filesRun.out.toUtf8())["files"].toArray(), expected);

    const Result settingsRun =
        run({ "settings", "--manifest", "@", "--app", "A", "--from", from, "--to", to, "--json" },
            text);
    expected = QJsonArray();
    for (const MZU::SettingValue &record :
        MZU::getSettingUpdates(manifest, "A", fromVersion, toVersion))
        expected.append(QJsonObject { { "version", record.version.toString() },
            { "key", record.key }, { "type", record.type }, { "value", record.value } });
    QCOMPARE(QJsonDocument::fromJson(settingsRun.out.toUtf8())["settings"].toArray(), expected);

    const Result checkRun =
        run({ "check", "--manifest", "@", "--app", "A", "--current", from, "--json" }, text);
    MZU::Version offered;
    QString changelog;
    const bool found =
        MZU::updateVersion(MZU::getApplications(manifest), "A", fromVersion, offered, changelog);
    const QJsonDocument check = QJsonDocument::fromJson(checkRun.out.toUtf8());
    QCOMPARE(checkRun.code, found ? 0 : 2);
    QCOMPARE(check["offered"].toBool(), found);
    QCOMPARE(check["version"].toString(), found ? offered.toString() : QString());
    QCOMPARE(check["changelog"].toString(), changelog);
}

void tst_Tool::addresses_data()
{
    QTest::addColumn<HttpServer::Response>("response");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("words");
    const QByteArray clean =
        withApps("{'name': 'A', 'os': 'mac-arm64', 'version': '1.0.0'}").replace('\'', '"');
    QTest::newRow("served") << HttpServer::Response::json(clean) << 0 << "";
    QTest::newRow("defect served")
        << HttpServer::Response::json("{\"name\": \"Versions.json\", \"apps\": [1]}") << 2
        << "/apps/0: error:";
    QTest::newRow("redirect") << HttpServer::Response::redirect(301, "/moved/Versions.json") << 3
                              << "redirect (HTTP 301) to http://127.0.0.1:%1/moved/Versions.json"
                                 "|do not follow";
    QTest::newRow("not found") << HttpServer::Response::json("{}", 404) << 3 << "HTTP 404";
    QTest::newRow("html") << HttpServer::Response::json("<html></html>") << 3 << "not JSON";
}

void tst_Tool::addresses()
{
    QFETCH(HttpServer::Response, response);
    QFETCH(int, code);
    QFETCH(QString, words);
    HttpServer server;
    server.setResponse("/Versions.json", response);
    const Result result = run({ "lint", "--manifest", server.url("/Versions.json") });
    QCOMPARE(result.code, code);
    const QString expected = words.contains("%1") ? words.arg(server.port()) : words;
    for (const QString &word : expected.split(QLatin1Char('|')))
        QVERIFY2((result.out + result.err).contains(word), qPrintable(result.out + result.err));
}

// Every ```console block of docs/manifest.md runs on the ```json block before it, saved as
// Versions.json, and prints exactly what the block shows.
void tst_Tool::documentationExamples()
{
    QFile file(QStringLiteral(MZUPDATER_DOCS_DIR "/manifest.md"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    const QRegularExpression block(QStringLiteral("```(json|console)\n(.*?)```"),
        QRegularExpression::DotMatchesEverythingOption);
    QByteArray manifest;
    int examples = 0;
    for (auto it = block.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        if (match.captured(1) == QLatin1String("json")) {
            manifest = match.captured(2).toUtf8();
            QJsonParseError error;
            QJsonDocument::fromJson(manifest, &error);
            QVERIFY2(error.error == QJsonParseError::NoError, manifest.constData());
            continue;
        }
        QString command = match.captured(2).section(QLatin1Char('\n'), 0, 0);
        const QString expected = match.captured(2).section(QLatin1Char('\n'), 1);
        QVERIFY2(command.startsWith(QLatin1String("$ mzupdater ")), qPrintable(command));
        QFile saved(dir.filePath(QStringLiteral("Versions.json")));
        QVERIFY(saved.open(QIODevice::WriteOnly) && saved.write(manifest) == manifest.size());
        saved.close();
        const Result result = run(QProcess::splitCommand(command.mid(12)));
        QCOMPARE(result.out, expected);
        ++examples;
    }
    QVERIFY(examples >= 5);
}

QTEST_GUILESS_MAIN(tst_Tool)
#include "tst_tool.moc"
