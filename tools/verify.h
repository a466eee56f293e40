#ifndef VERIFY_H
#define VERIFY_H

#include "download/signature_p.h"

#include <QByteArray>
#include <QString>
#include <QVector>

QT_BEGIN_NAMESPACE
class QCommandLineParser;
QT_END_NAMESPACE

/// The exit code of a manifest whose signature does not verify.
constexpr int signatureRefused = 4;

/// A manifest whose signature verified, with what the signature says.
struct Verified
{
    QByteArray text; // the exact bytes that verified
    MZU::Internal::PublicKey key;
    QString trustedComment;
};

/// Adds --key and --key-file (both repeatable) to @p parser.
void addKeyOptions(QCommandLineParser &parser);

/// The keys of --key and --key-file, in the order given. On a malformed key or an
/// unreadable file returns false and sets @p error.
bool readKeys(
    const QCommandLineParser &parser, QVector<MZU::Internal::PublicKey> &keys, QString &error);

/// Reads or fetches @p source and the signature beside it (".minisig" appended to the path),
/// as a host trusting @p keys does, and verifies it. Returns 0, or the exit code (3: the
/// manifest could not be read; signatureRefused) with @p error set.
int verifySource(const QString &source, const QVector<MZU::Internal::PublicKey> &keys,
    Verified &verified, QString &error);

#endif // VERIFY_H
