#include "httpserver.h"
#include "lint.h"
#include "source.h"

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
    // "--manifest Versions.json", SERVER for the address of a loopback server. @p input
    // goes to its standard input.
    Result run(QString command, const QByteArray &manifest = QByteArray(),
        const QByteArray &input = QByteArray());
    void save(const QString &name, const QByteArray &bytes);
    QTemporaryDir dir;
    HttpServer server;

private Q_SLOTS:
    void lint_data();
    void lint();
    void locations_data();
    void locations();
    void formats_data();
    void formats();
    void exitCodes_data();
    void exitCodes();
    void documentationExamples();
};

void tst_Tool::save(const QString &name, const QByteArray &bytes)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0)
        qFatal("cannot write %s", qPrintable(file.fileName()));
}

tst_Tool::Result tst_Tool::run(QString command, const QByteArray &manifest, const QByteArray &input)
{
    if (!manifest.isNull())
        save(QStringLiteral("Versions.json"), manifest);
    command.replace("@", "--manifest Versions.json").replace("SERVER", server.url(""));
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral(MZUPDATER_TOOL_PATH), QProcess::splitCommand(command));
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return Result(); // a hang (~QProcess kills it) or a crash
    return { process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError()) };
}

// The findings in printed order as "LINE:COLUMN E|W RULE", with a "word" where the message's
// wording is the point.
void tst_Tool::lint_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QString>("expected");
    const char *rows[][3] = {
        { "root array", "[1]", "1:1 E ignored-manifest" },
        { "root name", "{'name': 'versions.json', 'apps': []}",
            "1:10 E ignored-manifest, 1:35 W no-apps" },
        { "apps object", "{'name': 'Versions.json', 'apps': {}}", "1:35 E no-apps" },
        { "release errors",
            APPS("3, 'x', {'os': 'linux-x86_64', 'version': '1.0.0'}, {'name': 'A', 'os': true, "
                 "'version': '1.0.0'}, {'name': 'A', 'os': 'mac-arm64', 'version': '1.2'}, "
                 "{'name': 'A', 'os': 'mac-arm64', 'version': '0.0.0-x'}, {'name': 'A', 'os': "
                 "'mac-arm64', 'version': '4294967296.0.0'}"),
            "1:36 E not-object, 1:39 E not-object, 1:44 E unusable-member, 1:108 E "
            "unusable-member, "
            "1:179 E null-version, 1:231 E null-version, 1:287 E null-version" },
        { "release warnings",
            APPS("{'name': 'A', 'os': 'macos-arm64', 'version': '1.0.0', 'tip': 'True', "
                 "'Changelog': 'x'}, {'name': 'A', 'os': 'Linux-x86_64', 'version': "
                 "'1.4294967296.0-x', 'tip': 1, 'changelog': ['x']}, {'name': 'A', 'os': "
                 "'mac-arm64', 'version': '3.0.0', 'tip': 'true'}"),
            "1:56 W unknown-platform, 1:98 W tip-not-marked, 1:119 W misspelled-member "
            "\"changelog\", 1:145 W unknown-platform \"linux-x86_64\", 1:172 W version-overflow, "
            "1:199 W tip-not-marked, 1:215 W value-not-text" },
        { "duplicate versions",
            APPS(REL("mac-arm64", "1.0.0") ", " REL("win-x86_64", "1.0.0") ", " REL(
                "mac-arm64", "01.0.0") ", " REL("mac-arm64", "2.0.0-beta") ", " REL("mac-arm64",
                "2.0.0") ", " REL("mac-arm64", "2.0.0-hotfix")),
            "1:189 E duplicate-release, 1:244 W suffix-order" },
        { "application entries",
            APPS("{'name': 'A', 'os': 'linux-x86_64', 'version': '1.0.0'}, {'name': 'A', 'os': "
                 "[{'name': 'linux-x86_64', 'files': [7]}]}, {'name': 'a', 'os': []}, {'name': "
                 "'a', 'os': []}"),
            "1:36 E entry-order, 1:93 W entry-order, 1:149 E not-object, 1:165 W similar-name, "
            "1:181 E second-entry, 1:190 W similar-name" },
        { "file rules",
            APPS(REL("linux-x86_64",
                "1.0.0") ", {'name': 'A', 'os': [{'name': 'linux-x86_64', "
                         "'files': [{'version': '1.0.0', 'location': 'bin', 'url': 'http://h/a'},"
                         "{'version': '1.0.0', 'filename': 'b', 'location': '', 'url': "
                         "'http://h:x/'},"
                         "{'version': 'x', 'filename': [], 'location': 'bin', 'url': 'http://h/c'},"
                         "{'version': '1.0.0', 'filename': 7, 'location': 'bin', 'url': "
                         "'http://h/d'}]}]}"),
            "1:36 E entry-order, 1:93 W entry-order, 1:149 E file-dropped, 1:260 E file-dropped, "
            "1:271 E file-dropped, 1:298 E null-version, 1:315 E file-dropped" },
        { "OS entries, setting rules",
            APPS("{'name': 'A', 'os': [{'name': 'win-arm64', 'settings': [{'version': '1.0.0'}, "
                 "{'version': '1.0.0', 'key': 3}, 'x', {'version': '1.0.0', 'key': 'k', 'type': "
                 "true, 'value': 2}, {'version': '', 'key': 'k'}]}, 'x', {'name': 'win-arm64', "
                 "'files': [1]}, {'name': 4}, {'name': 'mac-arm64', 'files': {}, 'settings': "
                 "'x'}]}, " REL("win-arm64", "1.0.0") ", " REL("mac-arm64", "1.0.0")),
            "1:92 E unusable-member, 1:142 E unusable-member, 1:146 E not-object, "
            "1:192 W value-not-text, 1:207 W value-not-text, 1:223 E null-version, "
            "1:242 E not-object, 1:247 E second-entry, 1:293 E unusable-member, "
            "1:328 E unusable-member, 1:344 E unusable-member" },
        // Each level's own members; "date", "type" and "sha256" resemble none of them.
        { "misspelled members",
            "{'nmae': 'Versions.json', 'apps': [{'name': 'A', 'os': [{'name': 'win-arm64', "
            "'settings': [{'verison': '1.0.0', 'key': 'k', 'valeu': 'v'}], 'files': [{'version': "
            "'1.0.0', 'filname': 'f', 'location': 'l', 'url': 'http://h/f', 'sha256': 'x'}]}, "
            "{'name': 'mac-arm64', 'setings': []}]}, {'Name': 'B', 'os': []}, {'name': 'A', "
            "'os': 'win-arm64', 'version': '1.0.0', 'tipp': true, 'chnagelog': 'c', 'date': 'd', "
            "'type': 't'}, " REL("mac-arm64", "1.0.0") "]}",
            "1:1 E ignored-manifest, 1:10 W misspelled-member \"name\", 1:92 E null-version, "
            "1:104 W misspelled-member \"version\", 1:134 W misspelled-member \"value\", "
            "1:151 E file-dropped, 1:183 W misspelled-member \"filename\", "
            "1:277 W misspelled-member \"settings\", 1:284 E unusable-member, "
            "1:293 W misspelled-member \"name\", 1:370 W misspelled-member \"tip\", "
            "1:389 W misspelled-member \"changelog\"" },
        { "similar names",
            APPS("{'name': 'A', 'os': 'mac-arm64', 'version': '1.0.0'}, {'name': 'A', 'os': "
                 "'mac-arm64', 'version': '1.1.0'}, {'name': 'a', 'os': 'mac-arm64', 'version': "
                 "'1.0.0'}, {'name': ' A', 'os': 'mac-arm64', 'version': '1.2.0'}, {'name': "
                 "'Sketch', 'os': []}, {'name': 'Skecth', 'os': 'mac-arm64', 'version': '1.0.0'}, "
                 "{'name': 'App1', 'os': 'mac-arm64', 'version': '1.0.0'}, {'name': 'App2', "
                 "'os': 'mac-arm64', 'version': '1.0.0'}"),
            "1:153 W similar-name, 1:207 W similar-name, 1:292 W similar-name \"Sketch\"" },
        { "across entries",
            APPS(
                "{'name': 'A', 'os': [{'name': 'mac-arm64', 'files': [{'version': '1.1.0', "
                "'filename': 'f', 'location': 'l', 'url': 'http://h/f'}], 'settings': [{'version': "
                "'1.0.5', 'key': 'k', 'key': 'j'}]}, {'name': 'win-arm64', 'files': [{'version': "
                "'1.5.0', 'filename': 'f', 'location': 'l', 'url': 'http://h/f'}]}]}, " REL(
                    "mac-arm64", "1.0.0") ", " REL("mac-arm64", "01.1.0")),
            "1:192 W version-without-release, 1:220 E repeated-key, "
            "1:237 W platform-without-release" },
        { "URLs",
            APPS("{'name': 'A', 'os': 'mac-arm64', 'version': '1.0.0'}, {'name': 'B', 'os': "
                 "[{'name': 'mac-arm64', 'files': [<htps://h/f>, <dl.example.com/f>, "
                 "<C:\\\\b\\\\x.exe>, <https://h/a b>, <ftp://u:p@h/f>, <file:///f>]}]}, "
                 "{'name': 'B', 'os': 'mac-arm64', 'version': '1.0.0'}"),
            "1:205 W url-scheme \"https\", 1:282 W url-scheme, 1:365 W url-characters, "
            "1:365 W url-scheme, 1:444 W url-characters, 1:524 W url-credentials" },
    };
    // <URL> stands for a file entry with that URL.
    const QRegularExpression file(QStringLiteral("<([^>]*)>"));
    for (const auto &row : rows) {
        QString text = QString(row[1]).replace(file,
            "{'version': '1.0.0', 'filename': 'f', "
            "'location': 'l', 'url': '\\1'}");
        QTest::newRow(row[0]) << text.replace('\'', '"').toUtf8() << QString(row[2]);
    }
}

void tst_Tool::lint()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QString, expected);
    Manifest loaded;
    LoadError error;
    QVERIFY(parseManifest(manifest, loaded, error));
    QStringList found;
    for (const Finding &finding : lintManifest(loaded, QStringLiteral("linux-x86_64"))) {
        const QString word = expected.section(", ", found.size(), found.size()).section(' ', 3);
        QVERIFY2(finding.message.contains(word), qPrintable(finding.message));
        found.append(QStringLiteral("%1:%2 %3 %4%5")
                         .arg(finding.position.line)
                         .arg(finding.position.column)
                         .arg(finding.severity == Finding::Error ? 'E' : 'W')
                         .arg(finding.rule, word.isEmpty() ? QString() : ' ' + word));
    }
    QCOMPARE(found.join(", "), expected);
}

// Where the first finding is, as LINE:COLUMN POINTER, and a word of its message; "\n" in the
// text is replaced by each row's line end.
void tst_Tool::locations_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected");
    const QByteArray release =
        "{'name': 'Versions.json',\n'apps': [\n  {'name': '\xc3\xa9\xe2\x82\xac "
        "\xf0\x9f\x98\x80', 'os': 'linux-x86_64', 'version': 'x'}]}";
    const char *ends[][2] = { { "LF", "\n" }, { "CRLF", "\r\n" }, { "CR", "\r" } };
    for (const auto &end : ends) {
        QTest::addRow("value after multibyte characters, %s", end[0])
            << QByteArray(release).replace("\n", end[1]) << "3:53 /apps/0/version: not a version";
        QTest::addRow("comment, %s", end[0])
            << QByteArray("{'name': 'Versions.json',\n  // the apps\n'apps': []}")
                   .replace("\n", end[1])
            << "2:3 : a comment";
    }
    const char *rows[][3] = {
        { "byte order mark", "\xef\xbb\xbf{'name': 'x', 'apps': []}", "1:10 /name: ignore" },
        { "byte order mark, not JSON", "\xef\xbb\xbf{'name' 'x'}", "1:9 : where ':'" },
        { "missing member at its object",
            "{'name': 'Versions.json', 'apps': [\n 7, {'os': "
            "'linux-x86_64', 'version': '1.0.0'}]}",
            "2:2 /apps/0: not an object" },
        { "missing value", "{'a': }", "1:7 : '}' where a value" },
        { "trailing comma", "{'a': [1, 2,\n]}", "1:12 : a comma before ']'" },
        { "missing comma between lines", "{'a': 1\n 'b': 2}", "2:2 : '\"' where ',' or '}'" },
        { "unknown word", "[true, tru]", "1:8 : not a JSON value" },
        { "string never closed", "['a', 'b", "1:7 : never closed" },
        { "text ends", "{'a': [1,\n", "2:1 : the text ends" },
        { "bytes after the end", "{} {}", "1:4 : '{' where nothing" },
        { "not UTF-8", "{'a': '\xe9t\xe9'}", "1:8 : not UTF-8" },
        { "empty", "  \n ", "2:2 : the text is empty" },
        { "repeated key", "{'name': 'x', 'name': 'Versions.json', 'apps': []}",
            "1:23 /name: appears twice|column 10" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QByteArray(row[1]) << QString(row[2]);
}

void tst_Tool::locations()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);
    Manifest manifest;
    LoadError error;
    const QVector<Finding> findings = parseManifest(text.replace('\'', '"'), manifest, error)
        ? lintManifest(manifest, QStringLiteral("linux-x86_64"))
        : QVector<Finding> { unreadable(error) };
    QVERIFY(!findings.isEmpty());
    const Finding &first = findings.first();
    QCOMPARE(QStringLiteral("%1:%2 %3")
                 .arg(first.position.line)
                 .arg(first.position.column)
                 .arg(first.pointer),
        expected.section(':', 0, 1));
    for (const QString &word : expected.section(": ", 1).split('|'))
        QVERIFY2(first.message.contains(word), qPrintable(first.message));
}

// One manifest in every format: a warning at line 3, manifest text with control characters
// (ESC, CSI, a line break, a direction override) that must not reach the output raw.
void tst_Tool::formats_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("words");
    QTest::newRow("text") << "text"
                          << "m,1:x.json:3:10: warning: the release name "
                             "\"\\u001b[31mx%\\n\\u009b\\u202e\" differs from "
                             "\"\\u001b[31mX%\\n\\u009b\\u202e\"";
    QTest::newRow("json")
        << "json"
        << "\"file\": \"m,1:x.json\"|\"line\": 3,|\"column\": 10,|\"rule\": \"similar-name\"";
    QTest::newRow("github")
        << "github"
        << "::warning file=m%2C1%3Ax.json,line=3,col=10,title=mzupdater similar-name::"
           "the release name|%25\\n|[/apps/2/name]";
    QTest::newRow("sarif") << "sarif"
                           << "\"startColumn\": 10|\"ruleId\": \"similar-name\"";
}

void tst_Tool::formats()
{
    QFETCH(QString, format);
    QFETCH(QString, words);
    // A file name with the characters GitHub's properties must escape.
    const QByteArray name = "\\u001b[31mX%\\n\xc2\x9b\xe2\x80\xae";
    QByteArray manifest = APPS("{'name': 'A', 'os': 'mac-arm64', 'version': '1.0.0'},\n{'name': "
                               "'A', 'os': 'mac-arm64', 'version': '1.1.0'},\n{'name': 'a', 'os': "
                               "'mac-arm64', 'version': '1.0.0'}");
    save("m,1:x.json",
        manifest.replace('\'', '"')
            .replace("\"A\"", "\"" + name + "\"")
            .replace("\"a\"", "\"" + QByteArray(name).replace('X', 'x') + "\""));
    const Result result = run("lint --manifest m,1:x.json --format " + format);
    QCOMPARE(result.code, 1);
    for (const QString &word : words.split('|'))
        QVERIFY2(result.out.contains(word), qPrintable(result.out));
    for (const QChar c : result.out) {
        const ushort u = c.unicode();
        QVERIFY2(u == '\n' || (u >= ' ' && u != 0x7f && !(u >= 0x80 && u <= 0x9f) && u != 0x202e),
            qPrintable(QString::number(u, 16)));
    }
    if (format != "sarif")
        return;
    // What code scanning reads of SARIF 2.1.0.
    const QJsonObject sarif = QJsonDocument::fromJson(result.out.toUtf8()).object();
    QCOMPARE(sarif["version"].toString(), QStringLiteral("2.1.0"));
    const QJsonObject run = sarif["runs"][0].toObject();
    const QJsonObject driver = run["tool"]["driver"].toObject();
    const QJsonObject result0 = run["results"][0].toObject();
    QCOMPARE(driver["rules"][result0["ruleIndex"].toInt()]["id"], result0["ruleId"]);
    QCOMPARE(result0["locations"][0]["physicalLocation"]["artifactLocation"]["uri"].toString(),
        QStringLiteral("m%2C1%3Ax.json"));
}

// Words are looked for on stdout, or in the one line on stderr when the tool stops (64, and
// 3 or 4 but for lint, which prints an unreadable or refused manifest as a finding). The
// manifest is also standard input. signed.json is signed with the key of a.pub, not b.pub.
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
    // Sparse: hosts refuse it by its size, and so must the tool, before reading it.
    QFile big(dir.filePath(QStringLiteral("big.json")));
    if (!big.open(QIODevice::WriteOnly) || !big.resize(64 * 1024 * 1024 + 1))
        qFatal("cannot write %s", qPrintable(big.fileName()));
    const char *unnamed = "{'apps': [" REL("mac-arm64", "1.1.0") "]}";
    const QString data = QStringLiteral(MZUPDATER_TEST_DATA "/signature/");
    const char *copies[][2] = { { "Versions.json", "signed.json" },
        { "Versions.json.minisig", "signed.json.minisig" }, { "a.pub", "a.pub" },
        { "b.pub", "b.pub" } };
    for (const auto &copy : copies) {
        QFile file(data + copy[0]);
        if (!file.open(QIODevice::ReadOnly))
            qFatal("cannot read %s", qPrintable(file.fileName()));
        const QByteArray bytes = file.readAll();
        server.setResponse(QStringLiteral("/") + copy[1], HttpServer::Response::json(bytes));
        save(copy[1], bytes);
    }
    const char *rows[][5] = {
        // name, command, manifest, exit code, words
        { "offered", "check @ --os mac-arm64 --app A --current 1.0.0", notes, "0",
            "offered: 1.2.0\nchangelog:\n1.2.0:\nD\n1.1.0:\nC\n" },
        { "nothing offered", "check @ --os mac-arm64 --app A --current 1.2.0", notes, "2",
            "nothing offered: no release" },
        { "ignored", "check @ --os mac-arm64 --app A --current 1.0.0", unnamed, "3",
            "hosts ignore this manifest: root \"name\" is missing" },
        { "standard input", "files --manifest - --os win-x86_64 --app A --from 0.9.0 --to 1.0.0",
            APPS("{'name': 'A', 'os': [{'name': 'win-x86_64', 'files': [{'version': '1.0.0', "
                 "'filename': 'n.exe', 'location': '.', 'url': 'u', 'size': 5}]}]}"),
            "0", "VERSION  FILENAME  LOCATION  URL  SIZE\n1.0.0    n.exe     .         u    5\n" },
        { "no files", "files @ --app X --from 1.0.0 --to 1.0.0", notes, "0",
            "no files: no entry of \"apps\" is named \"X\"" },
        { "several manifests", "lint @ - --os linux-x86_64", unnamed, "2",
            "Versions.json:1:1: error: root \"name\"|<stdin>:1:1: error: root \"name\"" },
        { "not json", "lint @", "{'a': }", "3", "Versions.json:1:7: error: not JSON" },
        { "missing file", "lint --manifest no/such", nullptr, "3",
            "no/such: error: cannot read no/such" },
        { "over 64 MiB", "lint --manifest big.json", nullptr, "3",
            "big.json: error: big.json is larger than 64 MiB" },
        { "redirect", "lint --manifest SERVER/r", nullptr, "3",
            "redirect (HTTP 301) to SERVER/moved" },
        { "HTTP error", "check --manifest SERVER/none --app A --current 1.0.0", nullptr, "3",
            "HTTP 404" },
        { "help", "--help", nullptr, "0", "Commands:" },
        { "command help", "verify --help", nullptr, "0",
            "Usage: mzupdater verify --manifest|Exit codes:" },
        { "unknown command", "lnt", nullptr, "64", "\"lnt\"" },
        { "unknown option", "lint @ --bogus", nullptr, "64", "bogus" },
        { "repeated option", "check @ @ --app A --current 1.0.0", nullptr, "64",
            "--manifest is given twice" },
        { "no manifest", "lint", nullptr, "64", "--manifest" },
        { "bad to", "files @ --app A --from 1.0.0 --to 1.2", nullptr, "64", "--to: \"1.2\"" },
        { "backwards window", "files @ --app A --from 1.2.0 --to 1.0.0", nullptr, "64",
            "--from 1.2.0 is later than --to 1.0.0" },
        { "null version", "check @ --app A --current 0.0.0", nullptr, "64",
            "--current: \"0.0.0\" is the null version" },
        { "huge current", "check @ --app A --current 1.99999999999.0", nullptr, "64", "32 bits" },
        { "stray argument", "check @ --app A --current 1.0.0 extra", nullptr, "64", "\"extra\"" },
        { "unknown format", "lint @ --format xml", nullptr, "64", "\"xml\" is not text" },
        { "lint format elsewhere", "check @ --app A --current 1.0.0 --format sarif", nullptr, "64",
            "sarif prints lint findings" },
        { "empty os", "lint @ --os=", nullptr, "64", "--os: the platform name is empty" },
        { "verified", "verify --manifest SERVER/signed.json --key-file b.pub --key-file a.pub",
            nullptr, "0",
            "verified: signed with key 4C16C38D60606C39 "
            "(RWQ5bGBgjcMWTBAPbw6n6FFOP0TGlI3RSmgfiYFCOgAqi3iyF1sP3NQi)\n"
            "trusted comment: release 1.2.0\n" },
        { "verify, other key", "verify --manifest signed.json --key-file b.pub", nullptr, "4",
            "hosts refuse signed.json - key not trusted: signed with key 4C16C38D60606C39" },
        { "check, verified",
            "check --manifest SERVER/signed.json --os linux-x86_64 --app A "
            "--current 1.0.0 --key-file a.pub",
            nullptr, "0", "offered: 1.2.0" },
        { "files, refused first",
            "files --manifest SERVER/signed.json --app A --from 1.0.0 --to 2.0.0 --key "
            "RWSM8x9Y4ITz+trG/DcQw3l7ONI7McjXq9NFM2VRvS+ATAfTL7/6tGrg",
            nullptr, "4", "key not trusted" },
        { "lint, each verified", "lint signed.json @ --key-file a.pub", notes, "4",
            "Versions.json: error: hosts refuse Versions.json - signature missing" },
        { "verify without key", "verify --manifest signed.json", nullptr, "64",
            "missing --key or --key-file" },
        { "malformed key", "lint @ --key RWQx", nullptr, "64", "\"RWQx\" is not a minisign" },
        { "key with standard input", "check --manifest - --app A --current 1.0.0 --key-file a.pub",
            nullptr, "64", "standard input (\"-\") has no signature" },
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
    const Result result = run(command, manifest, manifest);
    QCOMPARE(result.code, code);
    const bool stops = code == 64 || (code >= 3 && !command.startsWith("lint"));
    if (stops)
        QVERIFY2(result.out.isEmpty() && result.err.count('\n') == 1, qPrintable(result.err));
    for (const QString &word : words.replace("SERVER", server.url("")).split('|'))
        QVERIFY2(
            (stops ? result.err : result.out).contains(word), qPrintable(result.out + result.err));
    // With --json: one JSON object on stdout, and the same exit code.
    if (command.contains("--format") || command.contains("--json") || command.contains("help"))
        return;
    const Result json = run(command + " --json", manifest, manifest);
    QCOMPARE(json.code, code);
    QVERIFY2(QJsonDocument::fromJson(json.out.toUtf8()).isObject(), qPrintable(json.out));
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
