// mzupdater: shows manifest authors what every host sees in a manifest, and why.

#include "lint.h"
#include "source.h"

#include "manifest/manifest_p.h"
#include "mzu.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace {

using namespace MZU;

enum ExitCode { Clean = 0, WarningsOnly = 1, Errors = 2, Unreadable = 3, BadUsage = 64 };

const char exitCodes[] = "Exit codes:\n"
                         "  0   lint: no findings; check: an update is offered; files,\n"
                         "      settings: the records were listed (even none)\n"
                         "  1   lint: warnings only\n"
                         "  2   lint: errors; check: nothing is offered\n"
                         "  3   the manifest could not be read, downloaded or parsed\n"
                         "  64  bad usage (an unknown option, a missing one, a bad version)";

const char overview[] =
    "Usage: mzupdater COMMAND --manifest SOURCE [options]\n\n"
    "Shows what hosts see in an update manifest, and why. SOURCE is a local path, or an\n"
    "address (http://, https://, file://) fetched as hosts fetch it.\n\n"
    "Commands:\n"
    "  check     the update a host of a given version is offered, with its change log\n"
    "  files     the file records between two versions, as the library returns them\n"
    "  settings  the setting records between two versions, as the library returns them\n"
    "  lint      every place where hosts skip, drop or misread something\n\n"
    "Run \"mzupdater COMMAND --help\" for the options of a command.\n\n";

struct Command
{
    const char *name;
    const char *summary;
    QStringList options; // besides --manifest, --os and --json
};

const Command commands[] = {
    { "check",
        "Tells which update a host of version --current is offered, and with which change log.",
        { "app", "current" } },
    { "files", "Lists the file records a host gets for a move from --from to --to.",
        { "app", "from", "to" } },
    { "settings", "Lists the setting records a host gets for a move from --from to --to.",
        { "app", "from", "to" } },
    { "lint",
        "Reports every place where the library would skip, drop or misread something, one\n"
        "finding per line as LOCATION: error|warning: message, LOCATION a JSON Pointer, in\n"
        "document order. The --os platform counts as known besides mac-, linux- and win-ARCH.",
        {} },
};

QString quoted(const QString &text)
{
    return '"' + text + '"';
}

// Prints rows with every column but the last padded to its widest cell.
void printTable(QTextStream &out, const QVector<QStringList> &rows)
{
    QVector<int> widths;
    for (const QStringList &row : rows) {
        widths.resize(qMax(widths.size(), row.size()));
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], row.at(i).size());
    }
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths[i] + 2) : row.at(i);
        out << line.trimmed() << '\n';
    }
}

QString cell(const QVariant &value)
{
    const int type = value.userType();
    if (type == QMetaType::QVariantList || type == QMetaType::QVariantHash
        || type == QMetaType::QVariantMap) {
        const QByteArray text = QJsonDocument(QJsonArray { QJsonValue::fromVariant(value) })
                                    .toJson(QJsonDocument::Compact);
        return QString::fromUtf8(text.mid(1, text.size() - 2));
    }
    return value.toString().replace('\n', "\\n");
}

void useUtf8(QTextStream &stream)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    stream.setCodec("UTF-8");
#else
    Q_UNUSED(stream) // Qt 6 streams write UTF-8 already
#endif
}

// Learns which application and OS entry a walk took, to explain an empty result.
class EntryObserver : public Internal::WalkObserver
{
public:
    int app = -1;
    int os = -1;
    void skipped(Internal::Skip, const Internal::WalkPlace &) override { }
    void entered(Internal::Walk, int appIndex, int osIndex) override
    {
        app = appIndex;
        os = osIndex;
    }
};

class Tool
{
public:
    Tool()
        : out(stdout)
        , err(stderr)
    {
        useUtf8(out);
        useUtf8(err);
    }
    int run(const QStringList &arguments);

private:
    int fail(int code, const QString &message);
    bool versionOption(const QString &name, Version &version, QString &error) const;
    int check();
    int list(bool files);
    int lint();
    QString emptyBecause(const EntryObserver &observer, const QString &what) const;
    void print(const QJsonObject &object) { out << QJsonDocument(object).toJson(); }

    QTextStream out;
    QTextStream err;
    QCommandLineParser parser;
    bool json = false;
    QString source;
    QString os;
    QString app;
    Version first; // --current, or --from
    Version second; // --to
    Manifest manifest;
};

int Tool::fail(int code, const QString &message)
{
    err << "mzupdater: " << message << '\n';
    if (json)
        print({ { "error", message }, { "exitCode", code } });
    return code;
}

bool Tool::versionOption(const QString &name, Version &version, QString &error) const
{
    const QString text = parser.value(name);
    if (!version.fromString(text))
        error = QStringLiteral("--%1: %2 is not a version (MAJOR.MINOR.PATCH, optionally "
                               "-suffix)")
                    .arg(name, quoted(text));
    else if (!droppedNumber(text, version).isEmpty())
        error = QStringLiteral("--%1: %2 does not fit in 32 bits")
                    .arg(name, droppedNumber(text, version));
    return error.isEmpty();
}

int Tool::run(const QStringList &arguments)
{
    json = arguments.contains("--json");
    const QString name = arguments.value(1);
    if (name == "--help" || name == "-h" || name == "help") {
        out << overview << exitCodes << '\n';
        return Clean;
    }
    if (name == "--version") {
        out << "mzupdater " << MZUPDATER_VERSION << '\n';
        return Clean;
    }
    const auto command = std::find_if(std::begin(commands), std::end(commands),
        [&](const Command &candidate) { return name == QLatin1String(candidate.name); });
    if (command == std::end(commands))
        return fail(BadUsage,
            name.isEmpty() ? QStringLiteral("no command given; see mzupdater --help")
                           : QStringLiteral("unknown command %1; the commands are check, files, "
                                            "settings and lint")
                                 .arg(quoted(name)));

    parser.setApplicationDescription(
        QLatin1String(command->summary) + "\n\n" + QLatin1String(exitCodes));
    const QCommandLineOption help({ "h", "help" }, "Shows this help.");
    parser.addOption(help);
    parser.addOption({ "manifest",
        "The manifest: a local path, or an address that is fetched as hosts fetch it.", "SOURCE" });
    parser.addOption({ "os",
        QStringLiteral("The host's platform name (default: this machine's, %1).").arg(osString()),
        "NAME", osString() });
    parser.addOption({ "json", "Prints one JSON document instead of text." });
    for (const QString &option : command->options) {
        const QString description = option == "app"
            ? QStringLiteral("The application's name, as the host reports it.")
            : option == "current" ? QStringLiteral("The version the host runs.")
            : option == "from"    ? QStringLiteral("The version the host moves from (excluded).")
                                  : QStringLiteral("The version the host moves to (included).");
        parser.addOption({ option, description,
            option == "app" ? QStringLiteral("NAME") : QStringLiteral("VERSION") });
    }

    QStringList rest = arguments;
    rest.removeAt(1);
    if (!parser.parse(rest))
        return fail(BadUsage, parser.errorText());
    if (parser.isSet(help)) {
        // The usage line names the program as it was started; name it as documented.
        const QString text = parser.helpText();
        out << "Usage: mzupdater " << name << " --manifest SOURCE [options]"
            << text.mid(text.indexOf('\n'));
        return Clean;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(BadUsage,
            QStringLiteral("unexpected argument %1")
                .arg(quoted(parser.positionalArguments().first())));
    for (const QString &option : QStringList { "manifest" } + command->options) {
        if (!parser.isSet(option) || parser.value(option).isEmpty())
            return fail(BadUsage, QStringLiteral("missing --%1").arg(option));
    }
    os = parser.value(QStringLiteral("os"));
    if (os.isEmpty())
        return fail(BadUsage, QStringLiteral("--os: the platform name is empty"));
    source = parser.value(QStringLiteral("manifest"));
    if (command->options.contains("app"))
        app = parser.value(QStringLiteral("app"));
    QString error;
    if (command->options.contains("current")
        && !versionOption(QStringLiteral("current"), first, error))
        return fail(BadUsage, error);
    if (command->options.contains("from")
        && (!versionOption(QStringLiteral("from"), first, error)
            || !versionOption(QStringLiteral("to"), second, error)))
        return fail(BadUsage, error);

    if (!loadManifest(source, manifest, error))
        return fail(Unreadable, error);
    if (name == "check")
        return check();
    if (name == "lint")
        return lint();
    return list(name == "files");
}

int Tool::check()
{
    const QString ignored = ignoredBecause(manifest.document);
    const QMultiHash<QString, ApplicationInfo> catalogue =
        Internal::getApplications(manifest.document, os);
    Version offered;
    QString changelog;
    const bool found =
        ignored.isEmpty() && updateVersion(catalogue, app, first, offered, changelog);
    QString reason;
    if (!ignored.isEmpty()) {
        reason = QStringLiteral("hosts ignore this manifest: %1").arg(ignored);
    } else if (!found && catalogue.contains(app)) {
        reason = QStringLiteral("no release of %1 for %2 is newer than %3")
                     .arg(quoted(app), os, first.toString());
    } else if (!found) {
        QStringList names = catalogue.uniqueKeys();
        std::transform(names.begin(), names.end(), names.begin(), quoted);
        reason = QStringLiteral("the manifest has no release of %1 for %2%3")
                     .arg(quoted(app), os,
                         names.isEmpty()
                             ? QString()
                             : QStringLiteral(" (it has releases of %1)").arg(names.join(", ")));
    }
    if (json) {
        QJsonObject result { { "app", app }, { "current", first.toString() }, { "os", os },
            { "ignored", !ignored.isEmpty() }, { "offered", found } };
        if (found) {
            result.insert("version", offered.toString());
            result.insert("changelog", changelog);
        } else {
            result.insert("reason", reason);
        }
        print(result);
    } else if (found) {
        out << "offered: " << offered.toString() << '\n'
            << (changelog.isEmpty() ? QStringLiteral("changelog: none")
                                    : "changelog:\n" + changelog)
            << '\n';
    } else {
        out << "nothing offered: " << reason << '\n';
    }
    return found ? Clean : Errors;
}

QString Tool::emptyBecause(const EntryObserver &observer, const QString &what) const
{
    const QJsonArray apps = manifest.document.object().value("apps").toArray();
    const QString at = QStringLiteral("/apps/%1").arg(observer.app);
    if (observer.app < 0)
        return QStringLiteral("no entry of \"apps\" is named %1").arg(quoted(app));
    if (observer.os < 0 && !apps.at(observer.app).toObject().value("os").isArray())
        return QStringLiteral("%1, the first entry named %2, has no \"os\" array; the entry "
                              "with the array must come first")
            .arg(at, quoted(app));
    if (observer.os < 0)
        return QStringLiteral("%1 has no OS entry named %2").arg(at, quoted(os));
    if (!(first < second))
        return QStringLiteral("the window is empty: --from %1 is not below --to %2")
            .arg(first.toString(), second.toString());
    return QStringLiteral("no %1 entry of %2/os/%3 in (%4, %5] is complete; see mzupdater lint")
        .arg(what, at)
        .arg(observer.os)
        .arg(first.toString(), second.toString());
}

int Tool::list(bool files)
{
    EntryObserver observer;
    QVector<QStringList> rows;
    QJsonArray records;
    if (files) {
        const QList<UpdateFile> found =
            Internal::getFileUpdates(manifest.document, app, first, second, os, &observer);
        QStringList columns { "filename", "location", "url" };
        QStringList others;
        for (const UpdateFile &file : found) {
            for (auto it = file.values.begin(); it != file.values.end(); ++it) {
                if (!columns.contains(it.key()) && !others.contains(it.key())
                    && it.key() != "version")
                    others.append(it.key());
            }
        }
        std::sort(others.begin(), others.end());
        columns += others;
        rows.append(QStringList { "VERSION" } + columns);
        std::transform(rows[0].begin(), rows[0].end(), rows[0].begin(),
            [](const QString &header) { return header.toUpper(); });
        for (const UpdateFile &file : found) {
            QStringList row { file.version.toString() };
            for (const QString &column : qAsConst(columns))
                row.append(cell(file.values.value(column)));
            rows.append(row);
            records.append(QJsonObject { { "version", file.version.toString() },
                { "values", QJsonObject::fromVariantHash(file.values) } });
        }
    } else {
        rows.append({ "VERSION", "KEY", "TYPE", "VALUE" });
        for (const SettingValue &setting :
            Internal::getSettingUpdates(manifest.document, app, first, second, os, &observer)) {
            rows.append({ setting.version.toString(), cell(setting.key), cell(setting.type),
                cell(setting.value) });
            records.append(QJsonObject { { "version", setting.version.toString() },
                { "key", setting.key }, { "type", setting.type }, { "value", setting.value } });
        }
    }
    const QString what = files ? QStringLiteral("file") : QStringLiteral("setting");
    const QString reason = records.isEmpty() ? emptyBecause(observer, what) : QString();
    if (json) {
        QJsonObject result { { "app", app }, { "os", os }, { "from", first.toString() },
            { "to", second.toString() }, { files ? "files" : "settings", records } };
        if (!reason.isEmpty())
            result.insert("reason", reason);
        print(result);
    } else if (records.isEmpty()) {
        out << "no " << what << "s: " << reason << '\n';
    } else {
        printTable(out, rows);
    }
    return Clean;
}

int Tool::lint()
{
    QVector<Finding> findings = ::lint(manifest.document, os);
    // Findings go in document order: by where their value (or its nearest present parent)
    // starts in the text, a parent before its missing members.
    const QByteArray text = manifest.text.isEmpty() ? manifest.document.toJson() : manifest.text;
    const QHash<QString, int> offsets = valueOffsets(text);
    const auto offsetOf = [&](QString pointer) {
        while (!offsets.contains(pointer) && !pointer.isEmpty())
            pointer.truncate(pointer.lastIndexOf('/'));
        return offsets.value(pointer);
    };
    std::stable_sort(findings.begin(), findings.end(), [&](const Finding &a, const Finding &b) {
        const int left = offsetOf(a.pointer);
        const int right = offsetOf(b.pointer);
        return left != right ? left < right : a.pointer.count('/') < b.pointer.count('/');
    });

    int errors = 0;
    QJsonArray list;
    for (const Finding &finding : qAsConst(findings)) {
        const bool isError = finding.severity == Finding::Error;
        errors += isError;
        const char *severity = isError ? "error" : "warning";
        if (!json) {
            out << finding.pointer << ": " << severity << ": " << finding.message << '\n';
            continue;
        }
        QJsonObject entry { { "pointer", finding.pointer }, { "severity", severity },
            { "message", finding.message } };
        if (!manifest.text.isEmpty())
            entry.insert("line", text.left(offsetOf(finding.pointer)).count('\n') + 1);
        list.append(entry);
    }
    if (json)
        print({ { "manifest", source }, { "os", os }, { "findings", list }, { "errors", errors },
            { "warnings", findings.size() - errors } });
    return errors ? Errors : findings.isEmpty() ? Clean : WarningsOnly;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mzupdater"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MZUPDATER_VERSION));
    return Tool().run(QCoreApplication::arguments());
}
