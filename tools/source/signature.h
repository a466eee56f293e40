// SPDX-License-Identifier: MIT
#ifndef SOURCE_SIGNATURE_H
#define SOURCE_SIGNATURE_H

#include "download/signature_p.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

/// What a signature that verified says.
struct Verified
{
    MZU::Internal::PublicKey key;
    QString trustedComment;
    QString expires; // the trusted comment's expires=, empty when none
    qint64 expiresAt = 0; // seconds since 1970 (UTC)
    qint64 sequence = -1; // the trusted comment's seq=, -1 when none
};

/// The keys of --key (@p texts) and --key-file (@p files), in that order. On a malformed
/// key or an unreadable file returns false and sets @p error.
bool readKeys(const QStringList &texts, const QStringList &files,
    QVector<MZU::Internal::PublicKey> &keys, QString &error);

/// Checks @p text, the exact bytes read from @p source, against the signature published
/// beside it (".minisig" appended to the path), as a host trusting @p keys does. On failure
/// returns false and sets @p error to one line naming the source and the cause.
bool verifyText(const QString &source, const QByteArray &text,
    const QVector<MZU::Internal::PublicKey> &keys, Verified &verified, QString &error);

/// Empty, or why @p verified should be signed again: it expires less than 7 days after @p now.
QString expiresSoon(const Verified &verified, qint64 now);

#endif // SOURCE_SIGNATURE_H
