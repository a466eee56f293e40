// SPDX-License-Identifier: MIT
#include "manifest_p.h"

#include <QCryptographicHash>
#include <QIODevice>
#include <QNetworkReply>

#include <algorithm>
#include <cmath>
#include <limits>

namespace MZU {
namespace Internal {
namespace {

// A whole, non-negative number of bytes from any numeric QVariant: JSON numbers arrive as
// double on Qt 5, as qlonglong or double on Qt 6, and a host filling an entry itself may
// give an int, a uint, a qint64 or a quint64. Text, booleans and characters are not numbers.
bool wholeBytes(const QVariant &value, qint64 &bytes)
{
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::SChar: {
        const qlonglong number = value.toLongLong();
        bytes = number;
        return number >= 0;
    }
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar: {
        const qulonglong number = value.toULongLong();
        bytes = qint64(number);
        return number <= qulonglong(std::numeric_limits<qint64>::max());
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        // Beyond 2^53 a double no longer holds every whole number.
        const double number = value.toDouble();
        bytes = qint64(number);
        return number >= 0 && number == std::floor(number) && number <= 9007199254740992.0;
    }
    default:
        return false;
    }
}

bool isHexDigit(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

// Hashes the whole of @p content into @p hash: a random-access device from its start,
// whatever its position; a sequential one to its end, waiting for data until it closes.
// Returns the cause when reading fails, else an empty text.
QString hashWhole(QIODevice *content, QCryptographicHash &hash, qint64 &size)
{
    const bool sequential = content->isSequential();
    if (!sequential && !content->seek(0))
        return QStringLiteral("cannot go back to the start of the content: ")
            + content->errorString();
    // In pieces: an update file may be far larger than memory allows at once.
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 count = content->read(buffer.data(), buffer.size());
        if (count > 0) {
            hash.addData(buffer.constData(), int(count));
            size += count;
            continue;
        }
        if (count < 0) {
            // A sequential device that closed, a finished QProcess among them, says -1 at
            // its end: that is the end, not a failure.
            if (sequential && (!content->isOpen() || content->atEnd()))
                break;
            return QStringLiteral("reading the content failed: ") + content->errorString();
        }
        if (!sequential)
            break; // 0: the end of a file or a buffer
        // Nothing more yet. waitForReadyRead() returns false once the device closed (a
        // socket disconnected, a process finished), and at once on devices that cannot wait.
        if (!content->waitForReadyRead(-1) && content->bytesAvailable() <= 0)
            break;
    }
    // A reply cannot wait: one still running would be hashed as what has arrived.
    if (const auto *reply = qobject_cast<const QNetworkReply *>(content)) {
        if (reply->isRunning())
            return QStringLiteral("the content is still downloading: check the reply once it "
                                  "has finished");
        if (reply->error() != QNetworkReply::NoError)
            return QStringLiteral("the content's download failed: ") + reply->errorString();
    }
    return QString();
}

} // namespace

FileDigest fileDigest(const QVariantHash &values)
{
    FileDigest digest;
    const QVariant size = values.value(QStringLiteral("size"));
    if (size.isValid()) {
        qint64 bytes = -1;
        if (!wholeBytes(size, bytes)) {
            digest.problem = QStringLiteral("its \"size\" is not a whole number of bytes");
            return digest;
        }
        digest.size = bytes;
    }
    const QVariant sha256 = values.value(QStringLiteral("sha256"));
    if (sha256.isValid()) {
        // Exactly 64 digits: no line end, no space, nothing after them.
        const QString text = sha256.toString();
        if (sha256.userType() != QMetaType::QString || text.size() != 64
            || !std::all_of(text.cbegin(), text.cend(), isHexDigit)) {
            digest.problem = QStringLiteral("its \"sha256\" is not 64 hexadecimal digits");
            return digest;
        }
        digest.sha256 = text.toLower().toLatin1();
    }
    if (digest.size < 0 && digest.sha256.isEmpty())
        digest.problem = QStringLiteral("the entry has neither \"size\" nor \"sha256\" to check");
    return digest;
}

} // namespace Internal

bool fileMatches(const UpdateFile &file, QIODevice *content, QString *why)
{
    QString problem;
    const Internal::FileDigest digest = Internal::fileDigest(file.values);
    if (!digest.problem.isEmpty()) {
        problem = digest.problem;
    } else if (!content || (!content->isOpen() && !content->open(QIODevice::ReadOnly))
        || !content->isReadable()) {
        problem = QStringLiteral("the content cannot be read")
            + (content ? QStringLiteral(": ") + content->errorString() : QString());
    } else {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        qint64 size = 0;
        problem = Internal::hashWhole(content, hash, size);
        const QByteArray sha256 = hash.result().toHex();
        if (problem.isEmpty() && digest.size >= 0 && size != digest.size)
            problem =
                QStringLiteral("the size differs: the entry says %1 bytes, the content has %2")
                    .arg(digest.size)
                    .arg(size);
        else if (problem.isEmpty() && !digest.sha256.isEmpty() && sha256 != digest.sha256)
            problem = QStringLiteral("the sha256 differs: the entry says %1, the content has %2")
                          .arg(QString::fromLatin1(digest.sha256), QString::fromLatin1(sha256));
    }
    if (why)
        *why = problem;
    return problem.isEmpty();
}

} // namespace MZU
