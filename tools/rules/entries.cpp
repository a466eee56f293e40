// SPDX-License-Identifier: MIT
#include "rules/linter.h"

#include "environment/environment_p.h"

namespace {

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

} // namespace

void Linter::applications()
{
    // The walks take the first element of a name (any element: a release entry too).
    QHash<QString, int> firstNamed;
    QHash<QString, int> firstApplication;
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject entry = list.at(i).toObject();
        const QJsonValue nameValue = entry.value(QLatin1String("name"));
        const QString name = nameValue.toString();
        firstNamed.insert(name, firstNamed.value(name, i));
        if (!entry.value(QLatin1String("os")).isArray())
            continue;
        firstApplication.insert(name, firstApplication.value(name, i));
        if (name.isEmpty())
            add(appsPointer(i) + "/name", Rule::UnusableMember,
                notText(QStringLiteral("name"), nameValue)
                    + ": hosts do not ask for its files and settings");
        misnamed(appsPointer(i), entry, Members::Application);
        const int first = firstNamed.value(name);
        if (firstApplication.value(name) != i) {
            add(appsPointer(i), Rule::SecondEntry,
                QStringLiteral("second application entry named %1: hosts read only %2, so "
                               "its files and settings are never read")
                    .arg(inQuotes(name), appsPointer(firstApplication.value(name))));
        } else if (first != i) {
            const bool isRelease = list.at(first).toObject().value(QLatin1String("os")).isString();
            add(appsPointer(first), Rule::EntryOrder,
                QStringLiteral("this %1 of %2 stands before %3, its application entry with "
                               "the \"os\" array: hosts stop at the first entry of a name, "
                               "so the files and settings of %3 are never read; move %3 up")
                    .arg(isRelease ? QStringLiteral("release entry") : QStringLiteral("entry"),
                        inQuotes(name), appsPointer(i)));
            addAs(Severity::Warning, appsPointer(i), Rule::EntryOrder,
                QStringLiteral("its files and settings are never read: hosts looking for %1 "
                               "stop at %2")
                    .arg(inQuotes(name), appsPointer(first)));
        }
        systems(i, entry, name);
    }
}

void Linter::systems(int app, const QJsonObject &entry, const QString &name)
{
    const QJsonArray systems = entry.value(QLatin1String("os")).toArray();
    QHash<QString, int> firstNamed;
    for (int j = 0; j < systems.size(); ++j) {
        const QString at = appsPointer(app) + QStringLiteral("/os/%1").arg(j);
        if (!systems.at(j).isObject()) {
            add(at, Rule::NotObject,
                QStringLiteral("OS entry is %1, not an object; no host reads it")
                    .arg(typeOf(systems.at(j))));
            continue;
        }
        const QJsonObject system = systems.at(j).toObject();
        const QJsonValue osName = system.value(QLatin1String("name"));
        misnamed(at, system, Members::System);
        if (!osName.isString() || osName.toString().isEmpty()) {
            add(at + "/name", Rule::UnusableMember,
                notText(QStringLiteral("name"), osName) + ": no host reads it");
            continue;
        }
        const QString os = osName.toString();
        if (firstNamed.contains(os)) {
            add(at, Rule::SecondEntry,
                QStringLiteral("second OS entry named %1: hosts read only %2/os/%3, so its "
                               "files and settings are never read")
                    .arg(inQuotes(os), appsPointer(app))
                    .arg(firstNamed.value(os)));
            continue;
        }
        firstNamed.insert(os, j);
        // An unknown platform has its finding already: one is enough at one place.
        const bool known = platform(at + "/name", os);
        const QString released = name + '\n' + os;
        // Releases under a misspelling of this platform count as its own: their platform's
        // error is the cause, not this entry nor its versions.
        const bool releasedHere = releasesOf.contains(released) || misplacedOf.contains(released);
        if (known && !name.isEmpty() && !releasedHere)
            add(at + "/name", Rule::PlatformWithoutRelease,
                QStringLiteral("no release of %1 is for %2: hosts on %2 are offered no update, "
                               "so these files and settings reach none of them")
                    .arg(inQuotes(name), inQuotes(os)));
        // Every OS entry is checked, even one that hosts never reach: its defects wait for
        // the day it is moved up.
        files(at, system, releasedHere ? released : QString());
        settings(at, system, releasedHere ? released : QString());
    }
}

// A misspelling of a known platform is an error: no host reports it, so none ever reads
// what it names. A name that resembles none may be a platform lint does not know yet.
bool Linter::platform(const QString &at, const QString &os)
{
    if (os == hostOs || knownPlatform(os))
        return true;
    const QString near = misspeltPlatform(os);
    const QString known = QStringLiteral("%1 matches no known platform (mac, linux or win, \"-\" "
                                         "and an architecture such as x86_64 or arm64)")
                              .arg(inQuotes(os));
    if (near.isEmpty())
        addAs(Severity::Warning, at, Rule::UnknownPlatform, known + "; no such host reads it");
    else
        addAs(Severity::Error, at, Rule::UnknownPlatform,
            known
                + QStringLiteral("; no host reports it, so no host %1; did you mean %2?")
                      .arg(at.endsWith(QLatin1String("/os"))
                              ? QStringLiteral("is offered this release")
                              : QStringLiteral("gets these files and settings"),
                          inQuotes(near)));
    return false;
}

// The known platform that @p os, unknown, misspells; empty when it is known or resembles none.
QString Linter::misspeltPlatform(const QString &os) const
{
    if (os == hostOs || knownPlatform(os))
        return QString();
    const QString near = meantPlatform(os);
    return near == os ? QString() : near;
}
