// SPDX-License-Identifier: MIT
// What a verified trusted comment says: when the signature expires, and its sequence.
#include "signature_p.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QMutex>
#include <QRegularExpression>
#include <QSettings>
#include <QTimeZone>

namespace MZU {
namespace Internal {
namespace {

bool isSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\v')
        || c == QLatin1Char('\f') || c == QLatin1Char('\r') || c == QLatin1Char('\n');
}

// The white-space-delimited word of @p text around @p at.
QString wordAt(const QString &text, int at)
{
    int start = at;
    while (start > 0 && !isSpace(text.at(start - 1)))
        --start;
    int end = at;
    while (end < text.size() && !isSpace(text.at(end)))
        ++end;
    return text.mid(start, end - start);
}

// Where @p name= stands as a token of @p text at @p at: at the start or after white space,
// in lower case. Returns the length of its value (up to white space or the end), or -1.
int tokenValueLength(const QString &text, int at, const QString &name)
{
    const QString prefix = name + QLatin1Char('=');
    const int start = at + int(prefix.size());
    if ((at > 0 && !isSpace(text.at(at - 1))) || text.mid(at, prefix.size()) != prefix)
        return -1;
    int end = start;
    while (end < text.size() && !isSpace(text.at(end)))
        ++end;
    return end - start;
}

// Read only once the trusted comment verified: before that anyone could have written it.
// Fail-closed: every "expires" of the comment, in any case and whatever stands around it,
// must be one token "expires=YYYY-MM-DDTHH:MM:SSZ" between white space (or the ends), so
// that a mistake is refused rather than read as "never expires".
void checkExpiry(Verification &verification)
{
    static const QRegularExpression form(
        QStringLiteral("\\A([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})Z\\z"));
    const QString &comment = verification.trustedComment;
    const QString name = QStringLiteral("expires");
    for (int at = int(comment.indexOf(name, 0, Qt::CaseInsensitive)); at >= 0;
         at = int(comment.indexOf(name, at + 1, Qt::CaseInsensitive))) {
        const int length = tokenValueLength(comment, at, name);
        const QString value = comment.mid(at + int(name.size()) + 1, length);
        const QRegularExpressionMatch match =
            length < 0 ? QRegularExpressionMatch() : form.match(value);
        const auto number = [&](int i) { return match.captured(i).toInt(); };
        const QDate date(number(1), number(2), number(3));
        const QTime time(number(4), number(5), number(6));
        if (!match.hasMatch() || !date.isValid() || !time.isValid()) {
            verification.result = Verification::Malformed;
            verification.problem = length < 0
                ? QStringLiteral("signature's expiry \"%1\" is not a token of the form "
                                 "expires=YYYY-MM-DDTHH:MM:SSZ")
                      .arg(wordAt(comment, at))
                : QStringLiteral("signature's expiry \"%1\" is not a date of the form "
                                 "YYYY-MM-DDTHH:MM:SSZ")
                      .arg(value);
            return;
        }
        const qint64 seconds = QDateTime(date, time, QTimeZone::utc()).toSecsSinceEpoch();
        if (verification.expires.isEmpty() || seconds < verification.expiresAt) {
            verification.expires = value;
            verification.expiresAt = seconds;
        }
    }
    const qint64 now = secondsNow();
    if (!verification.expires.isEmpty() && now > verification.expiresAt + expirySkewSeconds) {
        verification.result = Verification::Expired;
        verification.problem =
            QStringLiteral("signature expired on %1 (this machine's clock says %2)")
                .arg(verification.expires, utcText(now));
    }
}

// As the expiry, read only once the trusted comment verified, and fail-closed: every "seq"
// followed by "=" or ":" (any case, spaces or not, whatever stands before it) must be the
// one token "seq=N" between white space, N decimal from 0 to 2^63-1.
void checkSequence(Verification &verification)
{
    static const QRegularExpression tokenLike(QStringLiteral("seq\\s*[=:]"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    static const QRegularExpression digits(QStringLiteral("\\A[0-9]+\\z"));
    const QString &comment = verification.trustedComment;
    const QString name = QStringLiteral("seq");
    for (auto it = tokenLike.globalMatch(comment); it.hasNext();) {
        const int at = int(it.next().capturedStart());
        const int length = tokenValueLength(comment, at, name);
        const QString value = comment.mid(at + int(name.size()) + 1, length);
        bool ok = length > 0 && digits.match(value).hasMatch();
        const qint64 number = ok ? value.toLongLong(&ok) : -1;
        if (!ok || number < 0) {
            verification.result = Verification::Malformed;
            verification.problem = QStringLiteral("signature's sequence \"%1\" is not a token of "
                                                  "the form seq=N, N a whole number from 0 to "
                                                  "9223372036854775807")
                                       .arg(wordAt(comment, at));
            return;
        }
        if (verification.sequence >= 0) {
            verification.result = Verification::Malformed;
            verification.problem =
                QStringLiteral("signature's trusted comment holds more than one seq=");
            return;
        }
        verification.sequence = number;
    }
}

// The settings key under which the highest sequence accepted from @p address is kept.
QString sequenceKey(const QString &address)
{
    const QByteArray digest =
        QCryptographicHash::hash(address.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("mzupdater/seq/") + QString::fromLatin1(digest);
}

// Several checks may accept a manifest at once: each raises the number kept, none lowers it.
QMutex sequenceMutex;

} // namespace

void readTrustedComment(Verification &verification)
{
    checkExpiry(verification);
    if (verification.result == Verification::Verified)
        checkSequence(verification);
}

qint64 acceptedSequence(const QString &address)
{
    QMutexLocker locker(&sequenceMutex);
    bool ok = false;
    const qint64 sequence = QSettings().value(sequenceKey(address)).toLongLong(&ok);
    return ok && sequence >= 0 ? sequence : -1;
}

void rememberSequence(const QString &address, qint64 sequence)
{
    if (sequence < 0)
        return;
    QMutexLocker locker(&sequenceMutex);
    QSettings settings;
    const QString key = sequenceKey(address);
    bool ok = false;
    const qint64 kept = settings.value(key).toLongLong(&ok);
    if (ok && kept >= sequence)
        return;
    settings.setValue(key, QString::number(sequence));
    settings.sync();
}

} // namespace Internal
} // namespace MZU
