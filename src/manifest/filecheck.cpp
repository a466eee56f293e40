// SPDX-License-Identifier: MIT
#include "manifest_p.h"

#include <QCryptographicHash>
#include <QIODevice>
#include <QRegularExpression>

#include <cmath>

namespace MZU {
namespace Internal {

FileDigest fileDigest(const QVariantHash &values)
{
    FileDigest digest;
    const QVariant size = values.value(QStringLiteral("size"));
    if (size.isValid()) {
        // JSON numbers arrive as double on Qt 5, as qlonglong or double on Qt 6.
        const int type = size.userType();
        const double bytes = size.toDouble();
        if ((type != QMetaType::Double && type != QMetaType::LongLong) || bytes < 0
            || bytes != std::floor(bytes) || bytes > 9007199254740992.0) {
            digest.problem = QStringLiteral("its \"size\" is not a whole number of bytes");
            return digest;
        }
        digest.size = qint64(bytes);
    }
    const QVariant sha256 = values.value(QStringLiteral("sha256"));
    if (sha256.isValid()) {
        static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
        if (sha256.userType() != QMetaType::QString || !hex.match(sha256.toString()).hasMatch()) {
            digest.problem = QStringLiteral("its \"sha256\" is not 64 hexadecimal digits");
            return digest;
        }
        digest.sha256 = sha256.toString().toLower().toLatin1();
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
        // In pieces: an update file may be far larger than memory allows at once.
        QCryptographicHash hash(QCryptographicHash::Sha256);
        qint64 size = 0;
        QByteArray buffer(64 * 1024, Qt::Uninitialized);
        qint64 count;
        while ((count = content->read(buffer.data(), buffer.size())) > 0) {
            hash.addData(buffer.constData(), int(count));
            size += count;
        }
        const QByteArray sha256 = hash.result().toHex();
        if (count < 0)
            problem = QStringLiteral("reading the content failed: ") + content->errorString();
        else if (digest.size >= 0 && size != digest.size)
            problem =
                QStringLiteral("the size differs: the entry says %1 bytes, the content has %2")
                    .arg(digest.size)
                    .arg(size);
        else if (!digest.sha256.isEmpty() && sha256 != digest.sha256)
            problem = QStringLiteral("the sha256 differs: the entry says %1, the content has %2")
                          .arg(QString::fromLatin1(digest.sha256), QString::fromLatin1(sha256));
    }
    if (why)
        *why = problem;
    return problem.isEmpty();
}

} // namespace MZU
