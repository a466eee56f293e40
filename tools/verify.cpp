#include "verify.h"

#include "source.h"

#include <QCommandLineParser>
#include <QFile>

using namespace MZU::Internal;

void addKeyOptions(QCommandLineParser &parser)
{
    parser.addOption({ "key",
        "A trusted minisign public key (the base64 line of minisign.pub); the manifest must "
        "carry a signature by one of them, as hosts trusting these keys require. Repeatable.",
        "KEY" });
    parser.addOption(
        { "key-file", "As --key, read from a minisign.pub file. Repeatable.", "FILE" });
}

bool readKeys(const QCommandLineParser &parser, QVector<PublicKey> &keys, QString &error)
{
    QStringList texts = parser.values(QStringLiteral("key"));
    for (const QString &path : parser.values(QStringLiteral("key-file"))) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("--key-file: cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        // minisign.pub: an untrusted comment, then the key.
        const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
        texts.append(QString::fromLatin1(lines.size() == 2 ? lines.at(1) : QByteArray()));
        if (texts.last().isEmpty()) {
            error = QStringLiteral("--key-file: %1 is not a minisign public key file").arg(path);
            return false;
        }
    }
    for (const QString &text : qAsConst(texts)) {
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

int verifySource(
    const QString &source, const QVector<PublicKey> &keys, Verified &verified, QString &error)
{
    if (!readSource(source, verified.text, error))
        return 3;
    QByteArray signature;
    QString cause;
    if (source.contains(QLatin1String("://"))) {
        cause = fetchSignature(source, defaultTransferTimeoutMs, signature);
    } else {
        QFile file(source + QLatin1String(".minisig"));
        if (!file.open(QIODevice::ReadOnly))
            cause = QStringLiteral("signature missing: cannot read %1: %2")
                        .arg(file.fileName(), file.errorString());
        else if (file.size() > maximumSignatureSize)
            cause =
                QStringLiteral("signature unreadable: %1 is larger than 64 KiB; hosts refuse it")
                    .arg(file.fileName());
        else
            signature = file.readAll();
    }
    if (cause.isEmpty()) {
        const Verification verification = verifySignature(verified.text, signature, keys);
        cause = verification.problem;
        if (verification.result == Verification::Verified) {
            verified.key = keys.at(verification.keyIndex);
            verified.trustedComment = verification.trustedComment;
            return 0;
        }
    }
    error = QStringLiteral("hosts refuse %1 - %2").arg(source, cause);
    return signatureRefused;
}
