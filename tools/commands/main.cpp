// SPDX-License-Identifier: MIT
// mzupdater: shows manifest authors what every host sees in a manifest, and why.
#include "commands/tool.h"

#include "mzupdater_version.h"

#include <QCoreApplication>

#include <algorithm>

using namespace MZU;

struct Command
{
    const char *name;
    const char *summary;
    QStringList required;
    QStringList optional;
    QStringList repeatable; // options that may be given more than once
    bool sourceArguments; // manifests may also be given as plain arguments
    bool keyRequired; // --key or --key-file, at least one
    const char *exitCodes;
    int (Tool::*run)();
};

namespace {

struct Option
{
    const char *name;
    const char *value; // nullptr for a switch
    const char *help;
};

// Qt wraps the help texts.
const Option options[] = {
    { "manifest", "SOURCE",
        "The manifest: a local path, \"-\" for standard input, or an address (http://, "
        "https://, file://) fetched as hosts fetch it." },
    { "os", "NAME", "The host's platform name (default: this machine's, %OS%)." },
    { "app", "NAME", "The application's name, as the host reports it." },
    { "current", "VERSION", "The version the host runs." },
    { "install-id", "ID",
        "The install's id (MzUpdater::installId()): releases still rolling out are offered as "
        "that install gets them now. Without it, rollouts are not applied." },
    { "from", "VERSION", "The version the host moves from (excluded)." },
    { "to", "VERSION", "The version the host moves to (included); not below --from." },
    { "format", "FORMAT", "The output: text (default) or json." },
    { "json", nullptr, "The same as --format json." },
    { "key", "KEY",
        "A trusted minisign public key (the base64 line of minisign.pub): the manifest must "
        "carry a signature by one of the keys given, checked before anything else, as hosts "
        "trusting them require. Repeatable; not with \"-\"." },
    { "key-file", "FILE", "As --key, read from a minisign.pub file. Repeatable." },
    { "follow-redirects", nullptr,
        "Follows redirects when fetching an address (the signature too), as hosts do that opt "
        "in with MZU::setFollowRedirects(true): at most 5, only to http or https, never from "
        "https to http. Without it a redirect fails, as it does for other hosts." },
};

const char lintCodes[] = "  0   no findings\n"
                         "  1   warnings only\n"
                         "  2   errors (hosts skip, drop or cannot read something)\n"
                         "  3   a manifest cannot be read, is not JSON, is over 4 MiB, or hosts\n"
                         "      ignore it\n"
                         "  4   a manifest's signature does not verify with the --key/--key-file\n"
                         "      keys, or has expired\n"
                         "  64  bad usage";
const char checkCodes[] = "  0   an update is offered\n"
                          "  2   nothing newer is offered\n"
                          "  3   the manifest cannot be read, or hosts ignore it\n"
                          "  4   its signature does not verify with the --key/--key-file keys,\n"
                          "      or has expired\n"
                          "  64  bad usage (--current missing, not a version, or 0.0.0)";
const char listCodes[] = "  0   the records were listed (even none)\n"
                         "  3   the manifest cannot be read, or hosts ignore it\n"
                         "  4   its signature does not verify with the --key/--key-file keys,\n"
                         "      or has expired\n"
                         "  64  bad usage (--from or --to missing, not versions, 0.0.0, or\n"
                         "      --from later than --to)";
const char verifyCodes[] = "  0   the signature verifies with one of the keys\n"
                           "  3   the manifest cannot be read\n"
                           "  4   the signature is missing, unreadable or malformed, is by a key\n"
                           "      not given, does not match the manifest, or expired more than\n"
                           "      24 hours ago\n"
                           "  64  bad usage (no --key or --key-file, a malformed key, \"-\")";

const Command commands[] = {
    { "check",
        "Tells which update a host of version --current is offered, and with which change log.",
        { "manifest", "app", "current" },
        { "os", "format", "json", "key", "key-file", "install-id", "follow-redirects" },
        { "key", "key-file" }, false, false, checkCodes, &Tool::check },
    { "files", "Lists the file records a host gets for a move from --from to --to.",
        { "manifest", "app", "from", "to" },
        { "os", "format", "json", "key", "key-file", "follow-redirects" }, { "key", "key-file" },
        false, false, listCodes, &Tool::files },
    { "settings", "Lists the setting records a host gets for a move from --from to --to.",
        { "manifest", "app", "from", "to" },
        { "os", "format", "json", "key", "key-file", "follow-redirects" }, { "key", "key-file" },
        false, false, listCodes, &Tool::settings },
    { "lint",
        "Reports every place where the library would skip, drop or misread something, in\n"
        "document order, one finding a line as FILE:LINE:COLUMN: error|warning: message\n"
        "[JSON Pointer]. Columns count characters. Several manifests may be given, with\n"
        "--manifest or as arguments. The --os platform counts as known besides mac-, linux-\n"
        "and win-ARCH. --format takes text, json, github (workflow annotations) or sarif\n"
        "(SARIF 2.1.0, for code scanning).",
        {}, { "manifest", "os", "format", "json", "key", "key-file", "follow-redirects" },
        { "manifest", "key", "key-file" }, true, false, lintCodes, &Tool::lint },
    { "verify",
        "Checks the manifest's minisign signature (SOURCE with \".minisig\" appended to its\n"
        "path) against the --key/--key-file keys, as hosts trusting them do, and prints the\n"
        "key that verified it, the signature's trusted comment, its expiry (an\n"
        "\"expires=YYYY-MM-DDTHH:MM:SSZ\" in the trusted comment) and its sequence (\"seq=N\").",
        { "manifest" }, { "key", "key-file", "format", "json", "follow-redirects" },
        { "key", "key-file" }, false, true, verifyCodes, &Tool::verify },
};

// %1: the program's name.
const char overview[] =
    "Usage: %1 COMMAND --manifest SOURCE [options]\n\n"
    "Shows what hosts see in an update manifest, and why. SOURCE is a local path, \"-\" for\n"
    "standard input, or an address (http://, https://, file://) fetched as hosts fetch it.\n\n"
    "Commands:\n"
    "  check     the update a host of a given version is offered, with its change log\n"
    "  files     the file records between two versions, as the library returns them\n"
    "  settings  the setting records between two versions, as the library returns them\n"
    "  lint      every place where hosts skip, drop or misread something\n"
    "  verify    whether the manifest's minisign signature verifies, and with which key\n\n"
    "Run \"%1 COMMAND --help\" for the options and exit codes of a command.\n";

const Option *optionNamed(const QString &name)
{
    const auto found = std::find_if(std::begin(options), std::end(options),
        [&](const Option &option) { return name == QLatin1String(option.name); });
    return found == std::end(options) ? nullptr : found;
}

} // namespace

QString quotedEscaped(const QString &text)
{
    return '"' + escaped(text) + '"';
}

void write(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int Tool::fail(int code, const QString &message)
{
    write(stderr, (QCoreApplication::applicationName() + ": " + escaped(message) + '\n').toUtf8());
    if (format == Format::Json)
        print(QJsonObject { { "error", message }, { "exitCode", code } });
    return code;
}

QString Tool::parse(const Command &command, const QStringList &arguments)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const QString &name : command.required + command.optional) {
        const Option *option = optionNamed(name);
        QString help = QString::fromLatin1(option->help).replace("%OS%", osString());
        if (name == QLatin1String("format") && command.sourceArguments)
            help = QStringLiteral("The output: text (default), json, github or sarif.");
        parser.addOption({ name, help, QString::fromLatin1(option->value) });
    }
    parser.addOption({ { "h", "help" }, QStringLiteral("Shows this help.") });
    if (!parser.parse(QStringList { QCoreApplication::applicationName() } + arguments))
        return parser.errorText();
    const QStringList given = parser.optionNames();
    for (const QString &name : given) {
        if (given.count(name) > 1 && !command.repeatable.contains(name))
            return QStringLiteral("--%1 is given twice").arg(name);
    }
    return QString();
}

QString Tool::help(const Command &command)
{
    QString usage =
        QStringLiteral("Usage: %1 %2").arg(QCoreApplication::applicationName(), command.name);
    for (const QString &name : command.required)
        usage += QStringLiteral(" --%1 %2").arg(name, optionNamed(name)->value);
    if (command.sourceArguments)
        usage += QLatin1String(" [--manifest SOURCE]... [SOURCE]...");
    if (command.keyRequired)
        usage += QLatin1String(" (--key KEY | --key-file FILE)...");
    parser.setApplicationDescription(QString::fromLatin1(command.summary));
    const QString text = parser.helpText(); // its usage line names the program's path
    return usage + " [options]\n" + text.mid(text.indexOf('\n') + 1) + "\nExit codes:\n"
        + command.exitCodes + '\n';
}

bool Tool::version(const QString &name, Version &version, QString &error) const
{
    if (!isSet(name))
        return true;
    const QString text = value(name);
    if (!version.fromString(text))
        error = QStringLiteral("--%1: %2 is not a version (MAJOR.MINOR.PATCH, optionally "
                               "-suffix)")
                    .arg(name, quotedEscaped(text));
    else if (const QString dropped = droppedNumber(text, version); !dropped.isEmpty())
        error = QStringLiteral("--%1: %2 does not fit in 32 bits").arg(name, dropped);
    else if (version.isNull())
        error = QStringLiteral("--%1: %2 is the null version, which hosts treat as no version")
                    .arg(name, quotedEscaped(text));
    return error.isEmpty();
}

int Tool::run(const QStringList &all)
{
    const QString name = all.value(1);
    // Known before the arguments are checked, so that a usage error comes as JSON too.
    for (int i = 2; i < all.size(); ++i) {
        if (all.at(i) == QLatin1String("--json") || all.at(i) == QLatin1String("--format=json")
            || (all.at(i) == QLatin1String("--format")
                && all.value(i + 1) == QLatin1String("json")))
            format = Format::Json;
    }
    if (QStringList { "--help", "-h", "help" }.contains(name)) {
        print(QString::fromLatin1(overview).arg(QCoreApplication::applicationName()));
        return Clean;
    }
    if (name == QLatin1String("--version")) {
        print(QCoreApplication::applicationName()
            + QStringLiteral(" " MZUPDATER_VERSION_STRING "\n"));
        return Clean;
    }
    const auto command = std::find_if(std::begin(commands), std::end(commands),
        [&](const Command &candidate) { return name == QLatin1String(candidate.name); });
    if (command == std::end(commands))
        return fail(BadUsage,
            name.isEmpty() ? QStringLiteral("no command given; see %1 --help")
                                 .arg(QCoreApplication::applicationName())
                           : QStringLiteral("unknown command %1; the commands are check, files, "
                                            "settings, lint and verify")
                                 .arg(quotedEscaped(name)));
    QString error = parse(*command, all.mid(2));
    if (!error.isEmpty())
        return fail(BadUsage, error);
    if (isSet("help") || isSet("h")) {
        print(help(*command));
        return Clean;
    }
    const QString formatName = value("format");
    if (isSet("format") && !formatNamed(formatName, format))
        return fail(BadUsage,
            QStringLiteral("--format: %1 is not text, json, github or sarif")
                .arg(quotedEscaped(formatName)));
    if (isSet("json") && format != Format::Json)
        return fail(BadUsage,
            QStringLiteral("--json and --format %1 contradict each other").arg(formatName));
    if (!command->sourceArguments && (format == Format::Github || format == Format::Sarif))
        return fail(BadUsage,
            QStringLiteral("--format: %1 prints lint findings; %2 prints text or json")
                .arg(formatName, name));
    const QStringList arguments = parser.positionalArguments();
    if (!arguments.isEmpty() && !command->sourceArguments)
        return fail(BadUsage,
            QStringLiteral("unexpected argument %1").arg(quotedEscaped(arguments.first())));
    sources = parser.values("manifest") + arguments;
    if (sources.isEmpty())
        return fail(BadUsage, QStringLiteral("missing --manifest"));
    for (const QString &option : command->required) {
        if (value(option).isEmpty())
            return fail(BadUsage, QStringLiteral("missing --%1").arg(option));
    }
    if (sources.count(QStringLiteral("-")) > 1)
        return fail(BadUsage, QStringLiteral("standard input (\"-\") can be read only once"));
    if (command->keyRequired && !isSet("key") && !isSet("key-file"))
        return fail(BadUsage, QStringLiteral("missing --key or --key-file"));
    if (!readKeys(parser.values("key"), parser.values("key-file"), keys, error))
        return fail(BadUsage, error);
    // Hosts fetch the signature beside the manifest; a pipe has nothing beside it.
    if (!keys.isEmpty() && sources.contains(QStringLiteral("-")))
        return fail(BadUsage,
            QStringLiteral("--key/--key-file: standard input (\"-\") has no signature beside "
                           "it; give the manifest as a path or an address"));
    // The library's own switch: every fetch below, the signature's too, follows redirects.
    setFollowRedirects(isSet("follow-redirects"));
    os = isSet("os") ? value("os") : osString();
    if (os.isEmpty())
        return fail(BadUsage, QStringLiteral("--os: the platform name is empty"));
    app = value("app");
    // Only the command's own versions are set, and those are required.
    if (!version(QStringLiteral("current"), hostVersion, error)
        || !version(QStringLiteral("from"), hostVersion, error)
        || !version(QStringLiteral("to"), targetVersion, error))
        return fail(BadUsage, error);
    if (isSet("to") && targetVersion < hostVersion)
        return fail(BadUsage,
            QStringLiteral("--from %1 is later than --to %2: hosts never move backwards")
                .arg(hostVersion.toString(), targetVersion.toString()));
    return (this->*command->run)();
}

// Reads a manifest as a host trusting the --key/--key-file keys does: the exact bytes,
// then their signature, and only what verifies is parsed. Returns Clean, Unreadable or
// Refused.
int Tool::read(const QString &source, Manifest &manifest, LoadError &error, Verified &verified)
{
    manifest.source = source;
    QByteArray text;
    if (!readSource(source, text, error))
        return Unreadable;
    if (!keys.isEmpty() && !verifyText(source, text, keys, verified, error.message))
        return Refused;
    return parseManifest(text, manifest, error) ? Clean : Unreadable;
}

// Loads the one manifest of check, files and settings, which need hosts to read it.
// Returns Clean, or the exit code it stopped with.
int Tool::load()
{
    LoadError error;
    Verified verified;
    if (const int code = read(sources.first(), manifest, error, verified)) {
        QString message = error.message;
        if (error.offset >= 0) {
            const Finding finding = unreadable(error);
            message = QStringLiteral("%1:%2:%3: %4")
                          .arg(displayName(sources.first()))
                          .arg(finding.position.line)
                          .arg(finding.position.column)
                          .arg(error.message);
        }
        return fail(code, message);
    }
    if (const QString ignored = ignoredBecause(manifest.document); !ignored.isEmpty())
        return fail(Unreadable, QStringLiteral("hosts ignore this manifest: %1").arg(ignored));
    return Clean;
}

int Tool::lint()
{
    QVector<Linted> linted;
    int code = Clean;
    for (const QString &source : qAsConst(sources)) {
        Manifest loaded;
        LoadError error;
        Verified verified;
        QVector<Finding> findings;
        if (const int stopped = read(source, loaded, error, verified)) {
            findings.append(stopped == Refused
                    ? makeFinding(Rule::BadSignature, QString(), error.message)
                    : unreadable(error));
        } else {
            findings = lintManifest(loaded, os, !keys.isEmpty());
            if (const QString soon = expiresSoon(verified, Internal::secondsNow()); !soon.isEmpty())
                findings.prepend(makeFinding(Rule::SignatureExpiring, QString(), soon));
        }
        for (const Finding &finding : qAsConst(findings)) {
            const int stops = ruleEntry(finding.rule).exitCode;
            code = qMax(code,
                stops                                     ? stops
                    : finding.severity == Severity::Error ? int(Errors)
                                                          : int(WarningsOnly));
        }
        linted.append({ source, findings });
    }
    write(stdout, formatFindings(format, linted, os));
    return code;
}

int Tool::verify()
{
    const QString source = sources.first();
    QByteArray text;
    LoadError error;
    if (!readSource(source, text, error))
        return fail(Unreadable, error.message);
    Verified verified;
    if (!verifyText(source, text, keys, verified, error.message))
        return fail(Refused, error.message);
    const QString id = Internal::keyIdText(verified.key.id);
    // A number; beyond 2^53, which a double (and Qt 5's JSON) cannot hold exactly, its digits.
    const QJsonValue seq = verified.sequence < 0 ? QJsonValue()
        : verified.sequence <= (1LL << 53)       ? QJsonValue(double(verified.sequence))
                                                 : QJsonValue(QString::number(verified.sequence));
    if (format == Format::Json)
        print(QJsonObject { { "manifest", source }, { "verified", true }, { "keyId", id },
            { "key", verified.key.text }, { "trustedComment", verified.trustedComment },
            { "expires", verified.expires.isEmpty() ? QJsonValue() : QJsonValue(verified.expires) },
            { "seq", seq } });
    else
        print("verified: signed with key " + id + " (" + verified.key.text + ")\n"
            + "trusted comment: " + escaped(verified.trustedComment) + '\n' + "expires: "
            + (verified.expires.isEmpty() ? QStringLiteral("never (no expires= in the trusted "
                                                           "comment)")
                                          : verified.expires)
            + "\nseq: "
            + (verified.sequence < 0 ? QStringLiteral("none (no seq= in the trusted comment)")
                                     : QString::number(verified.sequence))
            + '\n');
    return Clean;
}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    // The Qt 6 build installs beside the Qt 5 one under its own name.
    QCoreApplication::setApplicationName(QStringLiteral(MZUPDATER_TOOL_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(MZUPDATER_VERSION_STRING));
    return Tool().run(QCoreApplication::arguments());
}
