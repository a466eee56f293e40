// SPDX-License-Identifier: MIT
#include "source/signature.h"

#include "source/manifest.h"

#include <QFile>

using namespace MZU::Internal;

bool readKeys(
    const QStringList &texts, const QStringList &files, QVector<PublicKey> &keys, QString &error)
{
    QStringList all = texts;
    for (const QString &path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("--key-file: cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        // minisign.pub: an untrusted comment, then the key.
        const QList<QByteArray> lines = file.read(maximumSignatureSize).trimmed().split('\n');
        all.append(QString::fromLatin1(lines.size() == 2 ? lines.at(1) : QByteArray()));
        if (all.last().isEmpty()) {
            error = QStringLiteral("--key-file: %1 is not a minisign public key file").arg(path);
            return false;
        }
    }
    for (const QString &text : qAsConst(all)) {
        PublicKey key;
        QString why;
        if (!parsePublicKey(text, key, why)) {
            error = QStringLiteral("\"%1\" is %2").arg(text, why);
            return false;
        }
        keys.append(key);
    }
    return true;
}

bool verifyText(const QString &source, const QByteArray &text, const QVector<PublicKey> &keys,
    Verified &verified, QString &error)
{
    QByteArray signature;
    QString cause;
    if (source.contains(QLatin1String("://"))) {
        // At the address asked for, wherever the manifest was redirected to, as hosts do.
        Session session;
        const QString where = signatureAddress(source);
        const Fetched fetched =
            fetch(session, where, defaultTransferTimeoutMs, maximumSignatureSize);
        signature = fetched.body;
        cause = signatureFailure(where, fetched);
        if (!cause.isEmpty())
            cause += redirectAdvice(fetched.notFollowed);
    } else {
        QFile file(source + QLatin1String(".minisig"));
        if (!file.open(QIODevice::ReadOnly))
            cause = QStringLiteral("signature missing: cannot read %1: %2")
                        .arg(file.fileName(), file.errorString());
        else if (file.size() > maximumSignatureSize)
            cause = QStringLiteral("signature unreadable: %1 is larger than %2; hosts refuse it")
                        .arg(file.fileName(), sizeText(maximumSignatureSize));
        else
            signature = file.readAll();
    }
    if (cause.isEmpty()) {
        const Verification verification = verifySignature(text, signature, keys);
        if (verification.result == Verification::Verified) {
            verified = { keys.at(verification.keyIndex), verification.trustedComment,
                verification.expires, verification.expiresAt, verification.sequence };
            return true;
        }
        cause = verification.problem;
    }
    error = QStringLiteral("hosts refuse %1 - %2").arg(source, cause);
    return false;
}

QString expiresSoon(const Verified &verified, qint64 now)
{
    if (verified.expires.isEmpty() || verified.expiresAt - now >= 7 * 24 * 60 * 60)
        return QString();
    return QStringLiteral("the signature expires on %1, in less than 7 days (this machine's "
                          "clock says %2); hosts refuse the manifest a day after that: sign it "
                          "again")
        .arg(verified.expires, utcText(now));
}
