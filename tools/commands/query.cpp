// SPDX-License-Identifier: MIT
// The commands that show what hosts get: check, files and settings.
#include "commands/tool.h"

#include "download/signature_p.h"
#include "manifest/offer_p.h"

#include <QJsonArray>

#include <algorithm>

using namespace MZU;

namespace {

// Prints rows with every column but the last padded to its widest cell.
QString table(const QVector<QStringList> &rows)
{
    QVector<int> widths;
    for (const QStringList &row : rows) {
        widths.resize(qMax(int(widths.size()), int(row.size())));
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], int(row.at(i).size()));
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths[i] + 2) : row.at(i);
        text += line.trimmed() + '\n';
    }
    return text;
}

QString cell(const QVariant &value)
{
    if (value.canConvert<QVariantList>() && !value.canConvert<QString>())
        return QString::fromUtf8(QJsonDocument(QJsonArray::fromVariantList(value.toList()))
                                     .toJson(QJsonDocument::Compact));
    if (value.canConvert<QVariantHash>() && !value.canConvert<QString>())
        return QString::fromUtf8(QJsonDocument(QJsonObject::fromVariantHash(value.toHash()))
                                     .toJson(QJsonDocument::Compact));
    return escaped(value.toString());
}

} // namespace

int Tool::check()
{
    if (const int code = load())
        return code;
    QMultiHash<QString, ApplicationInfo> catalogue =
        Internal::getApplications(manifest.document, os);
    // As that install sees it now: what has not reached it yet is left out, and said.
    QStringList heldBack;
    if (isSet("install-id")) {
        const QString id = value("install-id");
        const QList<ApplicationInfo> releases = catalogue.values(app);
        catalogue.remove(app);
        for (const ApplicationInfo &release : releases) {
            if (!Internal::heldBack(release, id, Internal::secondsNow())) {
                catalogue.insert(app, release);
                continue;
            }
            const Internal::Rollout rollout =
                Internal::rolloutOf(release.values, release.version, id);
            const auto day = [](qint64 at) { return Internal::utcText(at).left(10); };
            heldBack << (rollout.malformed
                    ? QStringLiteral(
                        "held back: %1 has a malformed \"rollout\"; no install gets it")
                          .arg(release.version.toString())
                    : QStringLiteral(
                        "held back: %1 reaches this install on %2, every install by %3")
                          .arg(release.version.toString(), day(rollout.installAt),
                              day(rollout.everyoneAt)));
        }
        std::sort(heldBack.begin(), heldBack.end());
    }
    Version offered;
    QString changelog;
    const bool found = updateVersion(catalogue, app, hostVersion, offered, changelog);
    QString reason;
    if (!found && catalogue.contains(app)) {
        reason = QStringLiteral("no release of %1 for %2 is newer than %3")
                     .arg(quotedEscaped(app), escaped(os), hostVersion.toString());
    } else if (!found) {
        QStringList names = catalogue.uniqueKeys();
        std::sort(names.begin(), names.end());
        std::transform(names.begin(), names.end(), names.begin(), quotedEscaped);
        reason = QStringLiteral("the manifest has no release of %1 for %2%3")
                     .arg(quotedEscaped(app), escaped(os),
                         names.isEmpty()
                             ? QString()
                             : QStringLiteral(" (it has releases of %1)").arg(names.join(", ")));
    }
    if (format == Format::Json) {
        QJsonObject result { { "app", app }, { "current", hostVersion.toString() }, { "os", os },
            { "offered", found } };
        if (found) {
            result.insert("version", offered.toString());
            result.insert("changelog", changelog);
        } else {
            result.insert("reason", reason);
        }
        if (isSet("install-id"))
            result.insert("heldBack", QJsonArray::fromStringList(heldBack));
        print(result);
    } else if (found) {
        print("offered: " + escaped(offered.toString()) + '\n'
            + (changelog.isEmpty() ? QStringLiteral("changelog: none")
                                   : "changelog:\n" + escaped(changelog, true))
            + '\n');
    } else {
        print("nothing offered: " + reason + '\n');
    }
    if (format != Format::Json)
        for (const QString &line : qAsConst(heldBack))
            print(line + '\n');
    return found ? Clean : Errors;
}

QString Tool::emptyBecause(const EntryObserver &observer, const QString &what) const
{
    const QJsonArray apps = manifest.document.object().value("apps").toArray();
    const QString at = QStringLiteral("/apps/%1").arg(observer.app);
    if (observer.app < 0)
        return QStringLiteral("no entry of \"apps\" is named %1").arg(quotedEscaped(app));
    if (observer.os < 0 && !apps.at(observer.app).toObject().value("os").isArray()) {
        const bool later =
            std::any_of(apps.begin() + observer.app + 1, apps.end(), [&](const QJsonValue &entry) {
                return entry.toObject().value("name").toString() == app
                    && entry.toObject().value("os").isArray();
            });
        if (!later)
            return QStringLiteral("no application entry of %1 (one with an \"os\" array) is in "
                                  "\"apps\": it has releases only")
                .arg(quotedEscaped(app));
        return QStringLiteral("%1, the first entry named %2, has no \"os\" array; the entry "
                              "with the array must come first")
            .arg(at, quotedEscaped(app));
    }
    if (observer.os < 0)
        return QStringLiteral("%1 has no OS entry named %2").arg(at, quotedEscaped(os));
    if (!(hostVersion < targetVersion))
        return QStringLiteral("the window is empty: --from %1 is not below --to %2")
            .arg(hostVersion.toString(), targetVersion.toString());
    const QString none = observer.dropped == 0
        ? QStringLiteral("no %1 entry of %2/os/%3 falls in (%4, %5]")
        : QStringLiteral("no %1 entry of %2/os/%3 in (%4, %5] is complete; see mzupdater lint");
    return none.arg(what, at)
        .arg(observer.os)
        .arg(hostVersion.toString(), targetVersion.toString());
}

int Tool::list(bool files)
{
    if (const int code = load())
        return code;
    EntryObserver observer;
    QVector<QStringList> rows;
    QJsonArray records;
    if (files) {
        const QList<UpdateFile> found = Internal::getFileUpdates(
            manifest.document, app, hostVersion, targetVersion, os, &observer);
        QStringList columns { "filename", "location", "url" };
        QStringList others;
        for (const UpdateFile &file : found) {
            for (const QString &key : file.values.keys()) {
                if (!columns.contains(key) && !others.contains(key) && key != "version")
                    others.append(key);
            }
        }
        std::sort(others.begin(), others.end());
        columns += others;
        QStringList header { "VERSION" };
        for (const QString &column : qAsConst(columns))
            header.append(escaped(column).toUpper());
        rows.append(header);
        for (const UpdateFile &file : found) {
            QStringList row { escaped(file.version.toString()) };
            for (const QString &column : qAsConst(columns))
                row.append(cell(file.values.value(column)));
            rows.append(row);
            records.append(QJsonObject { { "version", file.version.toString() },
                { "values", QJsonObject::fromVariantHash(file.values) } });
        }
    } else {
        rows.append({ "VERSION", "KEY", "TYPE", "VALUE" });
        for (const SettingValue &setting : Internal::getSettingUpdates(
                 manifest.document, app, hostVersion, targetVersion, os, &observer)) {
            rows.append({ escaped(setting.version.toString()), cell(setting.key),
                cell(setting.type), cell(setting.value) });
            records.append(QJsonObject { { "version", setting.version.toString() },
                { "key", setting.key }, { "type", setting.type }, { "value", setting.value } });
        }
    }
    const QString what = files ? QStringLiteral("file") : QStringLiteral("setting");
    const QString reason = records.isEmpty() ? emptyBecause(observer, what) : QString();
    if (format == Format::Json) {
        QJsonObject result { { "app", app }, { "os", os }, { "from", hostVersion.toString() },
            { "to", targetVersion.toString() }, { files ? "files" : "settings", records } };
        if (!reason.isEmpty())
            result.insert("reason", reason);
        print(result);
    } else if (records.isEmpty()) {
        print("no " + what + "s: " + reason + '\n');
    } else {
        print(table(rows));
    }
    return Clean;
}
