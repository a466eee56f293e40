// SPDX-License-Identifier: MIT
#include "rules/linter.h"

void Linter::settings(const QString &at, const QJsonObject &system, const QString &released)
{
    const QJsonArray entries = entryList(at, system, QStringLiteral("settings"));
    for (int k = 0; k < entries.size(); ++k) {
        const QString entryAt = at + QStringLiteral("/settings/%1").arg(k);
        const QJsonObject entry = entries.at(k).toObject();
        // A setting that is not an object has its finding already.
        const QVector<SkipReason> skips =
            entries.at(k).isObject() ? settingSkips(entry) : QVector<SkipReason>();
        for (const SkipReason &reason : skips) {
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
        entryRules(entryAt, entry, Members::Setting, released);
    }
}
