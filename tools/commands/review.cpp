// SPDX-License-Identifier: MIT
// The commands that judge a manifest: lint and verify.
#include "commands/tool.h"

using namespace MZU;

int Tool::lint()
{
    QVector<Linted> linted;
    int code = Clean;
    for (const QString &source : qAsConst(sources)) {
        Manifest loaded;
        LoadError error;
        Verified verified;
        QVector<Finding> findings;
        if (const int stopped = read(source, loaded, error, &verified)) {
            findings.append(unreadable(error));
            if (stopped == Refused)
                findings.first() = makeFinding(Rule::BadSignature, QString(), error.message);
        } else {
            findings = lintManifest(loaded, os, !keys.isEmpty());
            const QString soon = expiresSoon(verified, Internal::secondsNow());
            if (!soon.isEmpty())
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
    if (format == Format::Json)
        print(QJsonObject { { "manifest", source }, { "verified", true }, { "keyId", id },
            { "key", verified.key.text }, { "trustedComment", verified.trustedComment },
            { "expires",
                verified.expires.isEmpty() ? QJsonValue() : QJsonValue(verified.expires) } });
    else
        print("verified: signed with key " + id + " (" + verified.key.text + ")\n"
            + "trusted comment: " + escaped(verified.trustedComment) + '\n' + "expires: "
            + (verified.expires.isEmpty() ? QStringLiteral("never (no expires= in the trusted "
                                                           "comment)")
                                          : verified.expires)
            + '\n');
    return Clean;
}
