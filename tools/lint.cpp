// SPDX-License-Identifier: MIT
#include "lint.h"

#include "environment/environment_p.h"
#include "manifest/manifest_p.h"
#include "similar.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <cstring>

namespace {

using namespace MZU;
using namespace MZU::Internal;

// Spaces, joiners and marks that print as nothing or as another character: "ver\u200bsion"
// must not print as "version".
bool lookAlike(ushort c)
{
    return c == 0xa0 || c == 0xad || c == 0x34f || c == 0x180e || (c >= 0x2000 && c <= 0x200f)
        || (c >= 0x2010 && c <= 0x201f) || (c >= 0x2028 && c <= 0x202f)
        || (c >= 0x205f && c <= 0x206f) || c == 0x3000 || c == 0xfeff
        || (c >= 0xff01 && c <= 0xff5e);
}

QString quoted(const QString &text)
{
    QString result = QStringLiteral("\"");
    for (const QChar c : text) {
        if (lookAlike(c.unicode()))
            result += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            result += c;
    }
    return result + '"';
}

// The digits of @p text written in ASCII, when some are of another script; else empty.
QString asciiDigits(const QString &text)
{
    const auto other = [](QChar c) { return c.isDigit() && (c < '0' || c > '9'); };
    if (std::none_of(text.begin(), text.end(), other))
        return QString();
    QString result = text;
    for (QChar &c : result) {
        if (other(c))
            c = QChar('0' + c.digitValue());
    }
    return result;
}

QString apps(int index)
{
    return QLatin1String("/apps/") + QString::number(index);
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

// The known platform @p os was probably meant as, or empty text.
QString meantPlatform(const QString &os)
{
    static const QHash<QString, QString> words { { "windows", "win" }, { "win32", "win" },
        { "win64", "win" }, { "macos", "mac" }, { "macosx", "mac" }, { "osx", "mac" },
        { "darwin", "mac" } };
    static const QHash<QString, QString> architectures { { "amd64", "x86_64" }, { "x64", "x86_64" },
        { "x86-64", "x86_64" }, { "aarch64", "arm64" }, { "armv8", "arm64" }, { "i686", "i386" },
        { "x86", "i386" } };
    const QString near = os.trimmed().toLower();
    QString word = near.section('-', 0, 0);
    QString architecture = near.section('-', 1);
    if (architecture.isEmpty() && word == QLatin1String("win64"))
        architecture = QStringLiteral("x86_64");
    word = words.value(word, word);
    architecture = architectures.value(architecture, architecture);
    const QString meant = word + '-' + architecture;
    return knownPlatform(meant) ? meant : QString();
}

// A member hosts read, and what they do when it is not there.
struct Known
{
    const char *name;
    const char *without;
};

const Known rootMembers[] = { { "name", "hosts ignore the whole manifest" },
    { "apps", "hosts find no releases" } };
const Known releaseMembers[] = { { "name", "hosts ignore this release" },
    { "os", "hosts ignore this release" }, { "version", "hosts ignore this release" },
    { "changelog", "hosts show no change log for this release" },
    { "tip", "hosts do not stop at this release" } };
const Known applicationMembers[] = { { "name", "hosts never find its files and settings" },
    { "os", "hosts read nothing of this entry" } };
const Known systemMembers[] = { { "name", "no host reads this OS entry" },
    { "files", "hosts get no files from it" }, { "settings", "hosts get no settings from it" } };
const Known fileMembers[] = { { "version", "hosts skip this file entry" },
    { "filename", "hosts drop this file entry" }, { "location", "hosts drop this file entry" },
    { "url", "hosts drop this file entry" }, { "size", "fileMatches() cannot check the size" },
    { "sha256", "fileMatches() cannot check the content" } };
const Known settingMembers[] = { { "version", "hosts skip this setting entry" },
    { "key", "hosts skip this setting entry" }, { "type", "hosts get an empty type" },
    { "value", "hosts get an empty value" } };

// What a walk skipped, in order.
class Recorder : public WalkObserver
{
public:
    struct Event
    {
        Skip reason;
        WalkPlace place;
    };
    QVector<Event> events;

    void skipped(Skip reason, const WalkPlace &place) override { events.append({ reason, place }); }
};

class Linter
{
public:
    Linter(const QJsonDocument &manifest, const QString &hostOs, bool signedManifest)
        : manifest(manifest)
        , hostOs(hostOs)
        , signedManifest(signedManifest)
        , list(manifest.object().value(QLatin1String("apps")).toArray())
    {
    }

    QVector<Finding> run()
    {
        if (topLevel()) {
            releases();
            applications();
            similarNames();
        }
        // A member reported missing is shown where it was misspelled.
        for (Finding &finding : findings) {
            finding.placeAt = misspelledAs.value(finding.pointer);
            finding.atName = finding.atName || !finding.placeAt.isEmpty();
        }
        return findings;
    }

private:
    bool add(const QString &pointer, Finding::Severity severity, const char *rule,
        const QString &message)
    {
        const QString key = pointer + '\n' + message;
        if (seen.contains(key))
            return false; // several walks pass over the same element
        seen.insert(key);
        Finding finding;
        finding.pointer = pointer;
        finding.severity = severity;
        finding.rule = rule;
        finding.message = message;
        findings.append(finding);
        return true;
    }
    void error(const QString &pointer, const char *rule, const QString &message)
    {
        add(pointer, Finding::Error, rule, message);
    }
    bool warning(const QString &pointer, const char *rule, const QString &message)
    {
        return add(pointer, Finding::Warning, rule, message);
    }

    bool topLevel();
    void releases();
    void release(int index, const QJsonObject &entry);
    void applications();
    void systems(int app, const QJsonObject &entry, const QString &name);
    void files(const QString &at, const QJsonObject &system, const Recorder &recorder,
        const QString &released);
    void fileRules(const QString &at, const QJsonObject &entry, const Version &version);
    void url(const QString &at, const QJsonValue &value);
    void digest(const QString &at, const QJsonObject &entry);
    void outside(const QString &at, const QJsonObject &entry);
    void settings(const QString &at, const QJsonObject &system, const Recorder &recorder,
        const QString &released);
    void unreleased(const QString &at, const QJsonValue &version, const QString &released);
    void similarNames();
    bool platform(const QString &at, const QString &os);
    template <size_t N>
    void misnamed(const QString &at, const QJsonObject &entry, const Known (&known)[N])
    {
        misnamed(at, entry, known, known + N);
    }
    void misnamed(
        const QString &at, const QJsonObject &entry, const Known *begin, const Known *end);
    void misread(const QString &at, const QJsonValue &version);
    void nullVersion(const QString &at, const QJsonValue &version, const QString &consequence);

    const QJsonDocument &manifest;
    const QString hostOs;
    const bool signedManifest; // checked against trusted keys
    const QJsonArray list;
    QVector<Finding> findings;
    QSet<QString> seen;
    QHash<QString, QString> misspelledAs; // a missing member's pointer: its misspelling's
    QHash<QString, bool> platforms; // known or not
    // The releases hosts read: of each name and platform, each version with the index of
    // its first release.
    QHash<QString, QHash<QString, int>> releasesOf;
};

bool Linter::topLevel()
{
    const QString ignored = ignoredBecause(manifest);
    if (!manifest.isObject()) {
        error(QString(), "ignored-manifest", ignored + ": hosts ignore the whole manifest");
        return false;
    }
    if (!ignored.isEmpty())
        error(QStringLiteral("/name"), "ignored-manifest",
            ignored + ": hosts ignore the whole manifest");
    const QJsonValue appsValue = manifest.object().value(QLatin1String("apps"));
    if (appsValue.isUndefined())
        error(QStringLiteral("/apps"), "no-apps",
            QStringLiteral("no \"apps\" array: hosts find nothing"));
    else if (!appsValue.isArray())
        error(QStringLiteral("/apps"), "no-apps",
            QStringLiteral("\"apps\" is %1, not an array: hosts find nothing")
                .arg(typeOf(appsValue)));
    else if (list.isEmpty())
        warning(QStringLiteral("/apps"), "no-apps",
            QStringLiteral("\"apps\" is empty: hosts find nothing"));
    misnamed(QString(), manifest.object(), rootMembers);
    return true;
}

void Linter::releases()
{
    // Releases with a suffix that reads as a pre-release.
    struct Read
    {
        int index;
        QString pair; // name and platform
        Version version;
    };
    QVector<Read> preReleases;
    const QRegularExpression preRelease(QStringLiteral("^(alpha|beta|rc|pre|preview|dev)"),
        QRegularExpression::CaseInsensitiveOption);
    for (int i = 0; i < list.size(); ++i) {
        if (!list.at(i).isObject()) {
            error(apps(i), "not-object",
                QStringLiteral("element is %1, not an object; it is ignored")
                    .arg(typeOf(list.at(i))));
            continue;
        }
        const QJsonObject entry = list.at(i).toObject();
        const QJsonValue osValue = entry.value(QLatin1String("os"));
        const QString os = osValue.toString();
        if (osValue.isArray())
            continue;
        if (os.isEmpty()) {
            error(apps(i) + "/os", "unusable-member",
                notText(QStringLiteral("os"), osValue)
                    + QLatin1String(": no host reads this entry (a release entry needs a "
                                    "platform name, an application entry an array)"));
            misnamed(apps(i), entry, releaseMembers);
            continue;
        }
        release(i, entry);
        const QString name = entry.value(QLatin1String("name")).toString();
        const Version version(entry.value(QLatin1String("version")).toString());
        if (const std::optional<Skip> skip = releaseSkip(name, version)) {
            if (*skip == Skip::EmptyName)
                error(apps(i) + "/name", "unusable-member",
                    notText(QStringLiteral("name"), entry.value(QLatin1String("name")))
                        + "; the release is ignored");
            else
                nullVersion(apps(i) + "/version", entry.value(QLatin1String("version")),
                    QStringLiteral("the release is ignored"));
            continue;
        }
        const QString pair = name + '\n' + os;
        const QString written = version.toString();
        QHash<QString, int> &versions = releasesOf[pair];
        const auto first = versions.constFind(written);
        if (first != versions.cend()) {
            error(apps(i) + "/version", "duplicate-release",
                QStringLiteral("%1 %2 for %3 is listed twice (also at %4); which one's change "
                               "log and tip count is left to chance")
                    .arg(quoted(name), written, os, apps(first.value())));
            continue;
        }
        versions.insert(written, i);
        if (!version.suffix.isEmpty() && preRelease.match(version.suffix).hasMatch())
            preReleases.append({ i, pair, version });
    }

    // Unlike semantic versioning, a suffix sorts after the plain release.
    for (const Read &read : qAsConst(preReleases)) {
        Version plain = read.version;
        plain.suffix.clear();
        if (releasesOf.value(read.pair).contains(plain.toString()))
            warning(apps(read.index) + "/version", "suffix-order",
                QStringLiteral("%1-%2 sorts after %1 (a suffix comes after the plain release, "
                               "unlike in semantic versioning): hosts on %1 are offered it")
                    .arg(plain.toString(), read.version.suffix));
    }
}

void Linter::release(int i, const QJsonObject &entry)
{
    const QString at = apps(i);
    platform(at + "/os", entry.value(QLatin1String("os")).toString());
    misnamed(at, entry, releaseMembers);
    misread(at + "/version", entry.value(QLatin1String("version")));

    const QJsonValue tip = entry.value(QLatin1String("tip"));
    const QJsonValue log = entry.value(QLatin1String("changelog"));
    const QString tipText = tip.toString().trimmed().toLower();
    const bool meant = tip.isDouble()
        ? tip.toDouble() != 0
        : tipText == "true" || tipText == "yes" || tipText == "1" || tipText == "on";
    if (!meant && (log.isUndefined() || log.isString()))
        return; // nothing the resolution could read otherwise than it seems

    // Ask the update resolution how it reads "tip" and "changelog": a release 1.0.0 with
    // these members, followed by 2.0.0, offered to 0.0.0, stops at 1.0.0 only when marked.
    QMultiHash<QString, ApplicationInfo> catalogue;
    catalogue.insert(QString(), { Version(QStringLiteral("1.0.0")), entry.toVariantHash() });
    catalogue.insert(QString(), { Version(QStringLiteral("2.0.0")), QVariantHash() });
    Version offered;
    QString changelog;
    updateVersion(catalogue, QString(), Version(), offered, changelog);
    if (offered.major != 1 && meant)
        warning(at + "/tip", "tip-not-marked",
            QStringLiteral("\"tip\" is %1, which does not mark a tip (only true or \"true\" "
                           "do); hosts walk past this release")
                .arg(jsonText(tip)));
    if (changelog.isEmpty() && !log.isUndefined() && !log.isString())
        warning(at + "/changelog", "value-not-text",
            QStringLiteral("\"changelog\" is %1 and reads as empty text").arg(typeOf(log)));
}

void Linter::applications()
{
    // The walks take the first element of a name (any element: a release entry too).
    QHash<QString, int> firstNamed;
    QHash<QString, int> firstApplication;
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject entry = list.at(i).toObject();
        const QJsonValue nameValue = entry.value(QLatin1String("name"));
        const QString name = nameValue.toString();
        if (!firstNamed.contains(name))
            firstNamed.insert(name, i);
        if (!entry.value(QLatin1String("os")).isArray())
            continue;
        if (!firstApplication.contains(name))
            firstApplication.insert(name, i);
        if (name.isEmpty())
            error(apps(i) + "/name", "unusable-member",
                notText(QStringLiteral("name"), nameValue)
                    + ": hosts do not ask for its files and settings");
        misnamed(apps(i), entry, applicationMembers);
        const int first = firstNamed.value(name);
        if (firstApplication.value(name) != i) {
            error(apps(i), "second-entry",
                QStringLiteral("second application entry named %1: hosts read only %2, so "
                               "its files and settings are never read")
                    .arg(quoted(name), apps(firstApplication.value(name))));
        } else if (first != i) {
            const bool isRelease = list.at(first).toObject().value(QLatin1String("os")).isString();
            error(apps(first), "entry-order",
                QStringLiteral("this %1 of %2 stands before %3, its application entry with "
                               "the \"os\" array: hosts stop at the first entry of a name, "
                               "so the files and settings of %3 are never read; move %3 up")
                    .arg(isRelease ? QStringLiteral("release entry") : QStringLiteral("entry"),
                        quoted(name), apps(i)));
            warning(apps(i), "entry-order",
                QStringLiteral("its files and settings are never read: hosts looking for %1 "
                               "stop at %2")
                    .arg(quoted(name), apps(first)));
        }
        systems(i, entry, name);
    }
}

void Linter::systems(int app, const QJsonObject &entry, const QString &name)
{
    const QJsonArray systems = entry.value(QLatin1String("os")).toArray();
    QHash<QString, int> firstNamed;
    for (int j = 0; j < systems.size(); ++j) {
        const QString at = apps(app) + QStringLiteral("/os/%1").arg(j);
        if (!systems.at(j).isObject()) {
            error(at, "not-object",
                QStringLiteral("OS entry is %1, not an object; no host reads it")
                    .arg(typeOf(systems.at(j))));
            continue;
        }
        const QJsonObject system = systems.at(j).toObject();
        const QJsonValue osName = system.value(QLatin1String("name"));
        misnamed(at, system, systemMembers);
        if (!osName.isString() || osName.toString().isEmpty()) {
            error(at + "/name", "unusable-member",
                notText(QStringLiteral("name"), osName) + ": no host reads it");
            continue;
        }
        const QString os = osName.toString();
        if (firstNamed.contains(os)) {
            error(at, "second-entry",
                QStringLiteral("second OS entry named %1: hosts read only %2/os/%3, so its "
                               "files and settings are never read")
                    .arg(quoted(os), apps(app))
                    .arg(firstNamed.value(os)));
            continue;
        }
        firstNamed.insert(os, j);
        // An unknown platform has its warning already: one is enough at one place.
        const bool known = platform(at + "/name", os);
        const QString released = name + '\n' + os;
        if (known && !name.isEmpty() && !releasesOf.contains(released))
            warning(at + "/name", "platform-without-release",
                QStringLiteral("no release of %1 is for %2: hosts on %2 are offered no update, "
                               "so these files and settings reach none of them")
                    .arg(quoted(name), quoted(os)));
        // Alone in a manifest of its own, every OS entry is walked once, even one that
        // hosts never reach: its defects wait for the day it is moved up.
        const QJsonDocument alone(QJsonObject { { QStringLiteral("apps"),
            QJsonArray { QJsonObject { { QStringLiteral("name"), name },
                { QStringLiteral("os"), QJsonArray { system } } } } } });
        Recorder fileWalk;
        Recorder settingWalk;
        getFileUpdates(alone, name, Version(), widest(), os, &fileWalk);
        getSettingUpdates(alone, name, Version(), widest(), os, &settingWalk);
        files(at, system, fileWalk, releasesOf.contains(released) ? released : QString());
        settings(at, system, settingWalk, releasesOf.contains(released) ? released : QString());
    }
}

void Linter::files(
    const QString &at, const QJsonObject &system, const Recorder &recorder, const QString &released)
{
    const QJsonArray entries = system.value(QLatin1String("files")).toArray();
    for (const Recorder::Event &event : recorder.events) {
        const QString entryAt = at + QStringLiteral("/files/%1").arg(event.place.entry);
        const QJsonObject entry = entries.at(event.place.entry).toObject();
        const QJsonValue version = entry.value(QLatin1String("version"));
        switch (event.reason) {
        case Skip::NotArray:
            error(at + "/files", "unusable-member",
                QStringLiteral("\"files\" is %1, not an array: no file entry is read")
                    .arg(typeOf(system.value(QLatin1String("files")))));
            break;
        case Skip::NotObject:
            error(entryAt, "not-object",
                QStringLiteral("file entry is %1, not an object; it is skipped")
                    .arg(typeOf(entries.at(event.place.entry))));
            break;
        case Skip::NullVersion:
            nullVersion(entryAt + "/version", version, QStringLiteral("the file entry is skipped"));
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
        misread(entryAt + "/version", entry.value(QLatin1String("version")));
        misnamed(entryAt, entry, fileMembers);
        unreleased(entryAt + "/version", entry.value(QLatin1String("version")), released);
        url(entryAt + "/url", entry.value(QLatin1String("url")));
        digest(entryAt, entry);
        outside(entryAt, entry);
    }
}

// The library hands "location" and "filename" over as written; a host that joins them to
// its installation folder without a check writes where they lead.
void Linter::outside(const QString &at, const QJsonObject &entry)
{
    static const QRegularExpression absolute(QStringLiteral("^([/\\\\]|[A-Za-z]:)"));
    int depth = 0; // folders below the installation
    for (const char *member : { "location", "filename" }) {
        const QString text = entry.value(QLatin1String(member)).toString();
        if (absolute.match(text).hasMatch()) {
            warning(at + '/' + member, "file-outside",
                QStringLiteral("%1 %2 is an absolute path: a careless host that joins it to "
                               "its installation folder writes to %2 itself, overwriting what "
                               "is there")
                    .arg(quoted(QLatin1String(member)), quoted(text)));
            return;
        }
        static const QRegularExpression separator(QStringLiteral("[/\\\\]"));
        const QStringList segments = text.split(separator);
        for (const QString &segment : segments) {
            if (segment == QLatin1String(".."))
                --depth;
            else if (!segment.isEmpty() && segment != QLatin1String("."))
                ++depth;
            if (depth < 0) {
                warning(at + '/' + member, "file-outside",
                    QStringLiteral("%1 %2 climbs above the installation folder with \"..\": "
                                   "a careless host writes outside its installation, "
                                   "overwriting what is there")
                        .arg(quoted(QLatin1String(member)), quoted(text)));
                return;
            }
        }
    }
}

void Linter::digest(const QString &at, const QJsonObject &entry)
{
    const bool hashed = entry.contains(QLatin1String("sha256"));
    if (hashed || entry.contains(QLatin1String("size"))) {
        const QString problem = fileDigest(entry.toVariantHash()).problem;
        if (!problem.isEmpty())
            warning(at + (problem.contains(QLatin1String("\"size\"")) ? "/size" : "/sha256"),
                "file-digest", problem + "; fileMatches() matches no file against this entry");
    }
    if (signedManifest && !hashed)
        warning(at, "unhashed-file",
            QStringLiteral("file entry without \"sha256\" in a signed manifest: a host cannot tie "
                           "the file it downloads to the signature"));
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
        if (check == FileCheck::BadUrl && value.toString().contains('\\'))
            why = QStringLiteral("\"url\" %1 is not a valid URL: it holds a backslash where "
                                 "URLs have \"/\"")
                      .arg(quoted(value.toString()));
        else if (check == FileCheck::BadUrl && value.isString() && !value.toString().isEmpty())
            why = QStringLiteral("\"url\" %1 is not a valid URL (%2)")
                      .arg(quoted(value.toString()),
                          QUrl(value.toString(), QUrl::TolerantMode)
                              .errorString()
                              .section(';', 0, 0));
        else if (!value.isUndefined() && !value.isString())
            why = quoted(member) + " is " + typeOf(value) + " and reads as empty text";
        error(at + '/' + member, "file-dropped", why + "; the file entry is dropped");
        file.values.insert(member, QStringLiteral("http://localhost/"));
    }
}

void Linter::url(const QString &at, const QJsonValue &value)
{
    const QString text = value.toString();
    if (text.isEmpty())
        return;
    static const QRegularExpression schemePattern(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):"));
    const QString scheme = schemePattern.match(text).captured(1).toLower();
    const QUrl parsed(text, QUrl::TolerantMode);
    // One finding a place: a URL Qt refuses is dropped, and a Windows path is said to be one.
    if (text.contains('\\') && parsed.isValid() && scheme.size() != 1)
        warning(at, "url-characters",
            QStringLiteral("the URL %1 holds backslashes: URLs separate with \"/\", and hosts "
                           "get the text as written")
                .arg(quoted(text)));
    if (std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); }))
        warning(at, "url-characters",
            QStringLiteral("the URL %1 holds white space; write a space as %20").arg(quoted(text)));
    static const QStringList schemes { "http", "https", "ftp", "file" };
    static const QRegularExpression noColon(
        QStringLiteral("^(https?|ftp|file)//"), QRegularExpression::CaseInsensitiveOption);
    const QString colonless = noColon.match(text).captured(1);
    if (!colonless.isEmpty()) {
        warning(at, "url-scheme",
            QStringLiteral("the URL %1 lacks the colon after %2: write %2://")
                .arg(quoted(text), colonless));
    } else if (scheme.isEmpty()) {
        warning(at, "url-scheme",
            QStringLiteral("the URL %1 has no scheme (such as https://): hosts get it as "
                           "written, relative to nothing")
                .arg(quoted(text)));
    } else if (scheme.size() == 1) {
        warning(at, "url-scheme",
            QStringLiteral("the URL %1 is a Windows path, not a URL").arg(quoted(text)));
    } else if (!schemes.contains(scheme)) {
        const QString near = misspelled(scheme, schemes);
        warning(at, "url-scheme",
            QStringLiteral("the URL %1 has the scheme %2, not http, https, ftp or file%3")
                .arg(quoted(text), quoted(scheme),
                    near.isEmpty() ? QString()
                                   : QStringLiteral("; did you mean %1?").arg(quoted(near))));
    }
    if (!parsed.userInfo().isEmpty())
        warning(at, "url-credentials",
            QStringLiteral("the URL %1 holds a user name or password: every host, and anyone "
                           "who reads the manifest, gets them")
                .arg(quoted(text)));
}

void Linter::settings(
    const QString &at, const QJsonObject &system, const Recorder &recorder, const QString &released)
{
    const QJsonArray entries = system.value(QLatin1String("settings")).toArray();
    for (const Recorder::Event &event : recorder.events) {
        const QString entryAt = at + QStringLiteral("/settings/%1").arg(event.place.entry);
        const QJsonObject entry = entries.at(event.place.entry).toObject();
        const QJsonValue member = entry.value(event.place.member);
        switch (event.reason) {
        case Skip::NotArray:
            error(at + "/settings", "unusable-member",
                QStringLiteral("\"settings\" is %1, not an array: no setting entry is read")
                    .arg(typeOf(system.value(QLatin1String("settings")))));
            break;
        case Skip::NotObject:
            error(entryAt, "not-object",
                QStringLiteral("setting entry is %1, not an object; it is skipped")
                    .arg(typeOf(entries.at(event.place.entry))));
            break;
        case Skip::NullVersion:
            nullVersion(entryAt + "/version", entry.value(QLatin1String("version")),
                QStringLiteral("the setting entry is skipped"));
            break;
        case Skip::EmptyKey:
            error(entryAt + "/key", "unusable-member",
                notText(QStringLiteral("key"), entry.value(QLatin1String("key")))
                    + "; the setting entry is skipped");
            break;
        case Skip::NotText:
            warning(entryAt + '/' + event.place.member, "value-not-text",
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
        misread(entryAt + "/version", entry.value(QLatin1String("version")));
        misnamed(entryAt, entry, settingMembers);
        unreleased(entryAt + "/version", entry.value(QLatin1String("version")), released);
    }
}

// @p released: the application's name and platform, when it has releases there.
void Linter::unreleased(const QString &at, const QJsonValue &value, const QString &released)
{
    const Version version(value.toString());
    const QHash<QString, int> versions = releasesOf.value(released);
    if (released.isEmpty() || version.isNull() || versions.contains(version.toString()))
        return;
    // A slip of the hand: the release a small edit away, the nearest and then the first.
    QString nearest;
    int distance = 0;
    int nearestAt = 0;
    for (auto it = versions.cbegin(); it != versions.cend(); ++it) {
        const int d = editDistance(version.toString(), it.key(), 2);
        if (d <= 2
            && (nearest.isEmpty() || d < distance || (d == distance && it.value() < nearestAt))) {
            distance = d;
            nearest = it.key();
            nearestAt = it.value();
        }
    }
    warning(at, "version-without-release",
        QStringLiteral("no release of %1 for %2 is %3: hosts get this entry when they move past "
                       "%3, with whichever release comes next%4")
            .arg(quoted(released.section('\n', 0, 0)), quoted(released.section('\n', 1)),
                version.toString(),
                nearest.isEmpty() ? QString() : QStringLiteral("; did you mean %1?").arg(nearest)));
}

void Linter::similarNames()
{
    // Names of release and application entries, with how often each is used.
    QStringList names;
    QHash<QString, int> uses;
    QHash<QString, QVector<int>> releasesNamed;
    QHash<QString, QVector<int>> applicationsNamed;
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject entry = list.at(i).toObject();
        const QJsonValue os = entry.value(QLatin1String("os"));
        const QString name = entry.value(QLatin1String("name")).toString();
        if (name.isEmpty() || !(os.isString() || os.isArray()))
            continue;
        if (!uses.contains(name))
            names.append(name);
        ++uses[name];
        (os.isString() ? releasesNamed : applicationsNamed)[name].append(i);
    }
    const auto firstUse = [&](const QString &name) {
        return std::min(releasesNamed.value(name).value(0, list.size()),
            applicationsNamed.value(name).value(0, list.size()));
    };
    // A name is taken for a slip of the most used name close to it, when that one is used
    // more, or as often but earlier.
    QHash<int, int> meantFor;
    const auto better = [&](int x, int y) {
        const int a = uses.value(names.at(x));
        const int b = uses.value(names.at(y));
        return a != b ? a > b : firstUse(names.at(x)) < firstUse(names.at(y));
    };
    for (const auto &pair : ::similarNames(names)) {
        for (const auto &[slip, meant] :
            { std::make_pair(pair.first, pair.second), std::make_pair(pair.second, pair.first) }) {
            if (better(meant, slip)
                && (!meantFor.contains(slip) || better(meant, meantFor.value(slip))))
                meantFor.insert(slip, meant);
        }
    }
    for (auto it = meantFor.cbegin(); it != meantFor.cend(); ++it) {
        const QString &slip = names.at(it.key());
        const QString &meant = names.at(it.value());
        for (int i : releasesNamed.value(slip))
            warning(apps(i) + "/name", "similar-name",
                QStringLiteral("the release name %1 differs from %2 only by letter case, spacing "
                               "or a small edit; names compare exactly, so hosts of %2 never "
                               "see this release")
                    .arg(quoted(slip), quoted(meant)));
        if (releasesNamed.contains(slip) || !releasesNamed.contains(meant))
            continue;
        for (int i : applicationsNamed.value(slip))
            warning(apps(i) + "/name", "similar-name",
                QStringLiteral("no release entry is named %1, but %2 is; names compare exactly")
                    .arg(quoted(slip), quoted(meant)));
    }
}

bool Linter::platform(const QString &at, const QString &os)
{
    auto known = platforms.constFind(os);
    if (known == platforms.cend())
        known = platforms.insert(os, os == hostOs || knownPlatform(os));
    if (known.value())
        return true;
    const QString near = meantPlatform(os);
    warning(at, "unknown-platform",
        QStringLiteral("%1 matches no known platform (mac, linux or win, \"-\" and an "
                       "architecture such as x86_64 or arm64); no such host reads it%2")
            .arg(quoted(os),
                near.isEmpty() ? QString()
                               : QStringLiteral("; did you mean %1?").arg(quoted(near))));
    return false;
}

void Linter::misnamed(
    const QString &at, const QJsonObject &entry, const Known *begin, const Known *end)
{
    QStringList missing;
    for (const Known *known = begin; known != end; ++known) {
        if (!entry.contains(QLatin1String(known->name)))
            missing.append(QLatin1String(known->name));
    }
    // Without a missing member, or an unknown one, there is no slip to find.
    if (missing.isEmpty() || entry.size() + missing.size() == end - begin)
        return;
    QStringList unknown;
    for (auto it = entry.begin(); it != entry.end(); ++it) {
        const QString key = it.key();
        if (std::none_of(
                begin, end, [&](const Known &member) { return key == QLatin1String(member.name); }))
            unknown.append(key);
    }
    for (const QString &key : qAsConst(unknown)) {
        const QString near = misspelled(key, missing);
        if (near.isEmpty())
            continue;
        const Known *known = std::find_if(
            begin, end, [&](const Known &member) { return near == QLatin1String(member.name); });
        if (warning(at + '/' + pointerToken(key), "misspelled-member",
                QStringLiteral("%1 is not read; did you mean %2? Without it %3")
                    .arg(quoted(key), quoted(near), QLatin1String(known->without)))) {
            findings.last().atName = true;
            misspelledAs.insert(at + '/' + near, findings.last().pointer);
        }
    }
}

// A version hosts read as null, under the rule of its cause.
void Linter::nullVersion(const QString &at, const QJsonValue &value, const QString &consequence)
{
    const QString text = value.toString();
    const QString start = "\"version\" " + quoted(text);
    Version version;
    const char *rule = "null-version";
    QString why = start + " is the null version";
    if (!value.isString() || text.isEmpty()) {
        why = notText(QStringLiteral("version"), value);
    } else if (!version.fromString(text)) {
        why = start + " is not a version (MAJOR.MINOR.PATCH, optionally -suffix)";
    } else if (const QString dropped = droppedNumber(text, version); !dropped.isEmpty()) {
        rule = "version-overflow";
        why = start + " reads as 0.0.0: " + dropped + " does not fit in 32 bits";
    } else if (const QString ascii = asciiDigits(text); !ascii.isEmpty()) {
        rule = "version-digits";
        why = start + " reads as 0.0.0: hosts read digits of another script as 0; write "
            + quoted(ascii);
    }
    error(at, rule, why + "; " + consequence);
}

void Linter::misread(const QString &at, const QJsonValue &value)
{
    Version version;
    if (!version.fromString(value.toString()) || version.isNull())
        return; // the walks report these
    const QString ascii = asciiDigits(value.toString());
    if (!ascii.isEmpty())
        warning(at, "version-digits",
            QStringLiteral("\"version\" %1 reads as %2: hosts read digits of another script as "
                           "0; write %3")
                .arg(quoted(value.toString()), version.toString(), quoted(ascii)));
    const QString dropped = droppedNumber(value.toString(), version);
    if (!dropped.isEmpty())
        warning(at, "version-overflow",
            QStringLiteral("\"version\" %1 reads as %2: %3 does not fit in 32 bits")
                .arg(quoted(value.toString()), version.toString(), dropped));
}

QString shownAt(const Finding &finding)
{
    return finding.placeAt.isEmpty() ? finding.pointer : finding.placeAt;
}

// The offset of the opening quote of the name of the member whose value is at @p value.
int nameOffset(const QByteArray &text, int value)
{
    int i = value - 1;
    const auto blank = [&] {
        while (i >= 0
            && (text.at(i) == ' ' || text.at(i) == '\t' || text.at(i) == '\r'
                || text.at(i) == '\n'))
            --i;
    };
    blank();
    if (i < 0 || text.at(i) != ':')
        return value;
    --i;
    blank();
    if (i < 0 || text.at(i) != '"')
        return value;
    for (--i; i >= 0; --i) {
        int k = i - 1; // an escaped quote has an odd number of backslashes before it
        while (text.at(i) == '"' && k >= 0 && text.at(k) == '\\')
            --k;
        if (text.at(i) == '"' && (i - 1 - k) % 2 == 0)
            return i;
    }
    return value;
}

// @p message with the number at @p offset as written there (1.0), not as Qt prints it (1).
QString asWritten(const QString &message, const QByteArray &text, int offset)
{
    int end = offset;
    while (end < text.size() && std::strchr("-+.0123456789eE", text.at(end)) && text.at(end))
        ++end;
    if (end == offset)
        return message;
    const QByteArray written = text.mid(offset, end - offset);
    const QJsonValue value = QJsonDocument::fromJson('[' + written + ']').array().at(0);
    const QString printed = jsonText(value);
    if (!value.isDouble() || printed == QLatin1String(written))
        return message;
    QString result = message;
    return result.replace(
        QRegularExpression("(?<![\\w.+-])" + QRegularExpression::escape(printed) + "(?![\\w.])"),
        QString::fromLatin1(written));
}

} // namespace

const QVector<Rule> &lintRules()
{
    static const QVector<Rule> rules {
        { "not-json", "The text is not JSON that hosts can parse.",
            "Mend the text at the place given: the message says what JSON expects there." },
        { "unreadable", "The manifest cannot be read, downloaded, or is larger than hosts accept.",
            "Check the path or address and the server's answer; keep the manifest below 4 MiB." },
        { "bad-signature",
            "The manifest's signature does not verify with the --key/--key-file keys: hosts "
            "trusting them refuse it.",
            "Sign the manifest as published, byte for byte, with a key the hosts trust." },
        { "signature-expiring",
            "The manifest's signature expires in less than 7 days: hosts trusting the "
            "--key/--key-file keys refuse it a day after that.",
            "Sign the manifest again with a later expires= in the trusted comment." },
        { "ignored-manifest",
            "Hosts ignore the whole manifest (root not an object, or its "
            "\"name\" is not \"Versions.json\").",
            "Make the root an object with \"name\": \"Versions.json\", spelled exactly so." },
        { "no-apps", "\"apps\" is missing, empty or not an array: hosts find nothing.",
            "Give the root an \"apps\" array of release and application entries." },
        { "not-object", "An element hosts skip because it is not an object.",
            "Write the element as an object with the members its list needs." },
        { "unusable-member", "A member hosts need is missing, empty or of the wrong type.",
            "Give the member as a non-empty string (\"os\" of an application entry: an array)." },
        { "null-version", "A version that does not parse or is 0.0.0: the entry is skipped.",
            "Write the version as MAJOR.MINOR.PATCH, optionally followed by -suffix." },
        { "version-overflow",
            "A version number beyond 32 bits reads as 0 (an error when the whole version then "
            "reads 0.0.0).",
            "Keep each number of the version below 4294967296." },
        { "version-digits",
            "A version with digits of another script, which read as 0 (an error when the whole "
            "version then reads 0.0.0).",
            "Write the version's digits as ASCII 0-9, as the message shows." },
        { "duplicate-release", "Two releases of one application and platform share a version.",
            "Remove one of the two, or give it the version it was meant to have." },
        { "suffix-order", "A pre-release-looking suffix sorts after the plain release.",
            "Give a pre-release a lower version than the release, or remove it once released." },
        { "tip-not-marked", "A \"tip\" that looks meant but does not mark a tip.",
            "Write \"tip\": \"true\" (or true), or remove the member." },
        { "value-not-text", "A member read as text holds another JSON type and reads as empty.",
            "Write the value as a JSON string, in double quotes." },
        { "entry-order", "An entry of a name stands before its application entry.",
            "Move the application entry (with the \"os\" array) above the other entries of its "
            "name." },
        { "second-entry", "A second application or OS entry of one name is never read.",
            "Merge its files and settings into the first entry of that name." },
        { "file-dropped", "A file entry hosts drop (filename, location or url unusable).",
            "Give \"filename\" and \"location\" as non-empty strings and \"url\" as a valid "
            "URL." },
        { "file-digest", "A \"size\" or \"sha256\" of the wrong form: fileMatches() fails.",
            "Give \"size\" as a whole number of bytes and \"sha256\" as 64 hexadecimal "
            "digits." },
        { "unhashed-file", "A file entry without \"sha256\" in a signed manifest.",
            "Add the file's \"sha256\", so that the signature covers the file too." },
        { "file-outside",
            "A file entry whose \"location\" or \"filename\" is absolute or climbs above the "
            "installation with \"..\".",
            "Give paths relative to the installation folder, without \"..\" that leaves it." },
        { "unknown-platform", "A platform name that matches no known form.",
            "Write the platform as hosts name theirs: mac, linux or win, \"-\", and an "
            "architecture such as x86_64 or arm64." },
        { "misspelled-member", "A member name that almost spells one hosts read.",
            "Spell the member as the message suggests." },
        { "similar-name", "Application names that differ only slightly.",
            "Spell the application's name the same way in every entry." },
        { "platform-without-release",
            "An OS entry for a platform with no release of its application.",
            "Add a release for that platform, or check the platform's spelling." },
        { "version-without-release", "A file or setting version that no release has.",
            "Use the version of the release that brings the file or setting." },
        { "repeated-key", "A member that appears twice in one object: hosts see one.",
            "Keep one of the two members." },
        { "unknown-escape",
            "A backslash before a letter JSON does not escape: hosts drop the backslash.",
            "Write a backslash as \"\\\\\" (a Windows path: \"C:\\\\Users\")." },
        { "raw-control",
            "A raw control character or line break inside a string, which JSON forbids.",
            "Write it as an escape: \"\\n\" for a line break, \"\\t\" for a tab." },
        { "url-scheme", "A file URL without a scheme, or with one hosts are not expected to fetch.",
            "Write the full URL, starting with https://." },
        { "url-characters", "A file URL with backslashes or white space.",
            "Separate with \"/\" and write a space as %20." },
        { "url-credentials", "A file URL with a user name or password.",
            "Remove them from the URL: every host and every reader of the manifest gets them." },
    };
    return rules;
}

QVector<Finding> lint(const QJsonDocument &manifest, const QString &hostOs, bool signedManifest)
{
    return Linter(manifest, hostOs, signedManifest).run();
}

QVector<Finding> lintManifest(const Manifest &manifest, const QString &hostOs, bool signedManifest)
{
    QVector<Finding> findings = lint(manifest.document, hostOs, signedManifest);
    // Where the findings are: their pointers and every parent, for a missing member.
    QSet<QString> wanted;
    for (const Finding &finding : qAsConst(findings)) {
        for (QString pointer = shownAt(finding); !wanted.contains(pointer);
             pointer.truncate(qMax(0, pointer.lastIndexOf('/')))) {
            wanted.insert(pointer);
            if (pointer.isEmpty())
                break;
        }
    }
    const QHash<QString, int> offsets = valueOffsets(manifest.text, wanted);
    QVector<int> places;
    for (Finding &finding : findings) {
        QString pointer = shownAt(finding);
        while (!offsets.contains(pointer) && !pointer.isEmpty())
            pointer.truncate(pointer.lastIndexOf('/'));
        finding.offset = offsets.value(pointer);
        if (pointer == shownAt(finding)) {
            finding.message = asWritten(finding.message, manifest.text, finding.offset);
            if (finding.atName)
                finding.offset = nameOffset(manifest.text, finding.offset);
        }
        places.append(finding.offset);
    }
    // A repeated member is placed at its name, and so is the one it hides.
    for (const RepeatedKey &repeated : manifest.repeatedKeys)
        places << nameOffset(manifest.text, repeated.offset)
               << nameOffset(manifest.text, repeated.firstOffset);
    const QVector<TextPosition> found = positions(manifest.text, places);
    for (int i = 0; i < findings.size(); ++i)
        findings[i].position = found.at(i);
    const int base = findings.size();
    for (int i = 0; i < manifest.repeatedKeys.size(); ++i) {
        const RepeatedKey &repeated = manifest.repeatedKeys.at(i);
        const TextPosition first = found.at(base + 2 * i + 1);
        Finding finding;
        finding.pointer = repeated.pointer;
        finding.rule = "repeated-key";
        finding.message = QStringLiteral("%1 appears twice in this object: hosts see only this "
                                         "one, not the one at line %2, column %3")
                              .arg(quoted(repeated.pointer.section('/', -1)
                                              .replace(QLatin1String("~1"), QLatin1String("/"))
                                              .replace(QLatin1String("~0"), QLatin1String("~"))))
                              .arg(first.line)
                              .arg(first.column);
        finding.offset = places.at(base + 2 * i);
        finding.position = found.at(base + 2 * i);
        findings.append(finding);
    }
    // One finding of each kind per string.
    QVector<int> faultPlaces;
    const StringFault *last = nullptr;
    for (const StringFault &fault : manifest.stringFaults) {
        if (last && last->pointer == fault.pointer && !last->escape == !fault.escape)
            continue;
        last = &fault;
        Finding finding;
        finding.pointer = fault.pointer;
        finding.severity = Finding::Warning;
        finding.offset = fault.offset;
        if (fault.escape) {
            finding.rule = "unknown-escape";
            finding.message = QStringLiteral("\"\\%1\" is not a JSON escape: hosts drop the "
                                             "backslash and read %2; write \"\\\\\" for a "
                                             "backslash")
                                  .arg(QString(QLatin1Char(fault.escape)), quoted(fault.read));
        } else {
            const QString what = fault.control == '\n' || fault.control == '\r'
                ? QStringLiteral("line break")
                : fault.control == '\t' ? QStringLiteral("tab")
                                        : QStringLiteral("control character U+%1")
                                              .arg(fault.control, 4, 16, QLatin1Char('0'));
            finding.rule = "raw-control";
            finding.message = QStringLiteral("a raw %1 inside a string, which JSON forbids: "
                                             "hosts read it as part of %2, other JSON readers "
                                             "refuse the manifest; write it escaped")
                                  .arg(what, quoted(fault.read));
        }
        findings.append(finding);
        faultPlaces.append(fault.offset);
    }
    const QVector<TextPosition> faultPositions = positions(manifest.text, faultPlaces);
    for (int i = 0; i < faultPositions.size(); ++i)
        findings[findings.size() - faultPositions.size() + i].position = faultPositions.at(i);
    // Document order: by place, a parent before the members that it lacks.
    std::stable_sort(findings.begin(), findings.end(), [](const Finding &a, const Finding &b) {
        return a.offset != b.offset ? a.offset < b.offset
                                    : a.pointer.count('/') < b.pointer.count('/');
    });
    return findings;
}

Finding unreadable(const LoadError &error)
{
    Finding finding;
    finding.rule = error.offset >= 0 ? "not-json" : "unreadable";
    finding.message = error.message;
    if (error.offset >= 0) {
        finding.offset = error.offset;
        finding.position = positions(error.text, { error.offset }).constFirst();
    }
    return finding;
}

QString ignoredBecause(const QJsonDocument &manifest)
{
    if (!manifest.isObject())
        return QStringLiteral("the root is %1, not an object")
            .arg(manifest.isArray() ? QStringLiteral("an array") : QStringLiteral("empty"));
    if (isManifest(manifest))
        return QString();
    const QJsonValue name = manifest.object().value(QLatin1String("name"));
    if (name.isString())
        return QStringLiteral("root \"name\" is %1, not \"Versions.json\"")
            .arg(quoted(name.toString()));
    return "root " + notText(QStringLiteral("name"), name) + " (it must be \"Versions.json\")";
}

QString droppedNumber(const QString &text, const Version &version)
{
    // Only a number of ten digits or more can pass 32 bits.
    int run = 0;
    const bool long10 = std::any_of(
        text.begin(), text.end(), [&](QChar c) { return (run = c.isDigit() ? run + 1 : 0) >= 10; });
    if (!long10)
        return QString();
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
