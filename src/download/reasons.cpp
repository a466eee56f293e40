// SPDX-License-Identifier: MIT
// A failed transfer's cause, in words a host can show.
#include "download_p.h"

#include <QNetworkRequest>
#include <QUrl>

namespace MZU {
namespace Internal {

QString durationText(int ms)
{
    if (ms >= 60000 && ms % 60000 == 0)
        return ms == 60000 ? QStringLiteral("1 minute")
                           : QStringLiteral("%1 minutes").arg(ms / 60000);
    if (ms % 1000 == 0)
        return QStringLiteral("%1 s").arg(ms / 1000);
    return QStringLiteral("%1 ms").arg(ms);
}

// No byte counts: Qt does not always say how much arrived before the close.
QString cutOff()
{
    return QStringLiteral("cut off before the body ended");
}

QString canceled()
{
    return QStringLiteral("canceled before it finished");
}

// "HTTP 404 Not Found"; HTTP/2 sends no phrase. The phrase is the server's: escaped.
QString statusText(const QNetworkReply &reply)
{
    const QString phrase =
        reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
    const QString number = QStringLiteral("HTTP %1").arg(
        reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
    return phrase.isEmpty() ? number : number + QLatin1Char(' ') + printable(phrase);
}

// Qt's error in words a host can show: Qt's own text names neither the address nor, over
// HTTP/2, the status.
QString networkProblem(
    const QNetworkReply &reply, const QStringList &sslErrors, bool stopped, int transferTimeoutMs)
{
    switch (reply.error()) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("host %1 not found").arg(printable(reply.url().host()));
    case QNetworkReply::TimeoutError:
        return QStringLiteral("the connection timed out");
    case QNetworkReply::RemoteHostClosedError:
        if (reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
            return cutOff();
        return QStringLiteral("the server closed the connection without an answer");
    case QNetworkReply::OperationCanceledError:
        // Qt's own inactivity timeout cancels too.
        return stopped ? canceled()
                       : QStringLiteral("no data for %1").arg(durationText(transferTimeoutMs));
    case QNetworkReply::SslHandshakeFailedError:
        return sslErrors.isEmpty()
            ? QStringLiteral("TLS handshake failed: ") + printable(reply.errorString())
            : QStringLiteral("certificate problem: ")
                + printable(sslErrors.join(QLatin1String("; ")));
    case QNetworkReply::ProxyConnectionRefusedError:
        return QStringLiteral("the proxy refused the connection");
    case QNetworkReply::ProxyNotFoundError:
        return QStringLiteral("proxy host not found");
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return QStringLiteral("the proxy demands authentication (HTTP 407)");
    default:
        if (reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400)
            return QStringLiteral("answered ") + statusText(reply);
        return printable(reply.errorString());
    }
}

} // namespace Internal
} // namespace MZU
