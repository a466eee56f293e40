#ifndef DOWNLOAD_P_H
#define DOWNLOAD_P_H

#include <QByteArray>
#include <QNetworkReply>
#include <QString>

namespace MZU {
namespace Internal {

constexpr int defaultTransferTimeoutMs = 30000;
constexpr qint64 maximumManifestSize = 64 * 1024 * 1024;
// What the reply may hold before Qt stops reading from the server until it is taken.
constexpr qint64 readBufferSize = 1024 * 1024;

/// What one GET of a manifest address brought back, for callers that must tell failures
/// apart (downloadJSon logs them; the command-line tool explains them).
struct Fetched
{
    enum Outcome { Received, InvalidAddress, NoReply, NetworkError, TooLarge };
    Outcome outcome = InvalidAddress;
    QByteArray body; // complete only when Received
    int status = 0; // the HTTP status, 0 when none arrived
    QByteArray location; // the Location header, as sent
    QString errorText; // Qt's text, for NetworkError
};

/// The GET that downloadJSon() makes: no redirect followed, no header of its own, a fresh
/// access manager, the body taken as it arrives and refused past maximumManifestSize.
Fetched fetch(const QString &address, int transferTimeoutMs);

} // namespace Internal
} // namespace MZU

#endif // DOWNLOAD_P_H
