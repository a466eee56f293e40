// SPDX-License-Identifier: MIT
#include "httpserver.h"
#include "lint.h"
#include "minisign.h"
#include "source.h"
#include "verify.h"

#include <QtTest> // and QtCore

// Manifests for the tables, with ' standing for ".
#define APPS(elements) "{'name':'Versions.json','apps':[" elements "]}"
#define REL(name, os, version) "{'name':'" name "','os':'" os "','version':'" version "'}"
#define ON_MAC(name, version) REL(name, "mac-arm64", version)
#define MAC(version) ON_MAC("A", version)
#define ENTRY(version, name, place, url)                                                           \
    "{'version':'" version "','filename':'" name "','location':'" place "','url':'" url "'}"
#define FILE_AT(version, url) ENTRY(version, "f", "l", url)
#define AT_URL(url) FILE_AT("1.0.0", url)
#define PLACED(filename, location) ENTRY("1.0.0", filename, location, "http://h/f")

// A file name GitHub's properties must escape; names with control characters (ESC, a line
// break, CSI, a direction override, a zero-width and a no-break space) that must not reach the
// output raw.
#define FORMATS(format)                                                                            \
    "lint --manifest m,1:x.json --format " format " < " APPS(ON_MAC(                               \
        NAMED("X"), "1.0.0") ",\n" ON_MAC(NAMED("X"), "1.1.0") ",\n" ON_MAC(NAMED("x"), "1.0.0"))
#define NAMED(x) "\\u001b[31m" x "%\\n\xc2\x9b\xe2\x80\xae\xe2\x80\x8b\xc2\xa0"

class tst_Tool : public QObject
{
    Q_OBJECT

    struct Result
    {
        int code = -1;
        QString out, err;
    };
    // Runs the tool in a directory holding @p manifest as the first --manifest, and as its
    // standard input.
    Result run(const QString &command, const QByteArray &manifest = QByteArray());
    // "@" stands for "--manifest Versions.json", SERVER for a loopback server's address,
    // SIGNED for a manifest signed with the key of DATA/a.pub, not DATA/b.pub, TOOL for the
    // name the tool gives itself.
    QString expanded(QString text) const
    {
        return text.replace("@", "--manifest Versions.json")
            .replace("SERVER", server.url(""))
            .replace("TOOL", QT_VERSION_MAJOR >= 6 ? "mzupdater-qt6" : "mzupdater")
            .replace("SIGNED", "DATA/Versions.json")
            .replace("DATA", MZUPDATER_TEST_DATA "/signature");
    }
    QTemporaryDir dir;
    HttpServer server;

private Q_SLOTS:
    void lint_data();
    void lint();
    void exitCodes_data();
    void exitCodes();
    void expiresSoon();
    void documentationExamples();
};

tst_Tool::Result tst_Tool::run(const QString &command, const QByteArray &manifest)
{
    const QStringList arguments = QProcess::splitCommand(expanded(command));
    if (!manifest.isNull()) {
        QFile file(dir.filePath(arguments.value(arguments.indexOf("--manifest") + 1)));
        if (!file.open(QIODevice::WriteOnly) || file.write(manifest) < 0)
            qFatal("cannot write %s", qPrintable(file.fileName()));
    }
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral(MZUPDATER_TOOL_PATH), arguments);
    process.write(manifest);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return Result(); // a hang (~QProcess kills it) or a crash
    return { process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError()) };
}

// The findings in printed order as "LINE:COLUMN E|W RULE", with words of the message where
// its wording is the point.
void tst_Tool::lint_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QString>("expected");
    // Columns count characters; a byte order mark takes none.
    const char *ends[][2] = { { "LF", "\n" }, { "CRLF", "\r\n" }, { "CR", "\r" } };
    for (const auto &end : ends)
        QTest::addRow("after multibyte characters, %s", end[0])
            << QByteArray("{'name':'Versions.json',\n'apps':[\n {'name':'\xc3\xa9\xe2\x82\xac "
                          "\xf0\x9f\x98\x80','os':'linux-x86_64','version':'x'}]}")
                   .replace("\n", end[1])
            << "3:47 E null-version";
    const char *rows[][3] = {
        { "byte order mark", "\xef\xbb\xbf{'name':'versions.json','apps':[]}",
            "1:9 E ignored-manifest, 1:32 W no-apps" },
        { "byte order mark, not JSON", "\xef\xbb\xbf{'name' 'x'}", "1:9 E not-json where ':'" },
        { "comment", "{'a':1,\n  // b\n'c':2}", "2:3 E not-json a comment" },
        { "missing value", "{'a':}", "1:6 E not-json '}' where a value" },
        { "trailing comma", "{'a':[1,2,\n]}", "1:10 E not-json a comma before ']'" },
        { "missing comma", "{'a':1\n 'b':2}", "2:2 E not-json '\"' where ',' or '}'" },
        { "unknown word", "[true,tru]", "1:7 E not-json not a JSON value" },
        { "string never closed", "['a','b", "1:6 E not-json never closed" },
        { "text ends", "{'a':[1,\n", "2:1 E not-json the text ends" },
        { "bytes after the end", "{} {}", "1:4 E not-json '{' where nothing" },
        { "not UTF-8", "{'a':'\xe9t\xe9'}", "1:7 E not-json not UTF-8" },
        { "empty", "  \n ", "2:2 E not-json the text is empty" },
        // Typed in a word processor.
        { "curly quotes", "{\xe2\x80\x9cname\xe2\x80\x9d: 1}",
            "1:2 E not-json has a curly quote where JSON needs a straight one" },
        { "repeated key", "{'name':'x','name':'Versions.json','apps':[]}",
            "1:13 E repeated-key column 2, 1:43 W no-apps" },
        { "root array", "[1]", "1:1 E ignored-manifest" },
        { "apps object", "{'name':'Versions.json','apps':{}}", "1:32 E no-apps" },
        // Wrapped by hand: clang-format splits the macros from the text around them.
        // clang-format off
        { "release errors",
            APPS("3,'x',{'os':'mac-arm64','version':'1.0.0'},{'name':'A','os':true,'version':"
                "'1.0.0'}," MAC("1.2") "," MAC("0.0.0-x") "," MAC("4294967296.0.0")),
            "1:33 E not-object, 1:35 E not-object, 1:39 E unusable-member, 1:93 E unusable-member, "
            "1:156 E null-version, 1:202 E null-version, 1:252 E version-overflow" },
        // A tip meant by a number; an overflow that still reads as a version.
        { "release warnings",
            APPS("{'name':'A','os':'mac-arm64','version':'1.4294967296.0-x','tip':1,'changelog':"
                "['x']},{'name':'A','os':'mac-arm64','version':'3.0.0','tip':'true'}"),
            "1:72 W version-overflow, 1:97 W tip-not-marked, 1:111 W value-not-text" },
        { "duplicate versions", APPS(MAC("1.0.0") "," REL("A", "win-x86_64", "1.0.0") ","
                MAC("01.0.0") "," MAC("2.0.0-beta") "," MAC("2.0.0") "," MAC("2.0.0-hotfix")),
            "1:169 E duplicate-release, 1:218 W suffix-order" },
        { "application entries", APPS(MAC("1.0.0") ",{'name':'A','os':[{'name':'mac-arm64',"
                "'files':[7]}]},{'name':'a','os':[]},{'name':'a','os':[]}"),
            "1:33 E entry-order, 1:81 W entry-order, 1:128 E not-object, 1:142 W similar-name, "
            "1:155 E second-entry, 1:163 W similar-name" },
        { "file rules",
            APPS("{'name':'A','os':[{'name':'linux-x86_64','files':[{'version':'1.0.0','location':"
                "'bin','url':'http://h/a'},{'version':'1.0.0','filename':'b','location':'','url':"
                "'http://h:x/'},{'version':'x','filename':[],'location':'bin','url':'http://h/c'},"
                "{'version':'1.0.0','filename':7,'location':'bin','url':'http://h/d'}]}]},"
                REL("A", "linux-x86_64", "1.0.0")),
            "1:83 E file-dropped, 1:184 E file-dropped, 1:193 E file-dropped, 1:219 E "
            "null-version, 1:234 E file-dropped" },
        { "OS entries, setting rules",
            APPS("{'name':'A','os':[{'name':'win-arm64','settings':[{'version':'1.0.0'},{'version':"
                "'1.0.0','key':3},'x',{'version':'1.0.0','key':'k','type':true,'value':2},"
                "{'version':'','key':'k'}]},'x',{'name':'win-arm64','files':[1]},{'name':4},"
                "{'name':'mac-arm64','files':{},'settings':'x'}]}," REL("A", "win-arm64", "1.0.0")
                "," MAC("1.0.0")),
            "1:83 E unusable-member, 1:128 E unusable-member, 1:131 E not-object, 1:171 W "
            "value-not-text, 1:184 W value-not-text, 1:198 E null-version, 1:214 E not-object, "
            "1:218 E second-entry, 1:259 E unusable-member, 1:290 E unusable-member, "
            "1:304 E unusable-member" },
        // Each level's own members; "date" and "type" resemble none of them.
        { "misspelled members",
            "{'nmae':'Versions.json','apps':[{'name':'A','os':[{'name':'win-arm64','settings':[{"
            "'verison':'1.0.0','key':'k','valeu':'v'}],'files':[{'version':'1.0.0','filname':'f',"
            "'location':'l','url':'http://h/f','sha256':'x'}]},{'name':'mac-arm64','setings':[]}]"
            "},{'Name':'B','os':[]},{'name':'A','os':'win-arm64','version':'1.0.0','ti\\\"p':true,"
            "'chnagelog':'c','date':'d','type':'t'}," MAC("1.0.0") "]}",
            "1:2 E ignored-manifest, 1:2 W misspelled-member \"name\", 1:84 E null-version, 1:84 W "
            "misspelled-member \"version\", 1:112 W misspelled-member \"value\", 1:154 E "
            "file-dropped, 1:154 W misspelled-member \"filename\", 1:211 W file-digest "
            "\"sha256\", 1:238 W misspelled-member \"settings\", 1:255 E unusable-member, 1:255 W "
            "misspelled-member \"name\", 1:322 W misspelled-member \"tip\", 1:335 W "
            "misspelled-member \"changelog\"" },
        { "similar names", APPS(MAC("1.0.0") "," MAC("1.1.0") "," ON_MAC("a", "1.0.0") ","
                ON_MAC(" A", "1.2.0") ",{'name':'Sketch','os':[]}," ON_MAC("Skecth", "1.0.0") ","
                ON_MAC("App1", "1.0.0") "," ON_MAC("App2", "1.0.0")),
            "1:137 W similar-name, 1:185 W similar-name, 1:260 W similar-name \"Sketch\"" },
        { "across entries",
            APPS("{'name':'A','os':[{'name':'mac-arm64','files':[" FILE_AT("1.1.0", "http://h/f")
                "],'settings':[{'version':'1.0.5','key':'k','key':'j'}]},{'name':'win-arm64',"
                "'files':[" FILE_AT("1.5.0", "http://h/f") "]}]}," MAC("1.0.0") "," MAC("01.1.0")),
            "1:173 W version-without-release, 1:191 E repeated-key, 1:212 W "
            "platform-without-release" },
        { "URLs", APPS("{'name':'B','os':[{'name':'mac-arm64','files':[" AT_URL("htps://h/f") ","
                AT_URL("dl.example.com/f") "," AT_URL("C:\\\\b\\\\x.exe") ","
                AT_URL("https://h/a b") "," AT_URL("ftp://u:p@h/f") "," AT_URL("file:///f") ","
                AT_URL("https//h/f") "," AT_URL("http://h:x\\\\f") "]}]}," ON_MAC("B", "1.0.0")),
            "1:135 W url-scheme \"https\", 1:204 W url-scheme, 1:279 W url-scheme, 1:350 W "
            "url-characters, 1:422 W url-credentials, 1:562 W url-scheme colon, 1:631 E "
            "file-dropped backslash" },
        // Slips a release's own versions and platform names point to; a number as written.
        { "suggestions",
            APPS("{'name':'A','os':[{'name':'mac-arm64','files':[" FILE_AT("5.0.2", "http://h/f")
                "],'settings':[{'version':'2.2.0-hotifx','key':'k','value':1.0}]},"
                "{'name':'macos-x86_64'}]}," REL("A", "linux-amd64", "5.0.1") ","
                REL("A", "win64", "5.0.1") "," REL("A", "windows-aarch64", "5.0.1") ","
                MAC("5.0.1") "," MAC("2.2.0-hotfix")),
            "1:91 W version-without-release 5.0.1?, 1:173 W version-without-release 2.2.0-hotfix?, "
            "1:206 W value-not-text \"1.0\", 1:221 W unknown-platform \"mac-x86_64\", 1:256 W "
            "unknown-platform \"linux-x86_64\", 1:306 W unknown-platform \"win-x86_64\", 1:350 W "
            "unknown-platform \"win-arm64\"" },
        { "outside the installation",
            APPS("{'name':'A','os':[{'name':'mac-arm64','files':[" PLACED("f", "/etc") ","
                PLACED("C:x", "l") "," PLACED("f", "\\\\\\\\s\\\\x") ","
                PLACED("../x", "a/./b/..") "," PLACED("x/../../../y", "./a") "]}]}," MAC("1.0.0")),
            "1:125 W file-outside \"/etc\", 1:182 W file-outside \"C:x\", 1:268 W file-outside, "
            "1:408 W file-outside climbs" },
        // Both Qts read these; the member name holds a zero-width space.
        { "read otherwise",
            APPS("{'name':'A','os':[{'name':'mac-arm64','settings':[{'ver\\u200bsion':'1.0.3',"
                "'key':'k\\q','value':'\t'}]}]},{'name':'A','os':'mac-arm64','version':"
                "'\xef\xbc\x92.3.0','changelog':'C:\\Users\\x and\nline'}," MAC("1.\xd9\xa2.3") ","
                MAC("\xd9\xa2.0.0")),
            "1:84 E null-version, 1:84 W misspelled-member \"ver\\u200bsion\", 1:116 W unknown-escape "
            "\"kq\", 1:129 W raw-control tab, 1:176 W version-digits 0.3.0, 1:199 W unknown-escape "
            "\"C:Users, 1:211 W raw-control line break, 2:47 W version-digits 1.0.3, 2:95 E "
            "version-digits another script" },
        // clang-format on
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QByteArray(row[1]) << QString(row[2]);
}

void tst_Tool::lint()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QString, expected);
    Manifest loaded;
    LoadError error;
    const QVector<Finding> findings = parseManifest(manifest.replace('\'', '"'), loaded, error)
        ? lintManifest(loaded, QStringLiteral("linux-x86_64"))
        : QVector<Finding> { unreadable(error) };
    QStringList found;
    for (const Finding &finding : findings) {
        const QString words = expected.section(", ", found.size(), found.size()).section(' ', 3);
        QVERIFY2(finding.message.contains(words), qPrintable(finding.message));
        found.append(QStringLiteral("%1:%2 %3 %4%5")
                         .arg(finding.position.line)
                         .arg(finding.position.column)
                         .arg(finding.severity == Finding::Error ? 'E' : 'W')
                         .arg(finding.rule, words.isEmpty() ? QString() : ' ' + words));
    }
    QCOMPARE(found.join(", "), expected);
}

// Words are looked for on stdout, or in the one line on stderr when the tool stops (64, and
// 3 or 4 but for lint, which prints an unreadable or refused manifest as a finding).
// "< TEXT" ends a command with the manifest it reads.
void tst_Tool::exitCodes_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("words");
    // Sparse: hosts refuse it by its size, and so must the tool, before reading it.
    QFile big(dir.filePath(QStringLiteral("big.json")));
    if (!big.open(QIODevice::WriteOnly) || !big.resize(4 * 1024 * 1024 + 1))
        qFatal("cannot write %s", qPrintable(big.fileName()));
    // The signed manifest beside key c's signature that expired long ago.
    const QString data = MZUPDATER_TEST_DATA "/signature/Versions.json";
    if (!QFile::copy(data, dir.filePath("expired.json"))
        || !QFile::copy(data + ".expired.minisig", dir.filePath("expired.json.minisig")))
        qFatal("cannot copy the expired signature");
    // The signed manifest again, key c's signature with these trusted comments beside it.
    const QList<QPair<QString, QByteArray>> comments { { "seq.json", "release 1.2.0 seq=42" },
        { "maxseq.json", "seq=9223372036854775807" },
        { "misspelt.json", "release 1.2.0 Expires=2099-12-31T23:59:59Z" },
        { "badseq.json", "release 1.2.0 seq=4x2" } };
    QFile manifest(data);
    if (!manifest.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(data));
    const QByteArray signedBody = manifest.readAll();
    for (const auto &signature : comments) {
        QFile file(dir.filePath(signature.first + ".minisig"));
        if (!QFile::copy(data, dir.filePath(signature.first)) || !file.open(QIODevice::WriteOnly)
            || file.write(minisign(signedBody, signature.second)) < 0)
            qFatal("cannot write %s", qPrintable(file.fileName()));
    }
    // A manifest hosts ignore, on line 2.
    server.setResponse(QStringLiteral("/d/v.json"), HttpServer::Response::json("\n{}"));
    const char *rows[][4] = {
        // name, command, exit code, words
        { "text", FORMATS("text"), "1",
            "m,1:x.json:3:9: warning: the release name "
            "\"\\u001b[31mx%\\n\\u009b\\u202e\\u200b\\u00a0\" differs from "
            "\"\\u001b[31mX%\\n\\u009b\\u202e\\u200b\\u00a0\"" },
        { "json", FORMATS("json"), "1",
            "\"file\": \"m,1:x.json\"|\"line\": 3,|\"column\": 9,|\"rule\": \"similar-name\"" },
        { "github", FORMATS("github"), "1",
            "::warning file=m%2C1%3Ax.json,line=3,col=9,title=mzupdater similar-name::the "
            "release name|%25\\n\\u009b\\u202e\\u200b\\u00a0\"|[/apps/2/name]" },
        { "sarif", FORMATS("sarif"), "1",
            "\"version\": \"2.1.0\"|\"uri\": \"m%2C1%3Ax.json\"|\"startLine\": 3|\"startColumn\": "
            "9|\"ruleId\": \"similar-name\"" },
        { "nothing offered", "check @ --app A --current 1.0.0 < " APPS(""), "2",
            "nothing offered" },
        { "ignored", "check @ --app A --current 1.0.0 < {'apps':[]}", "3", "hosts ignore" },
        { "standard input",
            "files --manifest - --os w --app A --from 0.9.0 --to 1.0.0 < " APPS(
                "{'name':'A','os':[{'name':'w','files':[{'version':'1.0.0','filename':'n',"
                "'location':'.','url':'u','size':5}]}]}"),
            "0", "VERSION  FILENAME  LOCATION  URL  SIZE\n1.0.0    n         .         u    5\n" },
        // Why nothing is listed: no application entry, or no entry in the window.
        { "releases only",
            "files @ --os mac-arm64 --app A --from 1.0.0 --to 2.0.0 < " APPS(MAC("1.0.0")), "0",
            "no application entry of \"A\"" },
        { "window with no entry",
            "settings @ --os mac-arm64 --app A --from 1.0.0 --to 1.2.0 < " APPS(
                "{'name':'A','os':[{'name':'mac-arm64','settings':[{'version':'1.5.0','key':'k'}]}]"
                "}," MAC("1.0.0")),
            "0", "no setting entry of /apps/0/os/0 falls in (1.0.0, 1.2.0]" },
        { "several manifests", "lint @ - < {'apps':[]}", "3",
            "Versions.json:1:1: error|<stdin>:1:1:" },
        { "missing file", "lint --manifest no/such", "3",
            "no/such:1:1: error: cannot read no/such" },
        { "over 4 MiB", "lint --manifest big.json --format github", "3",
            "::error file=big.json,line=1,col=1,title=mzupdater unreadable::big.json is larger "
            "than 4 MiB" },
        { "standard input, json", "lint --manifest - --json < {'apps':[]}", "3",
            "\"manifest\": \"<stdin>\"" },
        // Code scanning takes no web address as a file, and needs a region and a fingerprint, which
        // tells apart one finding in two files of one name.
        { "sarif, addresses",
            "lint --manifest - SERVER/none SERVER/d/v.json SERVER/d/v.json --format sarif < \n\n{}",
            "3",
            "\"uri\": \"%3Cstdin%3E\"|\"uri\": \"none\"|\"startLine\": 1\n|\"uri\": \"v.json\"|"
            "(in SERVER/d/v.json)|\"mzupdaterFinding/v1\": "
            "\"3e1df40f19a6c211c0520951f1b0672b:2\"|\"fullDescription\": "
            "{|\"help\": {" },
        { "HTTP error", "check --manifest SERVER/none --app A --current 1.0.0", "3", "HTTP 404" },
        { "help", "--help", "0", "Commands:" },
        { "command help", "verify --help", "0", "Usage: TOOL verify --manifest|Exit codes:" },
        { "unknown command", "lnt", "64", "TOOL: unknown command \"lnt\"" },
        { "unknown option", "lint @ --bogus", "64", "bogus" },
        { "repeated option", "check @ @ --app A --current 1.0.0", "64", "given twice" },
        { "no manifest", "lint", "64", "--manifest" },
        { "bad to", "files @ --app A --from 1.0.0 --to 1.2", "64", "--to: \"1.2\"" },
        { "backwards window", "files @ --app A --from 1.2.0 --to 1.0.0", "64", "later than" },
        { "null version", "check @ --app A --current 0.0.0", "64", "the null version" },
        { "huge current", "check @ --app A --current 1.99999999999.0", "64", "32 bits" },
        { "stray argument", "check @ --app A --current 1.0.0 extra", "64", "\"extra\"" },
        { "unknown format", "lint @ --format xml", "64", "\"xml\" is not text" },
        { "sarif for check", "check @ --format sarif --app A --current 1.0.0", "64",
            "lint findings" },
        { "empty os", "lint @ --os=", "64", "--os: the platform name is empty" },
        { "verified, expires later",
            "verify --manifest DATA/files.json --key-file DATA/b.pub --key-file DATA/c.pub", "0",
            "key 8756602308873529|trusted comment: release 1.2.0 expires=2099-12-31T23:59:59Z\n"
            "expires: 2099-12-31T23:59:59Z\nseq: none (no seq= in the trusted comment)\n" },
        { "verified, seq", "verify --manifest seq.json --key-file DATA/c.pub", "0",
            "trusted comment: release 1.2.0 seq=42\nexpires: never (no expires= in the trusted "
            "comment)\nseq: 42\n" },
        { "verified, seq, json", "verify --manifest seq.json --key-file DATA/c.pub --json", "0",
            "\"seq\": 42,\n|\"expires\": null" },
        // Beyond 2^53 a JSON number is not exact: the digits, as a string.
        { "verified, highest seq, json",
            "verify --manifest maxseq.json --key-file DATA/c.pub --json", "0",
            "\"seq\": \"9223372036854775807\"" },
        { "verify, expiry misspelt", "verify --manifest misspelt.json --key-file DATA/c.pub", "4",
            "hosts refuse misspelt.json - signature's expiry \"Expires=2099-12-31T23:59:59Z\" is "
            "not a token of the form expires=YYYY-MM-DDTHH:MM:SSZ" },
        { "lint, seq malformed", "lint --manifest badseq.json --key-file DATA/c.pub", "4",
            "badseq.json:1:1: error: hosts refuse badseq.json - signature's sequence \"seq=4x2\" "
            "is not a token of the form seq=N" },
        { "verified, json", "verify --manifest DATA/files.json --key-file DATA/c.pub --json", "0",
            "\"expires\": \"2099-12-31T23:59:59Z\"" },
        { "verify, expired", "verify --manifest expired.json --key-file DATA/c.pub", "4",
            "hosts refuse expired.json - signature expired on 2026-01-30T23:59:59Z (this "
            "machine's clock says 20" },
        { "lint, signed, a file without sha256",
            "lint --manifest DATA/files.json --key-file DATA/c.pub", "1",
            "file entry without \"sha256\" in a signed manifest" },
        { "check, verified",
            "check --manifest SIGNED --os linux-x86_64 --app A --current 1.0.0 --key-file "
            "DATA/a.pub",
            "0", "offered: 1.2.0" },
        { "files, refused first",
            "files --manifest file://SIGNED --app A --from 1.0.0 --to 2.0.0 --key-file DATA/b.pub",
            "4", "hosts refuse file://SIGNED - key not trusted" },
        { "lint, each verified", "lint SIGNED @ --key-file DATA/a.pub < " APPS(""), "4",
            "Versions.json:1:1: error: hosts refuse Versions.json - signature missing" },
        { "verify without key", "verify --manifest SIGNED", "64", "missing --key or --key-file" },
        { "malformed key", "lint @ --key RWQx", "64", "\"RWQx\" is not a minisign" },
        { "key with standard input", "lint - --key-file DATA/a.pub", "64", "has no signature" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QString(row[1]).replace('\'', '"') << QString(row[2]).toInt()
                              << expanded(row[3]);
}

void tst_Tool::exitCodes()
{
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(QString, words);
    const QByteArray manifest =
        command.contains(" < ") ? command.section(" < ", 1).toUtf8() : QByteArray();
    command = command.section(" < ", 0, 0);
    const Result result = run(command, manifest);
    QCOMPARE(result.code, code);
    const bool stops = code == 64 || (code >= 3 && !command.startsWith("lint"));
    if (stops)
        QVERIFY2(result.out.isEmpty() && result.err.count('\n') == 1, qPrintable(result.err));
    for (const QString &word : words.split('|'))
        QVERIFY2(
            (stops ? result.err : result.out).contains(word), qPrintable(result.out + result.err));
    const QRegularExpression raw("[\\x00-\\x09\\x0b-\\x1f\\x7f-\\x9f\\x{202e}]");
    QVERIFY2(!(result.out + result.err).contains(raw), qPrintable(result.out + result.err));
    // Code scanning finds a result's rule by its index.
    const QJsonValue sarif = QJsonDocument::fromJson(result.out.toUtf8())["runs"][0];
    if (command.endsWith("sarif"))
        QCOMPARE(sarif["tool"]["driver"]["rules"][sarif["results"][0]["ruleIndex"].toInt()]["id"],
            sarif["results"][0]["ruleId"]);
    // With --json: one JSON object on stdout, and the same exit code.
    if (command.contains("--format") || command.contains("--json") || command.contains("help"))
        return;
    const Result json = run(command + " --json", manifest);
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
// lint's warning to sign again, a week ahead; the tool takes the real clock.
void tst_Tool::expiresSoon()
{
    const qint64 day = 24 * 60 * 60;
    const Verified verified { {}, {}, QStringLiteral("2027-01-08T00:00:00Z"), 1799366400 };
    QVERIFY(::expiresSoon(verified, verified.expiresAt - 7 * day).isEmpty());
    QVERIFY(::expiresSoon(verified, verified.expiresAt - 7 * day + 1)
                .startsWith("the signature expires on 2027-01-08T00:00:00Z, in less than 7 days "
                            "(this machine's clock says 2027-01-01T00:00:01Z)"));
    QVERIFY(::expiresSoon({}, verified.expiresAt).isEmpty()); // no expiry
}

#include "tst_tool.moc"
