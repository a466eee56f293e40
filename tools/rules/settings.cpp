// SPDX-License-Identifier: MIT
#include "rules/linter.h"

using namespace MZU;
using namespace MZU::Internal;

void Linter::settings(const QString &at, const QJsonObject &system, const QString &released)
{
    const QJsonValue list = system.value(QLatin1String("settings"));
    if (!list.isUndefined() && !list.isArray())
        add(at + "/settings", Rule::UnusableMember,
            QStringLiteral("\"settings\" is %1, not an array: no setting entry is read")
                .arg(typeOf(list)));
    const QJsonArray entries = list.toArray();
    for (int k = 0; k < entries.size(); ++k) {
        const QString entryAt = at + QStringLiteral("/settings/%1").arg(k);
        if (!entries.at(k).isObject()) {
            add(entryAt, Rule::NotObject,
                QStringLiteral("setting entry is %1, not an object; it is skipped")
                    .arg(typeOf(entries.at(k))));
            continue;
        }
        const QJsonObject entry = entries.at(k).toObject();
        for (const SkipReason &reason : settingSkips(entry)) {
            const QJsonValue member = entry.value(reason.member);
            if (reason.skip == Skip::NullVersion)
                nullVersion(
                    entryAt + "/version", member, QStringLiteral("the setting entry is skipped"));
            else if (reason.skip == Skip::EmptyKey)
                add(entryAt + "/key", Rule::UnusableMember,
                    notText(reason.member, member) + "; the setting entry is skipped");
            else
                add(entryAt + '/' + reason.member, Rule::ValueNotText,
                    QStringLiteral("%1 is %2 and reads as empty text%3")
                        .arg(inQuotes(reason.member), typeOf(member),
                            member.isDouble() || member.isBool()
                                ? "; write it as the string " + inQuotes(shortJson(member))
                                : QString()));
        }
    }
    for (int k = 0; k < entries.size(); ++k) {
        const QString entryAt = at + QStringLiteral("/settings/%1").arg(k);
        const QJsonObject entry = entries.at(k).toObject();
        misread(entryAt + "/version", entry.value(QLatin1String("version")));
        misnamed(entryAt, entry, Members::Setting);
        unreleased(entryAt + "/version", entry.value(QLatin1String("version")), released);
    }
}
