// SPDX-License-Identifier: MIT
// Text that Qt reads otherwise than JSON says: repeated members, unknown escapes and raw
// control characters in strings.
#include "rules/linter.h"

namespace {

QString rawCharacter(ushort control)
{
    if (control == '\n' || control == '\r')
        return QStringLiteral("line break");
    if (control == '\t')
        return QStringLiteral("tab");
    return QStringLiteral("control character U+%1").arg(control, 4, 16, QLatin1Char('0'));
}

} // namespace

QVector<Finding> textFindings(const Manifest &manifest)
{
    QVector<Finding> findings;
    // A repeated member is placed at its name, and so is the one it hides.
    QVector<int> hidden;
    for (const RepeatedKey &repeated : manifest.repeatedKeys)
        hidden.append(repeated.firstName);
    const QVector<TextPosition> firsts = positions(manifest.text, hidden);
    for (int i = 0; i < manifest.repeatedKeys.size(); ++i) {
        const RepeatedKey &repeated = manifest.repeatedKeys.at(i);
        // Qt 6 keeps the last; Qt 5 sorts the members of a large object without keeping
        // their order, and then keeps either: ask the document this Qt read.
        const QJsonValue kept = valueAt(manifest.document, repeated.pointer);
        const bool firstKept = kept != valueIn(manifest.text, repeated.offset, repeated.end)
            && kept == valueIn(manifest.text, repeated.firstOffset, repeated.firstEnd);
        findings.append(makeFinding(Rule::RepeatedKey, repeated.pointer,
            QString(firstKept ? "%1 appears twice in this object: hosts see only the one at line "
                                "%2, column %3, not this one"
                              : "%1 appears twice in this object: hosts see only this one, not "
                                "the one at line %2, column %3")
                .arg(inQuotes(repeated.key))
                .arg(firsts.at(i).line)
                .arg(firsts.at(i).column),
            repeated.name));
    }
    // One finding of each kind per string.
    const StringFault *last = nullptr;
    for (const StringFault &fault : manifest.stringFaults) {
        if (last && last->pointer == fault.pointer && !last->escape == !fault.escape)
            continue;
        last = &fault;
        const QString message = fault.escape
            ? QStringLiteral("\"\\%1\" is not a JSON escape: hosts drop the backslash and read "
                             "%2; write \"\\\\\" for a backslash")
                  .arg(QString(QLatin1Char(fault.escape)), inQuotes(fault.read))
            : QStringLiteral("a raw %1 inside a string, which JSON forbids: hosts read it as "
                             "part of %2, other JSON readers refuse the manifest; write it "
                             "escaped")
                  .arg(rawCharacter(fault.control), inQuotes(fault.read));
        findings.append(makeFinding(fault.escape ? Rule::UnknownEscape : Rule::RawControl,
            fault.pointer, message, fault.offset));
    }
    return findings;
}
