// SPDX-License-Identifier: MIT
#include "httpserver.h"
#include "rules/lint.h"
#include "source/signature.h"

#include <QtTest> // and QtCore

// Manifests for the tables, with ' standing for ".
#define APPS(elements) "{'name':'Versions.json','apps':[" elements "]}"

// The bytes of @p path; empty when it cannot be read.
static QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static void write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

class tst_Tool : public QObject
{
    Q_OBJECT

    struct Result
    {
        int code = -1;
        QString out, err;
    };
    // Runs the tool in @p directory (a temporary one by default) holding @p manifest as the
    // first --manifest, and as its standard input.
    Result run(const QString &command, const QByteArray &manifest = QByteArray(),
        const QString &directory = QString());
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
    void golden_data();
    void golden();
    void rules();
    void exitCodes_data();
    void exitCodes();
    void expiresSoon();
    void documentationExamples();
};

tst_Tool::Result tst_Tool::run(
    const QString &command, const QByteArray &manifest, const QString &directory)
{
    const QStringList arguments = QProcess::splitCommand(expanded(command));
    if (!manifest.isNull())
        write(dir.filePath(arguments.value(arguments.indexOf("--manifest") + 1)), manifest);
    QProcess process;
    process.setWorkingDirectory(directory.isEmpty() ? dir.path() : directory);
    process.start(QStringLiteral(MZUPDATER_TOOL_PATH), arguments);
    process.write(manifest);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return Result(); // a hang (~QProcess kills it) or a crash
    return { process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError()) };
}

// Words are looked for on stdout, or in the one line on stderr when the tool stops (64, and
// 3 or 4 but for lint, which prints an unreadable or refused manifest as a finding).
// "< TEXT" ends a command with the manifest it reads.
// tests/data/lint/CASE.json (or CASE.args, the arguments of lint) beside CASE.out, its findings
// and exit code; tests/data/command/CASE.args, a whole command, beside CASE.out, what it prints
// and its exit code; tests/data/format/CASE/, manifests beside one FORMAT.out per format. Qt 5
// reads some manifests otherwise: CASE.qt5.out then holds what it prints.
// MZUPDATER_UPDATE_GOLDEN=1 rewrites the expected files from the tool's output.
void tst_Tool::golden_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    const QStringList lint { "lint", "--os", "linux-x86_64", "--format" };
    // In lint/, a manifest CASE.json is read alone; CASE.args holds the arguments.
    for (const QString kind : { "lint", "command" }) {
        const QDir cases(MZUPDATER_TEST_DATA "/" + kind);
        const bool linted = kind == "lint";
        for (const QFileInfo &info :
            cases.entryInfoList({ "*.args", linted ? "*.json" : "*.args" }, QDir::Files)) {
            const QStringList arguments = info.suffix() == "args"
                ? QProcess::splitCommand(QString::fromUtf8(contents(info.filePath())).trimmed())
                : QStringList { info.fileName() };
            QTest::newRow(qPrintable(kind + '/' + info.completeBaseName()))
                << cases.path()
                << (linted ? lint + QStringList { "json" } : QStringList()) + arguments
                << cases.filePath(info.completeBaseName());
        }
    }
    const QDir formats(MZUPDATER_TEST_DATA "/format");
    for (const QString &name : formats.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDir dir(formats.filePath(name));
        for (const QString format : { "text", "json", "github", "sarif" })
            QTest::newRow(qPrintable("format/" + name + '/' + format))
                << dir.path() << lint + QStringList { format } + dir.entryList({ "*.json" })
                << dir.filePath(format);
    }
}

// Lint cases are compared as one line a finding: "LINE:COLUMN SEVERITY RULE: MESSAGE [POINTER]".
void tst_Tool::golden()
{
    QFETCH(QString, directory);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    const Result result = run(arguments.join(' '), QByteArray(), directory);
    QString out = result.out;
    if (directory.endsWith("lint")) {
        const QJsonArray findings = QJsonDocument::fromJson(out.toUtf8())["findings"].toArray();
        out.clear();
        for (const QJsonValue &finding : findings) {
            const QString pointer = finding["pointer"].toString();
            QString line = finding["line"].isDouble()
                ? QString("%1:%2").arg(finding["line"].toInt()).arg(finding["column"].toInt())
                : QString("-");
            line += ' ' + finding["severity"].toString() + ' ' + finding["rule"].toString() + ": "
                + finding["message"].toString() + (pointer.isEmpty() ? "" : " [" + pointer + ']');
            for (const QChar c : qAsConst(line))
                out += c < ' ' || c.category() == QChar::Other_Format
                    ? QString("\\u%1").arg(c.unicode(), 4, 16, QChar('0'))
                    : QString(c);
            out += '\n';
        }
    }
    if (!directory.contains("/format/"))
        out += QString("exit code %1\n").arg(result.code);
    QFile file(expected + ".qt" + QString::number(QT_VERSION_MAJOR) + ".out");
    if (!file.exists())
        file.setFileName(expected + ".out");
    if (qEnvironmentVariableIsSet("MZUPDATER_UPDATE_GOLDEN"))
        write(file.fileName(), out.toUtf8());
    else
        QCOMPARE(out.split('\n'), QString::fromUtf8(contents(file.fileName())).split('\n'));
}

// Each rule: found by its value, shown by a golden case, and in docs/manifest.md's table, which
// names no other.
void tst_Tool::rules()
{
    QString shown;
    const QDir cases(MZUPDATER_TEST_DATA "/lint");
    for (const QString &name : cases.entryList({ "*.out" }))
        shown += QString::fromUtf8(contents(cases.filePath(name)));
    QStringList documented;
    const QRegularExpression row(QStringLiteral("^\\| `([a-z-]+)` \\| (error|warning) \\|"),
        QRegularExpression::MultilineOption);
    for (auto it = row.globalMatch(contents(MZUPDATER_DOCS_DIR "/manifest.md")); it.hasNext();)
        documented.append(it.next().captured(1));
    for (const RuleEntry &entry : ruleEntries()) {
        const QString id = QLatin1String(entry.id);
        QCOMPARE(ruleEntry(entry.rule).id, entry.id);
        // The clock decides whether a signature expires within a week.
        if (entry.rule != Rule::SignatureExpiring)
            QVERIFY2(shown.contains(QRegularExpression(" (error|warning) " + id + ":")),
                qPrintable(id + " has no golden case"));
        QVERIFY2(documented.removeOne(id), qPrintable(id + " is not in docs/manifest.md"));
    }
    QVERIFY2(documented.isEmpty(), qPrintable(documented.join(", ") + ": no such rule"));
}

void tst_Tool::exitCodes_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("words");
    // Hosts refuse it by its size, and so must the tool, before reading it.
    write(dir.filePath("big.json"), QByteArray(4 * 1024 * 1024 + 1, ' '));
    const QString data = MZUPDATER_TEST_DATA "/signature/Versions.json";
    const QByteArray signedBody = contents(data);
    // 4 MiB of control characters in one string: lint's time and memory stay linear.
    const QByteArray head = "{\"name\": \"Versions.json\", \"apps\": [], \"x\": \"";
    write(dir.filePath("controls.json"),
        head + QByteArray(4 * 1024 * 1024 - head.size() - 2, '\x01') + "\"}");
    // A manifest hosts ignore, on line 2.
    server.setResponse(QStringLiteral("/d/v.json"), HttpServer::Response::json("\n{}"));
    // The signed manifest and its signature, reached through a redirect each.
    const auto moved = [](const QByteArray &target) {
        return HttpServer::Response { 302, { { "Location", target } } };
    };
    server.setResponse("/moved/Versions.json", moved("/store/Versions.json"));
    server.setResponse("/moved/Versions.json.minisig", moved("/store/Versions.json.minisig"));
    server.setResponse("/store/Versions.json", HttpServer::Response::json(signedBody));
    server.setResponse(
        "/store/Versions.json.minisig", HttpServer::Response::json(contents(data + ".minisig")));
    server.setResponse("/direct/Versions.json", HttpServer::Response::json(signedBody));
    server.setResponse("/direct/Versions.json.minisig", moved("/store/Versions.json.minisig"));
    const char *rows[][4] = {
        // name, command, exit code, words
        { "nothing offered", "check @ --app A --current 1.0.0 < " APPS(""), "2",
            "nothing offered" },
        { "ignored", "check @ --app A --current 1.0.0 < {'apps':[]}", "3", "hosts ignore" },
        { "standard input",
            "files --manifest - --os w --app A --from 0.9.0 --to 1.0.0 < " APPS(
                "{'name':'A','os':[{'name':'w','files':[{'version':'1.0.0','filename':'n',"
                "'location':'.','url':'u','size':5}]}]}"),
            "0", "VERSION  FILENAME  LOCATION  URL  SIZE\n1.0.0    n         .         u    5\n" },
        { "several manifests", "lint @ - < {'apps':[]}", "3",
            "Versions.json:1:1: error|<stdin>:1:1:" },
        { "control characters", "lint controls.json", "1",
            "controls.json:1:45: warning: a raw control character U+0001 inside a string" },
        // Pipes have no size and may have no data yet; a process substitution is one too.
        { "pipe by path", "lint /dev/stdin < {'apps':[]}", "3", "root \"name\" is missing" },
        { "over 4 MiB", "lint --manifest big.json --format github", "3",
            "::error file=big.json,line=1,col=1,title=mzupdater unreadable::big.json is larger "
            "than 4 MiB" },
        // Code scanning takes no web address as a file, and needs a region and a fingerprint, which
        // tells apart one finding in two files of one name.
        { "sarif, addresses",
            "lint --manifest - SERVER/none SERVER/d/v.json SERVER/d/v.json --format sarif < \n\n{}",
            "3",
            "\"uri\": \"%3Cstdin%3E\"|\"uri\": \"none\"|\"startLine\": 1\n|\"uri\": \"v.json\"|"
            "(in SERVER/d/v.json)|HTTP 404|\"mzupdaterFinding/v1\": "
            "\"3e1df40f19a6c211c0520951f1b0672b:2\"|\"fullDescription\": "
            "{|\"help\": {" },
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
        { "files, refused first",
            "files --manifest file://SIGNED --app A --from 1.0.0 --to 2.0.0 --key-file DATA/b.pub",
            "4", "hosts refuse file://SIGNED - key not trusted" },
        { "verify without key", "verify --manifest SIGNED", "64", "missing --key or --key-file" },
        // Redirects: refused as hosts refuse them, unless the option follows them as hosts that
        // opt in do; the signature is asked for beside the address given.
        { "redirect not followed",
            "check --manifest SERVER/moved/Versions.json --app A --current 1.0.0", "3",
            "cannot download SERVER/moved/Versions.json: redirected (HTTP 302) to "
            "SERVER/store/Versions.json; redirects are not followed; hosts refuse a redirect "
            "unless they opt in with MZU::setFollowRedirects(true): give --follow-redirects to "
            "follow it as those hosts do" },
        { "signature redirect not followed",
            "verify --manifest SERVER/direct/Versions.json --key-file DATA/a.pub", "4",
            "hosts refuse SERVER/direct/Versions.json - signature unreadable: "
            "SERVER/direct/Versions.json.minisig - redirected (HTTP 302) to "
            "SERVER/store/Versions.json.minisig; redirects are not followed|--follow-redirects" },
        { "redirects followed, the signature's too",
            "check --manifest SERVER/moved/Versions.json --os linux-x86_64 --app A --current "
            "1.0.0 --key-file DATA/a.pub --follow-redirects",
            "0", "offered: 1.2.0" },
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
    const QRegularExpression block(QStringLiteral("```(json|console)\n(.*?)```"),
        QRegularExpression::DotMatchesEverythingOption);
    QByteArray manifest;
    int examples = 0;
    for (auto it = block.globalMatch(contents(MZUPDATER_DOCS_DIR "/manifest.md")); it.hasNext();) {
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

// lint's warning to sign again, a week ahead; the tool takes the real clock.
void tst_Tool::expiresSoon()
{
    const Verified verified { {}, {}, QStringLiteral("2027-01-08T00:00:00Z"), 1799366400 };
    QVERIFY(::expiresSoon(verified, verified.expiresAt - 7 * 86400).isEmpty());
    QVERIFY(::expiresSoon(verified, verified.expiresAt - 7 * 86400 + 1)
                .startsWith("the signature expires on 2027-01-08T00:00:00Z, in less than 7 days "
                            "(this machine's clock says 2027-01-01T00:00:01Z)"));
    QVERIFY(::expiresSoon({}, verified.expiresAt).isEmpty()); // no expiry
}

QTEST_GUILESS_MAIN(tst_Tool)

#include "tst_tool.moc"
