// SPDX-License-Identifier: MIT
#include "signature_p.h"

#include "mzu.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QMutex>
#include <QReadWriteLock>
#include <QRegularExpression>
#include <QSettings>
#include <QTimeZone>
#include <QUrl>

#include <sodium.h>

#ifndef MZUPDATER_TRUSTED_KEYS
#define MZUPDATER_TRUSTED_KEYS ""
#endif

namespace MZU {
namespace Internal {
namespace {

constexpr int keyIdSize = 8;
constexpr int algorithmSize = 2;

// Lines of a signature file, without their line ends (minisign writes "\n"; an editor
// may have made it "\r\n").
QList<QByteArray> lines(const QByteArray &text)
{
    QList<QByteArray> result = text.split('\n');
    for (QByteArray &line : result) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return result;
}

bool decodeBase64(const QByteArray &text, int size, QByteArray &decoded)
{
    const QByteArray::FromBase64Result result =
        QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != size)
        return false;
    decoded = result.decoded;
    return true;
}

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool verifyDetached(const QByteArray &signature, const QByteArray &message, const QByteArray &key)
{
    return crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char *>(signature.constData()),
               reinterpret_cast<const unsigned char *>(message.constData()),
               quint64(message.size()), reinterpret_cast<const unsigned char *>(key.constData()))
        == 0;
}

struct KeyStore
{
    KeyStore()
    {
        const QStringList compiled =
            QString::fromLatin1(MZUPDATER_TRUSTED_KEYS).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString &text : compiled) {
            PublicKey key;
            QString why;
            // CMake refuses malformed keys, so this only guards against a hand-made build;
            // even there a typo must not leave the host unverified.
            if (parsePublicKey(text, key, why)) {
                keys.append(key);
            } else {
                keys.clear();
                refused = refusal(text, why);
                qCWarning(lcMzupdater).noquote()
                    << QStringLiteral("Compiled-in trusted key \"%1\" refused - %2; every "
                                      "manifest is refused until setTrustedKeys() succeeds")
                           .arg(text, why);
                break;
            }
        }
    }

    static QString refusal(const QString &text, const QString &why)
    {
        return QStringLiteral("the trusted key \"%1\" was refused (%2), so no manifest is "
                              "accepted until setTrustedKeys() succeeds")
            .arg(text, why);
    }

    QReadWriteLock lock;
    QVector<PublicKey> keys;
    QString refused; // not empty: a key list was refused, and every manifest is, with this cause
};

KeyStore &store()
{
    static KeyStore instance;
    return instance;
}

} // namespace

std::atomic<qint64> nowOverride { 0 };

qint64 secondsNow()
{
    const qint64 now = nowOverride;
    return now != 0 ? now : QDateTime::currentSecsSinceEpoch();
}

QString utcText(qint64 seconds)
{
    // Not Qt::ISODate: it writes "+00:00" for a QTimeZone's UTC.
    return QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc())
        .toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

bool parsePublicKey(const QString &text, PublicKey &key, QString &why)
{
    const QString trimmed = text.trimmed();
    QByteArray decoded;
    if (!decodeBase64(
            trimmed.toLatin1(), algorithmSize + keyIdSize + crypto_sign_PUBLICKEYBYTES, decoded)
        || !decoded.startsWith("Ed")) {
        why = QStringLiteral("not a minisign public key (the base64 line of minisign.pub)");
        return false;
    }
    key.text = trimmed;
    key.id = decoded.mid(algorithmSize, keyIdSize);
    key.key = decoded.mid(algorithmSize + keyIdSize);
    return true;
}

QString keyIdText(const QByteArray &id)
{
    QByteArray reversed(id.size(), '\0');
    std::copy(id.crbegin(), id.crend(), reversed.begin());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

Verification verifySignature(
    const QByteArray &body, const QByteArray &signature, const QVector<PublicKey> &keys)
{
    Verification verification;
    const auto malformed = [&](const QString &why) {
        verification.problem = QStringLiteral("signature malformed: %1").arg(why);
        return verification;
    };
    const QList<QByteArray> text = lines(signature);
    QByteArray signatureLine;
    QByteArray globalSignature;
    const QByteArray trustedPrefix = "trusted comment: ";
    if (text.size() < 4 || !text.at(0).startsWith("untrusted comment:"))
        return malformed(QStringLiteral("not a minisign signature file"));
    if (!decodeBase64(text.at(1), algorithmSize + keyIdSize + crypto_sign_BYTES, signatureLine))
        return malformed(QStringLiteral("the signature line is not minisign's"));
    if (!text.at(2).startsWith(trustedPrefix))
        return malformed(QStringLiteral("no trusted comment"));
    if (!decodeBase64(text.at(3), crypto_sign_BYTES, globalSignature))
        return malformed(QStringLiteral("the trusted comment's signature line is not minisign's"));
    const QByteArray algorithm = signatureLine.left(algorithmSize);
    if (algorithm != "Ed" && algorithm != "ED")
        return malformed(
            QStringLiteral("unknown algorithm \"%1\"").arg(QString::fromLatin1(algorithm.toHex())));
    if (!sodiumReady()) {
        verification.problem = QStringLiteral("libsodium could not be initialised");
        return verification;
    }

    const QByteArray id = signatureLine.mid(algorithmSize, keyIdSize);
    const QByteArray bytes = signatureLine.mid(algorithmSize + keyIdSize);
    const QByteArray comment = text.at(2).mid(trustedPrefix.size());
    QByteArray message = body;
    if (algorithm == "ED") {
        message = QByteArray(crypto_generichash_BYTES_MAX, '\0');
        crypto_generichash(reinterpret_cast<unsigned char *>(message.data()),
            size_t(message.size()), reinterpret_cast<const unsigned char *>(body.constData()),
            quint64(body.size()), nullptr, 0);
    }
    bool known = false;
    bool commentAltered = false;
    for (int i = 0; i < keys.size(); ++i) {
        // Two trusted keys may share an id; only the key itself decides.
        if (keys.at(i).id != id)
            continue;
        known = true;
        if (!verifyDetached(bytes, message, keys.at(i).key))
            continue;
        if (!verifyDetached(globalSignature, bytes + comment, keys.at(i).key)) {
            commentAltered = true;
            continue;
        }
        verification.result = Verification::Verified;
        verification.trustedComment = QString::fromUtf8(comment);
        readTrustedComment(verification);
        if (verification.result == Verification::Verified) {
            verification.keyIndex = i;
            qCDebug(lcMzupdater).noquote() << "Verified with key" << keyIdText(keys.at(i).id);
        }
        return verification;
    }
    if (!known) {
        verification.result = Verification::KeyNotTrusted;
        verification.problem = QStringLiteral("key not trusted: signed with key %1, which is not "
                                              "trusted")
                                   .arg(keyIdText(id));
    } else {
        verification.result = Verification::Mismatch;
        verification.problem = commentAltered
            ? QStringLiteral("signature does not match: the trusted comment was altered")
            : QStringLiteral("signature does not match (key %1)").arg(keyIdText(id));
    }
    return verification;
}

QVector<PublicKey> trustedPublicKeys()
{
    KeyStore &keys = store();
    QReadLocker locker(&keys.lock);
    return keys.keys;
}

QString signatureAddress(const QString &address)
{
    QUrl url(address, QUrl::TolerantMode);
    url.setFragment(QString());
    const QString path = url.path(QUrl::FullyEncoded);
    url.setPath((path.isEmpty() ? QStringLiteral("/") : path) + QLatin1String(".minisig"),
        QUrl::TolerantMode);
    return url.toString(QUrl::FullyEncoded);
}

QString signatureFailure(const QString &where, const Fetched &fetched)
{
    if (fetched.outcome == Fetched::Received)
        return QString();
    return (fetched.status == 404 || fetched.status == 410
                   ? QStringLiteral("signature missing: ")
                   : QStringLiteral("signature unreadable: "))
        + shownAddress(where) + QStringLiteral(" - ") + fetched.problem;
}

QString fetchSignature(
    Session &session, const QString &address, int transferTimeoutMs, QByteArray &signature)
{
    const QString where = signatureAddress(address);
    const Fetched fetched = fetch(session, where, transferTimeoutMs, maximumSignatureSize);
    signature = fetched.body;
    return signatureFailure(where, fetched);
}

Signing signing()
{
    KeyStore &store = Internal::store();
    QReadLocker locker(&store.lock);
    return !store.refused.isEmpty() ? Signing::RefuseAll
        : store.keys.isEmpty()      ? Signing::None
                                    : Signing::Verify;
}

QString signatureProblem(
    const QString &address, const QByteArray &body, const Fetched &signature, qint64 *sequence)
{
    if (sequence)
        *sequence = -1;
    QVector<PublicKey> keys;
    QString cause;
    {
        KeyStore &store = Internal::store();
        QReadLocker locker(&store.lock);
        keys = store.keys;
        cause = store.refused;
    }
    if (keys.isEmpty() && cause.isEmpty())
        return QString();
    if (cause.isEmpty())
        cause = signatureFailure(signatureAddress(address), signature);
    Verification verification;
    if (cause.isEmpty()) {
        verification = verifySignature(body, signature.body, keys);
        cause = verification.problem;
    }
    if (cause.isEmpty()) {
        // Read only now, as the expiry: the number is the signer's word.
        const qint64 accepted = acceptedSequence(address);
        if (accepted >= 0 && verification.sequence < 0)
            cause = QStringLiteral("its signature has no sequence (seq=), but sequence %1 was "
                                   "accepted before; the server may be replaying an old manifest")
                        .arg(accepted);
        else if (verification.sequence < accepted)
            cause = QStringLiteral("sequence %1 is older than sequence %2, accepted before; the "
                                   "server may be replaying an old manifest")
                        .arg(verification.sequence)
                        .arg(accepted);
    }
    if (cause.isEmpty()) {
        if (sequence)
            *sequence = verification.sequence;
        return QString();
    }
    return QStringLiteral("Refusing the manifest from %1 - %2").arg(shownAddress(address), cause);
}

} // namespace Internal

bool setTrustedKeys(const QStringList &keys)
{
    QVector<Internal::PublicKey> parsed;
    Internal::KeyStore &store = Internal::store();
    for (const QString &text : keys) {
        Internal::PublicKey key;
        QString why;
        if (!Internal::parsePublicKey(text, key, why)) {
            qCWarning(Internal::lcMzupdater).noquote()
                << QStringLiteral("Trusted key \"%1\" refused - %2; every manifest is refused "
                                  "until setTrustedKeys() succeeds")
                       .arg(text, why);
            // Fail-closed: keeping the old list would leave a host that trusted none unverified.
            QWriteLocker locker(&store.lock);
            store.keys.clear();
            store.refused = Internal::KeyStore::refusal(text, why);
            return false;
        }
        parsed.append(key);
    }
    QWriteLocker locker(&store.lock);
    store.keys = parsed;
    store.refused.clear();
    return true;
}

QStringList trustedKeys()
{
    QStringList texts;
    for (const Internal::PublicKey &key : Internal::trustedPublicKeys())
        texts.append(key.text);
    return texts;
}

} // namespace MZU
