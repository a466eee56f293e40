#include "httpserver.h"
#include "manifestbuilder.h"
#include "mzu.h"

#include <QtTest> // and QtCore

// Manifests for the tables, with ' standing for ".
#define APPS(elements) "{'name': 'Versions.json', 'apps': [" elements "]}"
#define REL(os, version) "{'name': 'A', 'os': '" os "', 'version': '" version "'}"

class tst_Tool : public QObject
{
    Q_OBJECT

    struct Result
    {
        int code = -1;
        QString out, err;
    };
    // Runs the tool in a directory holding @p manifest as Versions.json; "@" stands for
    // "--manifest Versions.json", SERVER for the address of a loopback server.
    Result run(QString command, const QByteArray &manifest = QByteArray());
    QTemporaryDir dir;
    HttpServer server;

private Q_SLOTS:
    void lint_data();
    void lint();
    void exitCodes_data();
    void exitCodes();
    void agreesWithLibrary_data();
    void agreesWithLibrary();
    void documentationExamples();
};

tst_Tool::Result tst_Tool::run(QString command, const QByteArray &manifest)
{
    QFile file(dir.filePath(QStringLiteral("Versions.json")));
    if (!manifest.isNull() && (!file.open(QIODevice::WriteOnly) || file.write(manifest) < 0))
        qFatal("cannot write %s", qPrintable(file.fileName()));
    file.close();
    command.replace("@", "--manifest Versions.json").replace("SERVER", server.url(""));
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral(MZUPDATER_TOOL_PATH), QProcess::splitCommand(command));
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return Result(); // a hang (~QProcess kills it) or a crash
    return { process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError()) };
}

// The findings expected in printed order, one a line, as "POINTER: SEVERITY: word|word";
// "~" stands for /apps/0/os/0.
void tst_Tool::lint_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QString>("expected");
    const char *rows[][3] = {
        { "root array", "[1]", ": error: an array" },
        { "root name", "{'name': 'versions.json', 'apps': []}",
            "/name: error: \"versions.json\"|ignore\n/apps: warning: empty" },
        { "apps object", "{'name': 'Versions.json', 'apps': {}}", "/apps: error: not an array" },
        { "release errors",
            APPS("3, 'x', {'os': 'linux-x86_64', 'version': '1.0.0'}, {'name': 'A', 'os': true, "
                 "'version': '1.0.0'}, {'name': 'A', 'os': 'mac-arm64', 'version': '1.2'}, "
                 "{'name': 'A', 'os': 'mac-arm64', 'version': '0.0.0-x'}, {'name': 'A', 'os': "
                 "'mac-arm64', 'version': '4294967296.0.0'}"),
            "/apps/0: error: a number (3)\n/apps/1: error: a string|not an object\n"
            "/apps/2/name: error: missing|ignored\n/apps/3/os: error: a boolean\n"
            "/apps/4/version: error: \"1.2\"|not a version\n/apps/5/version: error: null version\n"
            "/apps/6/version: error: reads as 0.0.0|4294967296|32 bits" },
        { "release warnings",
            APPS("{'name': 'A', 'os': 'macos-arm64', 'version': '1.0.0', 'tip': 'True', "
                 "'Changelog': 'x'}, {'name': 'A', 'os': 'Linux-x86_64', 'version': "
                 "'1.4294967296.0-x', 'tip': 1, 'changelog': ['x']}, {'name': 'A', 'os': "
                 "'mac-arm64', 'version': '3.0.0', 'tip': 'true'}"),
            "/apps/0/os: warning: \"macos-arm64\"|no known\n/apps/0/tip: warning: \"True\"|not\n"
            "/apps/0/Changelog: warning: did you mean \"changelog\"\n"
            "/apps/1/os: warning: did you mean \"linux-x86_64\"\n"
            "/apps/1/version: warning: reads as 1.0.0-x|32 bits\n/apps/1/tip: warning: 1\n"
            "/apps/1/changelog: warning: an array|empty text" },
        { "duplicate versions",
            APPS(REL("mac-arm64", "1.0.0") ", " REL("win-x86_64", "1.0.0") ", " REL(
                "mac-arm64", "01.0.0") ", " REL("mac-arm64", "2.0.0-beta") ", " REL("mac-arm64",
                "2.0.0") ", " REL("mac-arm64", "2.0.0-hotfix")),
            "/apps/2/version: error: twice|/apps/0\n/apps/3/version: warning: sorts after 2.0.0" },
        { "application entries",
            APPS("{'name': 'A', 'os': 'linux-x86_64', 'version': '1.0.0'}, {'name': 'A', 'os': "
                 "[{'name': 'linux-x86_64', 'files': [7]}]}, {'name': 'a', 'os': []}, {'name': "
                 "'a', 'os': []}"),
            "/apps/0: error: stands before /apps/1\n/apps/1: warning: never read\n"
            "/apps/1/os/0/files/0: error: a number|skipped\n/apps/2/name: warning: \"a\"|\"A\"\n"
            "/apps/3: error: second application entry|/apps/2\n/apps/3/name: warning: \"a\"" },
        { "file rules",
            APPS("{'name': 'A', 'os': [{'name': 'linux-x86_64', 'files': ["
                 "{'version': '1.0.0', 'location': 'bin', 'url': 'http://h/a'},"
                 "{'version': '1.0.0', 'filename': 'b', 'location': '', 'url': 'http://h:x/'},"
                 "{'version': 'x', 'filename': [], 'location': 'bin', 'url': 'http://h/c'},"
                 "{'version': '1.0.0', 'filename': 7, 'location': 'bin', 'url': 'rel/d'}]}]}"),
            "~/files/0/filename: error: missing|dropped\n~/files/1/location: error: empty|dropped\n"
            "~/files/1/url: error: not a valid URL|port\n~/files/2/version: error: \"x\"|skipped\n"
            "~/files/2/filename: error: an array|empty text" },
        { "OS entries, setting rules",
            APPS("{'name': 'A', 'os': [{'name': 'win-arm64', 'settings': [{'version': '1.0.0'}, "
                 "{'version': '1.0.0', 'key': 3}, 'x', {'version': '1.0.0', 'key': 'k', 'type': "
                 "true, 'value': 2}, {'version': '', 'key': 'k'}]}, 'x', {'name': 'win-arm64', "
                 "'files': [1]}, {'name': 4}, {'name': 'mac-arm64', 'files': {}, 'settings': "
                 "'x'}]}"),
            "~/settings/0/key: error: missing|skipped\n~/settings/1/key: error: a number\n"
            "~/settings/2: error: not an object\n~/settings/3/type: warning: a boolean|empty\n"
            "~/settings/3/value: warning: a number|\"2\"\n~/settings/4/version: error: empty\n"
            "/apps/0/os/1: error: a string\n/apps/0/os/2: error: second OS entry|/apps/0/os/0\n"
            "/apps/0/os/3/name: error: a number\n/apps/0/os/4/files: error: an object\n"
            "/apps/0/os/4/settings: error: a string" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QByteArray(row[1]).replace('\'', '"') << QString(row[2]);
}

void tst_Tool::lint()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QString, expected);
    const Result result = run("lint @ --os linux-x86_64", manifest);
    const QStringList lines = result.out.split('\n', Qt::SkipEmptyParts);
    const QStringList wanted =
        expected.replace('~', "/apps/0/os/0").split('\n', Qt::SkipEmptyParts);
    QCOMPARE(result.code, wanted.isEmpty() ? 0 : expected.contains(" error: ") ? 2 : 1);
    QCOMPARE(lines.size(), wanted.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QString prefix = wanted.at(i).section(": ", 0, 1) + ": ";
        QVERIFY2(lines.at(i).startsWith(prefix), qPrintable(lines.at(i)));
        for (const QString &word : wanted.at(i).mid(prefix.size()).split('|'))
            QVERIFY2(lines.at(i).contains(word), qPrintable(lines.at(i) + " lacks " + word));
    }
}

// Words are looked for on stdout, or for codes 3 and 64 in the one line on stderr.
void tst_Tool::exitCodes_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("words");
    server.setResponse("/r", HttpServer::Response::redirect(301, "/moved"));
    const char *notes = APPS("{'name': 'A', 'os': 'mac-arm64', 'version': '1.1.0', 'changelog': "
                             "'C'}, {'name': 'A', 'os': 'mac-arm64', 'version': '1.2.0', "
                             "'changelog': 'D', 'tip': 'true'}");
    server.setResponse("/notes", HttpServer::Response::json(QByteArray(notes).replace('\'', '"')));
    const char *rows[][5] = {
        // name, command, manifest, exit code, words
        { "offered", "check @ --os mac-arm64 --app A --current 1.0.0", notes, "0",
            "offered: 1.2.0\nchangelog:\n1.2.0:\nD\n1.1.0:\nC\n" },
        { "nothing offered", "check @ --os mac-arm64 --app A --current 1.2.0", notes, "2",
            "nothing offered: no release" },
        { "ignored", "check @ --os mac-arm64 --app A --current 1.0.0",
            "{'apps': [" REL("mac-arm64", "1.1.0") "]}", "2", "hosts ignore this manifest" },
        { "files", "files @ --os win-x86_64 --app A --from 0.0.0 --to 1.0.0",
            APPS("{'name': 'A', 'os': [{'name': 'win-x86_64', 'files': [{'version': '1.0.0', "
                 "'filename': 'n.exe', 'location': '.', 'url': 'u', 'size': 5}]}]}"),
            "0", "VERSION  FILENAME  LOCATION  URL  SIZE\n1.0.0    n.exe     .         u    5\n" },
        { "no files", "files @ --app X --from 1.0.0 --to 2.0.0", notes, "0",
            "no files: no entry of \"apps\" is named \"X\"" },
        { "not json", "lint @", "{'a': }", "3", "is not JSON|at line 1" },
        { "empty file", "lint @", "", "3", "is empty" },
        { "json findings", "lint @ --json",
            "{\n'apps': [\n7,\n" REL("macos-arm64", "1.0.0") "\n],\n'name': 'Versions.json'\n}",
            "2", "\"errors\": 1,|\"warnings\": 1|\"line\": 3,|\"line\": 4,|\"/apps/1/os\"" },
        { "missing file", "lint --manifest no/such", nullptr, "3", "cannot read no/such" },
        { "served", "lint --manifest SERVER/notes --json", nullptr, "0", "\"errors\": 0," },
        { "redirect", "lint --manifest SERVER/r", nullptr, "3",
            "redirect (HTTP 301) to SERVER/moved" },
        { "HTTP error", "lint --manifest SERVER/none", nullptr, "3", "HTTP 404" },
        { "unknown command", "lnt", nullptr, "64", "\"lnt\"" },
        { "unknown option", "lint @ --bogus", nullptr, "64", "bogus" },
        { "no manifest", "lint", nullptr, "64", "--manifest" },
        { "bad to", "files @ --app A --from 1.0.0 --to 1.2", nullptr, "64", "--to: \"1.2\"" },
        { "huge current", "check @ --app A --current 1.99999999999.0", nullptr, "64", "32 bits" },
        { "value missing", "settings @ --app", nullptr, "64", "app" },
        { "stray argument", "lint @ extra", nullptr, "64", "\"extra\"" },
        { "empty os", "lint @ --os=", nullptr, "64", "--os: the platform name is empty" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QString(row[1]) << QByteArray(row[2]).replace('\'', '"')
                              << QString(row[3]).toInt() << QString(row[4]);
}

void tst_Tool::exitCodes()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, manifest);
    QFETCH(int, code);
    QFETCH(QString, words);
    const Result result = run(command, manifest);
    QCOMPARE(result.code, code);
    if (code >= 3)
        QVERIFY2(result.out.isEmpty() && result.err.count('\n') == 1, qPrintable(result.err));
    for (const QString &word : words.replace("SERVER", server.url("")).split('|'))
        QVERIFY2((code >= 3 ? result.err : result.out).contains(word),
            qPrintable(result.out + result.err));
    // With --json: one JSON object on stdout, and the same exit code.
    const Result json = run(command + " --json", manifest);
    QCOMPARE(json.code, code);
    QVERIFY2(QJsonDocument::fromJson(json.out.toUtf8()).isObject(), qPrintable(json.out));
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
    const QString os = MZU::osString();
    const QJsonArray files { file("1.2.0", "b"), file("1.0.0-a", "a"), file("1.1.0", "c"),
        file("2.0.0"), file("1.0.0-c", "x", object("{'url': ''}")), json("3") };
    const QJsonArray settings { setting("1.1.0", "k", "int", 3), setting("1.0.0-z", "k", "s", "v"),
        setting("1.2.0", "") };
    const QJsonDocument manifest = ManifestBuilder::manifest(
        { application("A", { system("mac-x86_64", QJsonArray()), system(os, files, settings) }),
            release("A", os, "1.1.0", object("{'changelog': 'one'}")),
            release("A", os, "1.2.0", object("{'changelog': 'two', 'tip': 'true'}")),
            release("A", os, "2.0.0", object("{'changelog': 7}")) });
    const MZU::Version first(from);
    const MZU::Version last(to);
    const auto tool = [&](const QString &command) {
        return QJsonDocument::fromJson(
            run(command + " @ --app A --json", manifest.toJson()).out.toUtf8());
    };

    QJsonArray expected;
    for (const MZU::UpdateFile &record : MZU::getFileUpdates(manifest, "A", first, last))
        expected.append(QJsonObject { { "version", record.version.toString() },
            { "values", QJsonObject::fromVariantHash(record.values) } });
    QCOMPARE(tool("files --from " + from + " --to " + to)["files"].toArray(), expected);
    expected = QJsonArray();
    for (const MZU::SettingValue &record : MZU::getSettingUpdates(manifest, "A", first, last))
        expected.append(QJsonObject { { "version", record.version.toString() },
            { "key", record.key }, { "type", record.type }, { "value", record.value } });
    QCOMPARE(tool("settings --from " + from + " --to " + to)["settings"].toArray(), expected);

    MZU::Version offered;
    QString changelog;
    const bool found =
        MZU::updateVersion(MZU::getApplications(manifest), "A", first, offered, changelog);
    const QJsonDocument check = tool("check --current " + from);
    QCOMPARE(check["offered"].toBool(), found);
    QCOMPARE(check["version"].toString(), found ? offered.toString() : QString());
    QCOMPARE(check["changelog"].toString(), changelog);
}

// Every ```console block of docs/manifest.md runs on the ```json block before it, saved as
// Versions.json, and prints exactly what the block shows.
void tst_Tool::documentationExamples()
{
    QFile docs(QStringLiteral(MZUPDATER_DOCS_DIR "/manifest.md"));
    QVERIFY(docs.open(QIODevice::ReadOnly));
    const QRegularExpression block(QStringLiteral("```(json|console)\n(.*?)```"),
        QRegularExpression::DotMatchesEverythingOption);
    QByteArray manifest;
    int examples = 0;
    for (auto it = block.globalMatch(QString::fromUtf8(docs.readAll())); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QString text = match.captured(2);
        if (match.captured(1) == QLatin1String("json")) {
            manifest = text.toUtf8();
            continue;
        }
        QCOMPARE(run(text.section('\n', 0, 0).mid(12), manifest).out, text.section('\n', 1));
        ++examples;
    }
    QVERIFY(examples >= 5);
}

QTEST_GUILESS_MAIN(tst_Tool)
#include "tst_tool.moc"
