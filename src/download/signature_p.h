// SPDX-License-Identifier: MIT
#ifndef SIGNATURE_P_H
#define SIGNATURE_P_H

#include "download_p.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <atomic>

namespace MZU {
namespace Internal {

constexpr qint64 maximumSignatureSize = 64 * 1024;

/// How long after a signature's expiry hosts still accept it, for clocks that are off.
constexpr qint64 expirySkewSeconds = 24 * 60 * 60;

/// Seconds since 1970 (UTC) that expiry checks take for now; 0: the real clock. For tests.
extern std::atomic<qint64> nowOverride;

/// Now, in seconds since 1970 (UTC).
qint64 secondsNow();

/// @p seconds since 1970 as YYYY-MM-DDTHH:MM:SSZ.
QString utcText(qint64 seconds);

/// A minisign public key: the key id as stored (8 bytes, little-endian) and the Ed25519 key.
struct PublicKey
{
    QString text; // the base64 line it was read from
    QByteArray id;
    QByteArray key;
};

/// Reads one of minisign's base64 public key lines. On failure returns false and says why.
bool parsePublicKey(const QString &text, PublicKey &key, QString &why);

/// The key id as minisign prints it (16 upper-case hex digits).
QString keyIdText(const QByteArray &id);

/// What checking a signature file against a body found.
struct Verification
{
    enum Result { Verified, Malformed, KeyNotTrusted, Mismatch, Expired };
    Result result = Malformed;
    QString problem; // the cause, empty when Verified
    int keyIndex = -1; // the key that verified, an index into the keys given
    QString trustedComment;
    QString expires; // the earliest expires= of the trusted comment, empty when none
    qint64 expiresAt = 0; // that moment in seconds since 1970 (UTC)
    qint64 sequence = -1; // the trusted comment's seq=, -1 when none
};

/// Checks minisign's signature file @p signature ("Ed" or "ED") over the exact bytes of
/// @p body against @p keys: the key id, the signature, the trusted comment's, then each
/// "expires=YYYY-MM-DDTHH:MM:SSZ" of the trusted comment, which must be readable and not
/// more than expirySkewSeconds past, and its "seq=N". Any other spelling of either (an
/// "expires" in any case or glued to other text, a "seq" followed by "=" or ":" that is not
/// exactly "seq=N") is Malformed, never ignored.
Verification verifySignature(
    const QByteArray &body, const QByteArray &signature, const QVector<PublicKey> &keys);

/// Reads the tokens of a verified trusted comment: each "expires=", which must be readable
/// and not more than expirySkewSeconds past, and "seq="; a malformed one refuses.
void readTrustedComment(Verification &verification);

/// The keys setTrustedKeys() holds now; none while a refused list has every manifest refused.
QVector<PublicKey> trustedPublicKeys();

/// @p address with ".minisig" appended to its path, the query kept.
QString signatureAddress(const QString &address);

/// Why @p fetched, the signature fetched from @p where, cannot be checked ("signature
/// missing: ...", "signature unreadable: ..."); empty when it arrived.
QString signatureFailure(const QString &where, const Fetched &fetched);

/// Fetches the signature published beside @p address into @p signature on @p session, as
/// manifests are fetched but capped at maximumSignatureSize. Returns signatureFailure().
QString fetchSignature(
    Session &session, const QString &address, int transferTimeoutMs, QByteArray &signature);

/// Checks @p signature, fetched from beside @p address, against @p body and the trusted
/// keys, and its sequence against the one accepted from @p address before. While a key list
/// given to setTrustedKeys() stands refused, every manifest is refused. Returns the one line
/// naming the address and the cause, empty when verified; @p sequence (when given) gets the
/// verified seq=, -1 when none: the caller remembers it with rememberSequence() once it has
/// accepted the whole manifest.
QString signatureProblem(const QString &address, const QByteArray &body, const Fetched &signature,
    qint64 *sequence = nullptr);

/// The highest sequence accepted from @p address, -1 when none. Kept with QSettings (the
/// application's organisation and name) under "mzupdater/seq/" and the first 16 hexadecimal
/// digits of the SHA-256 of the address's UTF-8. Thread-safe.
qint64 acceptedSequence(const QString &address);

/// Keeps @p sequence as the one accepted from @p address, unless a higher one is kept or
/// @p sequence is -1. Call it only once the whole manifest was accepted. Thread-safe.
void rememberSequence(const QString &address, qint64 sequence);

} // namespace Internal
} // namespace MZU

#endif // SIGNATURE_P_H
