// SPDX-License-Identifier: MIT
#ifndef MINISIGN_H
#define MINISIGN_H

#include "testdata.h"

#include <QByteArray>
#include <QtGlobal>

#include <sodium.h>

// A file of tests/data/signature.
inline QByteArray signatureFile(const QString &name)
{
    return testData(QStringLiteral("signature/") + name);
}

// The key line of a public key file there, as a host passes it to MZU::setTrustedKeys().
inline QString publicKey(const QString &name)
{
    return QString::fromLatin1(signatureFile(name).split('\n').value(1));
}

// Signs as `minisign -S` does (prehashed, algorithm "ED") with the throwaway key c.key of
// tests/data/signature, which has no password, so that a test can give a signature any
// trusted comment. The library, tested against files minisign made, must accept them.
inline QByteArray minisign(const QByteArray &body, const QByteArray &trustedComment)
{
    static const QByteArray secret = [] {
        if (sodium_init() < 0)
            qFatal("libsodium could not be initialised");
        // "Ed", the KDF (none), "B2", salt, opslimit, memlimit, then the key id, the secret
        // key (with the public key at its end) and a checksum.
        const QByteArray decoded =
            QByteArray::fromBase64(signatureFile("c.key").split('\n').value(1));
        if (decoded.size() != 158 || !decoded.startsWith(QByteArray("Ed\0\0B2", 6)))
            qFatal("c.key is not a minisign secret key without a password");
        return decoded.mid(54, 8 + crypto_sign_SECRETKEYBYTES);
    }();
    const auto sign = [](const QByteArray &message) {
        QByteArray signature(crypto_sign_BYTES, '\0');
        crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
            reinterpret_cast<const unsigned char *>(message.constData()), quint64(message.size()),
            reinterpret_cast<const unsigned char *>(secret.constData() + 8));
        return signature;
    };
    QByteArray hash(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), size_t(hash.size()),
        reinterpret_cast<const unsigned char *>(body.constData()), quint64(body.size()), nullptr,
        0);
    const QByteArray signature = sign(hash);
    return "untrusted comment: signature from minisign secret key\n"
        + ("ED" + secret.left(8) + signature).toBase64() + "\ntrusted comment: " + trustedComment
        + '\n' + sign(signature + trustedComment).toBase64() + '\n';
}

#endif // MINISIGN_H
