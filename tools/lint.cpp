#include "lint.h"

#include "environment/environment_p.h"
#include "manifest/manifest_p.h"
#include "source.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace {

using namespace MZU;
using namespace MZU::Internal;

QString quoted(const QString &text)
{
    return '"' + text + '"';
}

QString apps(int index)
{
    return QStringLiteral("/apps/%1").arg(index);
}

QString jsonText(const QJsonValue &value)
{
    const QByteArray text = QJsonDocument(QJsonArray { value }).toJson(QJsonDocument::Compact);
    const QString inner = QString::fromUtf8(text.mid(1, text.size() - 2));
    return inner.size() > 40 ? inner.left(37) + "..." : inner;
}

QString typeOf(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean (%1)").arg(jsonText(value));
    case QJsonValue::Double:
        return QStringLiteral("a number (%1)").arg(jsonText(value));
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("missing");
}

// Why a member that must be a non-empty string is not one.
QString notText(const QString &member, const QJsonValue &value)
{
    if (value.isUndefined())
        return quoted(member) + " is missing";
    if (!value.isString())
        return quoted(member) + " is " + typeOf(value) + ", not a string";
    return quoted(member) + " is empty";
}

// Why the library reads this "version" as the null version.
QString whyNull(const QJsonValue &value)
{
    const QString text = value.toString();
    if (!value.isString() || text.isEmpty())
        return notText(QStringLiteral("version"), value);
    Version version;
    const QString start = "\"version\" " + quoted(text);
    if (!version.fromString(text))
        return start + " is not a version (MAJOR.MINOR.PATCH, optionally -suffix)";
    const QString dropped = droppedNumber(text, version);
    if (!dropped.isEmpty())
        return start + " reads as 0.0.0: " + dropped + " does not fit in 32 bits";
    return start + " is the null version";
}

// Above every version a manifest holds: the walks then skip nothing for the window.
Version widest()
{
    Version top;
    top.major = top.minor = top.patch = 0xffffffffu;
    top.suffix = QString(64, QChar(0xffff));
    return top;
}

bool knownPlatform(const QString &os)
{
    static const QStringList architectures { "alpha", "arm", "arm64", "avr32", "bfin", "hppa",
        "i386", "ia64", "loongarch64", "m68k", "mips", "mips64", "power", "power64", "riscv32",
        "riscv64", "s390", "s390x", "sh", "sparc", "sparcv9", "wasm", "x86_64" };
    const QString word = os.section('-', 0, 0);
    const Platform platforms[] = { Platform::Mac, Platform::Linux, Platform::Windows };
    return os.contains('-')
        && std::any_of(std::begin(platforms), std::end(platforms),
            [&](Platform platform) { return platformWord(platform) == word; })
        && architectures.contains(os.section('-', 1));
}

class Recorder : public WalkObserver
{
public:
    struct Event
    {
        Skip reason;
        WalkPlace place;
    };
    QVector<Event> events;
    int app = -1;
    int os = -1;

    void skipped(Skip reason, const WalkPlace &place) override { events.append({ reason, place }); }
    void entered(Walk, int appIndex, int osIndex) override
    {
        app = appIndex;
        os = osIndex;
    }
};

class Linter
{
public:
    Linter(const QJsonDocument &manifest, const QString &hostOs)
        : manifest(manifest)
        , hostOs(hostOs)
        , list(manifest.object().value("apps").toArray())
    {
    }

    QVector<Finding> run()
    {
        if (topLevel()) {
            releases();
            applications();
        }
        return findings;
    }

private:
    void add(const QString &pointer, Finding::Severity severity, const QString &message)
    {
        const QString key = pointer + '\n' + message;
        if (seen.contains(key))
            return; // several walks pass over the same element
        seen.insert(key);
        findings.append({ pointer, severity, message });
    }
    void error(const QString &pointer, const QString &message)
    {
        add(pointer, Finding::Error, message);
    }
    void warning(const QString &pointer, const QString &message)
    {
        add(pointer, Finding::Warning, message);
    }

    bool topLevel();
    void releases();
    void release(int index, const QJsonObject &entry);
    void applications();
    void systems(int app, const QJsonObject &entry, const QString &name);
    void files(const QString &at, const QJsonObject &system, const Recorder &recorder);
    void fileRules(const QString &at, const QJsonObject &entry, const Version &version);
    void settings(const QString &at, const QJsonObject &system, const Recorder &recorder);
    void platform(const QString &at, const QString &os);
    void misnamed(const QString &at, const QJsonObject &entry, const QStringList &known);
    void misread(const QString &at, const QJsonValue &version);

    const QJsonDocument &manifest;
    const QString hostOs;
    const QJsonArray list;
    QVector<Finding> findings;
    QSet<QString> seen;
};

bool Linter::topLevel()
{
    if (!manifest.isObject()) {
        error(QString(),
            QStringLiteral("the root is %1, not an object: hosts ignore the manifest")
                .arg(manifest.isArray() ? QStringLiteral("an array") : QStringLiteral("empty")));
        return false;
    }
    const QString ignored = ignoredBecause(manifest);
    if (!ignored.isEmpty())
        error(QStringLiteral("/name"), ignored + ": hosts ignore the whole manifest");
    const QJsonValue appsValue = manifest.object().value("apps");
    if (appsValue.isUndefined())
        error(QStringLiteral("/apps"), QStringLiteral("no \"apps\" array: hosts find nothing"));
    else if (appsValue.isArray() && list.isEmpty())
        warning(QStringLiteral("/apps"), QStringLiteral("\"apps\" is empty: hosts find nothing"));
    misnamed(QString(), manifest.object(), { "name", "apps" });
    return true;
}

void Linter::releases()
{
    QSet<QString> systems { hostOs };
    for (const QJsonValue &element : list) {
        const QString os = element.toObject().value("os").toString();
        if (!os.isEmpty())
            systems.insert(os);
    }
    // Every platform named gets the library's own walk; each reports the entries of its own.
    QSet<int> ignored;
    for (const QString &os : qAsConst(systems)) {
        Recorder recorder;
        getApplications(manifest, os, &recorder);
        for (const Recorder::Event &event : qAsConst(recorder.events)) {
            const int i = event.place.app;
            const QJsonObject entry = list.at(i).toObject();
            switch (event.reason) {
            case Skip::NotArray:
                error(QStringLiteral("/apps"),
                    QStringLiteral("\"apps\" is %1, not an array: hosts find nothing")
                        .arg(typeOf(manifest.object().value("apps"))));
                break;
            case Skip::NotObject:
                error(apps(i),
                    QStringLiteral("element is %1, not an object; it is ignored")
                        .arg(typeOf(list.at(i))));
                break;
            case Skip::EmptyName:
                ignored.insert(i);
                error(apps(i) + "/name",
                    notText(QStringLiteral("name"), entry.value("name"))
                        + "; the release is ignored");
                break;
            case Skip::NullVersion:
                ignored.insert(i);
                error(apps(i) + "/version",
                    whyNull(entry.value("version")) + "; the release is ignored");
                break;
            default:
                break;
            }
        }
    }

    QHash<QString, int> firstOf; // name, platform and version of each release read
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject entry = list.at(i).toObject();
        const QJsonValue os = entry.value("os");
        if (!list.at(i).isObject() || os.isArray())
            continue;
        if (!os.isString() || os.toString().isEmpty()) {
            error(apps(i) + "/os",
                notText(QStringLiteral("os"), os)
                    + QLatin1String(": no host reads this entry (a release entry needs a "
                                    "platform name, an application entry an array)"));
            continue;
        }
        release(i, entry);
        if (ignored.contains(i))
            continue;
        const QString key = entry.value("name").toString() + '\n' + os.toString() + '\n'
            + Version(entry.value("version").toString()).toString();
        if (!firstOf.contains(key)) {
            firstOf.insert(key, i);
            continue;
        }
        error(apps(i) + "/version",
            QStringLiteral("%1 %2 for %3 is listed twice (also at %4); which one's change log "
                           "and tip count is left to chance")
                .arg(quoted(entry.value("name").toString()), key.section('\n', 2), os.toString(),
                    apps(firstOf.value(key))));
    }

    // Unlike semantic versioning, a suffix sorts after the plain release.
    const QRegularExpression preRelease(QStringLiteral("^(alpha|beta|rc|pre|preview|dev)"),
        QRegularExpression::CaseInsensitiveOption);
    for (auto it = firstOf.cbegin(); it != firstOf.cend(); ++it) {
        Version version(it.key().section('\n', 2));
        const QString suffix = version.suffix;
        version.suffix.clear();
        if (preRelease.match(suffix).hasMatch()
            && firstOf.contains(it.key().section('\n', 0, 1) + '\n' + version.toString()))
            warning(apps(it.value()) + "/version",
                QStringLiteral("%1-%2 sorts after %1 (a suffix comes after the plain release, "
                               "unlike in semantic versioning): hosts on %1 are offered it")
                    .arg(version.toString(), suffix));
    }
}

void Linter::release(int i, const QJsonObject &entry)
{
    const QString at = apps(i);
    platform(at + "/os", entry.value("os").toString());
    misnamed(at, entry, { "name", "os", "version", "changelog", "tip" });
    misread(at + "/version", entry.value("version"));

    // Ask the update resolution how it reads "tip" and "changelog": a release 1.0.0 with
    // these members, followed by 2.0.0, offered to 0.0.0, stops at 1.0.0 only when marked.
    QMultiHash<QString, ApplicationInfo> catalogue;
    catalogue.insert(QString(), { Version(QStringLiteral("1.0.0")), entry.toVariantHash() });
    catalogue.insert(QString(), { Version(QStringLiteral("2.0.0")), QVariantHash() });
    Version offered;
    QString changelog;
    updateVersion(catalogue, QString(), Version(), offered, changelog);

    const QJsonValue tip = entry.value("tip");
    const QString tipText = tip.toString().trimmed().toLower();
    const bool meant = tip.isDouble()
        ? tip.toDouble() != 0
        : tipText == "true" || tipText == "yes" || tipText == "1" || tipText == "on";
    if (offered.major != 1 && meant)
        warning(at + "/tip",
            QStringLiteral("\"tip\" is %1, which does not mark a tip (only true or \"true\" "
                           "do); hosts walk past this release")
                .arg(jsonText(tip)));

    const QJsonValue log = entry.value("changelog");
    if (changelog.isEmpty() && !log.isUndefined() && !log.isString())
        warning(at + "/changelog",
            QStringLiteral("\"changelog\" is %1 and reads as empty text").arg(typeOf(log)));
}

void Linter::applications()
{
    QHash<QString, int> takenFor; // application name to the entry the walks stop at
    QSet<QString> released;
    for (const QJsonValue &element : list) {
        if (element.toObject().value("os").isString())
            released.insert(element.toObject().value("name").toString());
    }
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject entry = list.at(i).toObject();
        if (!entry.value("os").isArray())
            continue;
        const QJsonValue nameValue = entry.value("name");
        const QString name = nameValue.toString();
        if (name.isEmpty())
            error(apps(i) + "/name",
                notText(QStringLiteral("name"), nameValue)
                    + ": hosts do not ask for its files and settings");
        const auto near =
            std::find_if(released.cbegin(), released.cend(), [&](const QString &other) {
                return other.trimmed().compare(name.trimmed(), Qt::CaseInsensitive) == 0;
            });
        if (!name.isEmpty() && !released.contains(name) && near != released.cend())
            warning(apps(i) + "/name",
                QStringLiteral("no release entry is named %1, but one is named %2; names "
                               "compare exactly")
                    .arg(quoted(name), quoted(*near)));
        misnamed(apps(i), entry, { "name", "os" });
        if (takenFor.contains(name)) {
            error(apps(i),
                QStringLiteral("second application entry named %1: hosts read only %2, so "
                               "its files and settings are never read")
                    .arg(quoted(name), apps(takenFor.value(name))));
        } else {
            Recorder recorder;
            getFileUpdates(manifest, name, Version(), Version(), QString(), &recorder);
            takenFor.insert(name, recorder.app);
            if (recorder.app >= 0 && recorder.app != i) {
                const bool isRelease = list.at(recorder.app).toObject().value("os").isString();
                error(apps(recorder.app),
                    QStringLiteral("this %1 of %2 stands before %3, its application entry with "
                                   "the \"os\" array: hosts stop at the first entry of a name, "
                                   "so the files and settings of %3 are never read; move %3 "
                                   "up")
                        .arg(isRelease ? QStringLiteral("release entry") : QStringLiteral("entry"),
                            quoted(name), apps(i)));
                warning(apps(i),
                    QStringLiteral("its files and settings are never read: hosts looking "
                                   "for %1 stop at %2")
                        .arg(quoted(name), apps(recorder.app)));
            }
        }
        systems(i, entry, name);
    }
}

void Linter::systems(int app, const QJsonObject &entry, const QString &name)
{
    // Alone in a manifest of its own, every application entry is walked, even one that
    // hosts never reach: its defects wait for the day it is moved up.
    const QJsonDocument alone(QJsonObject { { QStringLiteral("apps"), QJsonArray { entry } } });
    const QJsonArray systems = entry.value("os").toArray();
    QHash<QString, int> takenFor;
    for (int j = 0; j < systems.size(); ++j) {
        const QString at = apps(app) + QStringLiteral("/os/%1").arg(j);
        if (!systems.at(j).isObject()) {
            error(at,
                QStringLiteral("OS entry is %1, not an object; no host reads it")
                    .arg(typeOf(systems.at(j))));
            continue;
        }
        const QJsonObject system = systems.at(j).toObject();
        const QJsonValue osName = system.value("name");
        if (!osName.isString() || osName.toString().isEmpty()) {
            error(at + "/name", notText(QStringLiteral("name"), osName) + ": no host reads it");
            continue;
        }
        const QString os = osName.toString();
        if (takenFor.contains(os)) {
            error(at,
                QStringLiteral("second OS entry named %1: hosts read only %2/os/%3, so its "
                               "files and settings are never read")
                    .arg(quoted(os), apps(app))
                    .arg(takenFor.value(os)));
            continue;
        }
        platform(at + "/name", os);
        misnamed(at, system, { "name", "files", "settings" });
        Recorder fileWalk;
        Recorder settingWalk;
        getFileUpdates(alone, name, Version(), widest(), os, &fileWalk);
        getSettingUpdates(alone, name, Version(), widest(), os, &settingWalk);
        takenFor.insert(os, fileWalk.os);
        const QString taken = apps(app) + QStringLiteral("/os/%1").arg(fileWalk.os);
        files(taken, systems.at(fileWalk.os).toObject(), fileWalk);
        settings(taken, systems.at(fileWalk.os).toObject(), settingWalk);
    }
}

void Linter::files(const QString &at, const QJsonObject &system, const Recorder &recorder)
{
    const QJsonArray entries = system.value("files").toArray();
    for (const Recorder::Event &event : recorder.events) {
        const QString entryAt = at + QStringLiteral("/files/%1").arg(event.place.entry);
        const QJsonObject entry = entries.at(event.place.entry).toObject();
        const QJsonValue version = entry.value("version");
        switch (event.reason) {
        case Skip::NotArray:
            error(at + "/files",
                QStringLiteral("\"files\" is %1, not an array: no file entry is read")
                    .arg(typeOf(system.value("files"))));
            break;
        case Skip::NotObject:
            error(entryAt,
                QStringLiteral("file entry is %1, not an object; it is skipped")
                    .arg(typeOf(entries.at(event.place.entry))));
            break;
        case Skip::NullVersion:
            error(entryAt + "/version", whyNull(version) + "; the file entry is skipped");
            fileRules(entryAt, entry, Version(QStringLiteral("1.0.0")));
            break;
        case Skip::NoFilename:
        case Skip::NoLocation:
        case Skip::BadUrl:
            fileRules(entryAt, entry, Version(version.toString()));
            break;
        default:
            break;
        }
    }
    for (int k = 0; k < entries.size(); ++k) {
        const QString entryAt = at + QStringLiteral("/files/%1").arg(k);
        const QJsonObject entry = entries.at(k).toObject();
        misread(entryAt + "/version", entry.value("version"));
        misnamed(entryAt, entry, { "version", "filename", "location", "url" });
    }
}

void Linter::fileRules(const QString &at, const QJsonObject &entry, const Version &version)
{
    // checkFile() names the first rule broken; mend each in a copy to learn the next.
    UpdateFile file { version, entry.toVariantHash() };
    for (int round = 0; round < 4; ++round) {
        const FileCheck check = checkFile(file);
        const QString member = check == FileCheck::NoFilename ? QStringLiteral("filename")
            : check == FileCheck::NoLocation                  ? QStringLiteral("location")
            : check == FileCheck::BadUrl                      ? QStringLiteral("url")
                                                              : QString();
        if (member.isEmpty())
            return;
        const QJsonValue value = entry.value(member);
        QString why = notText(member, value);
        if (check == FileCheck::BadUrl && value.isString() && !value.toString().isEmpty())
            why = QStringLiteral("\"url\" %1 is not a valid URL (%2)")
                      .arg(quoted(value.toString()),
                          QUrl(value.toString(), QUrl::TolerantMode)
                              .errorString()
                              .section(';', 0, 0));
        else if (!value.isUndefined() && !value.isString())
            why = quoted(member) + " is " + typeOf(value) + " and reads as empty text";
        error(at + '/' + member, why + "; the file entry is dropped");
        file.values.insert(member, QStringLiteral("http://localhost/"));
    }
}

void Linter::settings(const QString &at, const QJsonObject &system, const Recorder &recorder)
{
    const QJsonArray entries = system.value("settings").toArray();
    for (const Recorder::Event &event : recorder.events) {
        const QString entryAt = at + QStringLiteral("/settings/%1").arg(event.place.entry);
        const QJsonObject entry = entries.at(event.place.entry).toObject();
        const QJsonValue member = entry.value(event.place.member);
        switch (event.reason) {
        case Skip::NotArray:
            error(at + "/settings",
                QStringLiteral("\"settings\" is %1, not an array: no setting entry is read")
                    .arg(typeOf(system.value("settings"))));
            break;
        case Skip::NotObject:
            error(entryAt,
                QStringLiteral("setting entry is %1, not an object; it is skipped")
                    .arg(typeOf(entries.at(event.place.entry))));
            break;
        case Skip::NullVersion:
            error(entryAt + "/version",
                whyNull(entry.value("version")) + "; the setting entry is skipped");
            break;
        case Skip::EmptyKey:
            error(entryAt + "/key",
                notText(QStringLiteral("key"), entry.value("key"))
                    + "; the setting entry is skipped");
            break;
        case Skip::NotText:
            warning(entryAt + '/' + event.place.member,
                QStringLiteral("%1 is %2 and reads as empty text%3")
                    .arg(quoted(event.place.member), typeOf(member),
                        member.isDouble() || member.isBool()
                            ? QStringLiteral("; write it as the string ") + quoted(jsonText(member))
                            : QString()));
            break;
        default:
            break;
        }
    }
    for (int k = 0; k < entries.size(); ++k) {
        const QString entryAt = at + QStringLiteral("/settings/%1").arg(k);
        const QJsonObject entry = entries.at(k).toObject();
        misread(entryAt + "/version", entry.value("version"));
        misnamed(entryAt, entry, { "version", "key", "type", "value" });
    }
}

void Linter::platform(const QString &at, const QString &os)
{
    if (os == hostOs || knownPlatform(os))
        return;
    const QString near = os.trimmed().toLower();
    warning(at,
        QStringLiteral("%1 matches no known platform (mac, linux or win, \"-\" and an "
                       "architecture such as x86_64 or arm64); no such host reads it%2")
            .arg(quoted(os),
                knownPlatform(near) ? QStringLiteral("; did you mean %1?").arg(quoted(near))
                                    : QString()));
}

void Linter::misnamed(const QString &at, const QJsonObject &entry, const QStringList &known)
{
    for (auto it = entry.begin(); it != entry.end(); ++it) {
        if (known.contains(it.key()))
            continue;
        for (const QString &name : known) {
            if (it.key().trimmed().compare(name, Qt::CaseInsensitive) == 0)
                warning(at + '/' + pointerToken(it.key()),
                    QStringLiteral("%1 is not read; did you mean %2?")
                        .arg(quoted(it.key()), quoted(name)));
        }
    }
}

void Linter::misread(const QString &at, const QJsonValue &value)
{
    Version version;
    if (!version.fromString(value.toString()) || version.isNull())
        return; // the walks report these
    const QString dropped = droppedNumber(value.toString(), version);
    if (!dropped.isEmpty())
        warning(at,
            QStringLiteral("\"version\" %1 reads as %2: %3 does not fit in 32 bits")
                .arg(quoted(value.toString()), version.toString(), dropped));
}

} // namespace

QVector<Finding> lint(const QJsonDocument &manifest, const QString &hostOs)
{
    return Linter(manifest, hostOs).run();
}

QString ignoredBecause(const QJsonDocument &manifest)
{
    if (isManifest(manifest))
        return QString();
    const QJsonValue name = manifest.object().value("name");
    if (name.isString())
        return QStringLiteral("root \"name\" is %1, not \"Versions.json\"")
            .arg(quoted(name.toString()));
    return "root " + notText(QStringLiteral("name"), name) + " (it must be \"Versions.json\")";
}

QString droppedNumber(const QString &text, const Version &version)
{
    const QStringList numbers = text.section('-', 0, 0).split('.');
    const quint32 parsed[] = { version.major, version.minor, version.patch };
    for (int i = 0; i < 3 && i < numbers.size(); ++i) {
        const QString &digits = numbers.at(i);
        if (parsed[i] == 0
            && std::any_of(digits.begin(), digits.end(), [](QChar c) { return c != '0'; }))
            return digits;
    }
    return QString();
}
