// SPDX-License-Identifier: MIT
#include "source/manifest.h"

#include "source/scanner.h"

#include "download/download_p.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonParseError>

namespace {

using MZU::Internal::maximumManifestSize;

QString tooLarge(const QString &what)
{
    // As the library says it of a download.
    return QStringLiteral("%1 is larger than %2; hosts refuse it")
        .arg(what, MZU::Internal::sizeText(maximumManifestSize));
}

bool readFile(const QString &path, QByteArray &text, LoadError &error)
{
    QFile file;
    if (path == QLatin1String("-")) {
        if (!file.open(stdin, QIODevice::ReadOnly))
            error.message = QStringLiteral("cannot read standard input");
    } else if (QFileInfo(path).isDir()) {
        error.message = QStringLiteral("cannot read %1: it is a directory").arg(path);
    } else {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly))
            error.message = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        else if (file.size() > maximumManifestSize)
            error.message = tooLarge(path);
    }
    if (!error.message.isEmpty())
        return false;
    // A pipe has no size to trust: read one chunk past the limit at most. Only an empty
    // read ends it: a FIFO's atEnd() is true before its writer has written.
    while (text.size() <= maximumManifestSize) {
        const QByteArray chunk = file.read(1 << 20);
        if (chunk.isEmpty())
            break;
        text += chunk;
    }
    if (text.size() > maximumManifestSize) {
        error.message = tooLarge(displayName(path));
        return false;
    }
    return true;
}

// The library's own GET, so that the tool sees exactly what hosts get, with the cause of a
// failure that hosts only log.
bool fetch(const QString &address, QByteArray &text, LoadError &error)
{
    MZU::Internal::Session session;
    const MZU::Internal::Fetched fetched =
        MZU::Internal::fetch(session, address, MZU::Internal::defaultTransferTimeoutMs);
    if (!fetched.problem.isEmpty())
        error.message = QStringLiteral("cannot download %1: %2").arg(address, fetched.problem)
            + redirectAdvice(fetched.notFollowed);
    text = fetched.body;
    return error.message.isEmpty();
}

} // namespace

QString redirectAdvice(bool notFollowed)
{
    if (!notFollowed)
        return QString();
    return QStringLiteral("; hosts refuse a redirect unless they opt in with "
                          "MZU::setFollowRedirects(true): give --follow-redirects to follow it "
                          "as those hosts do");
}

bool parseManifest(const QByteArray &text, Manifest &manifest, LoadError &error)
{
    // What hosts refuse before Qt builds anything from it.
    if (const QString structure = MZU::Internal::structureProblem(text); !structure.isEmpty()) {
        error.message = structure + QStringLiteral("; hosts refuse it");
        return false;
    }
    QJsonParseError parseError;
    manifest.document = QJsonDocument::fromJson(text, &parseError);
    manifest.text = text;
    manifest.repeatedKeys.clear();
    Scanner scanner(text);
    manifest.stringFaults.clear();
    scanner.repeated = &manifest.repeatedKeys;
    scanner.faults = &manifest.stringFaults;
    const bool scanned = scanner.run();
    if (parseError.error == QJsonParseError::NoError)
        return true; // hosts read it: what they accept is JSON enough
    error.text = text;
    // When the scan passes, only Qt knows the fault. Its offset is one past the character at
    // fault, except for a string that is not UTF-8, where it is the string's first byte.
    error.offset = !scanned
        ? scanner.errorOffset
        : qBound(0,
            parseError.offset - (parseError.error == QJsonParseError::IllegalUTF8String ? 0 : 1),
            int(text.size()));
    error.message = "not JSON: " + (scanned ? parseError.errorString() : scanner.errorText);
    // As hosts say it: what the text is instead, when that can be told.
    const QString kind = MZU::Internal::notJsonBecause(text, error.offset);
    if (!kind.isEmpty())
        error.message += "; the text " + kind;
    return false;
}

bool readSource(const QString &source, QByteArray &text, LoadError &error)
{
    return source.contains(QLatin1String("://")) ? fetch(source, text, error)
                                                 : readFile(source, text, error);
}

QString displayName(const QString &source)
{
    return source == QLatin1String("-") ? QStringLiteral("<stdin>") : source;
}
