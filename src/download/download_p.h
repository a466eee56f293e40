// SPDX-License-Identifier: MIT
#ifndef DOWNLOAD_P_H
#define DOWNLOAD_P_H

#include <QByteArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

class QNetworkAccessManager;

namespace MZU {
namespace Internal {

constexpr int defaultTransferTimeoutMs = 30000;
constexpr qint64 maximumManifestSize = 64 * 1024 * 1024;

/// A whole transfer is given up after this long, however steadily the bytes come.
/// Not constant only so that tests need not wait 5 minutes.
extern std::atomic<int> transferLimitMs;

/// Set to true to stop a transfer from any thread; the transfer ends within about 20 ms.
using CancelToken = std::shared_ptr<std::atomic_bool>;

/// What one GET of a manifest address brought back, for callers that must tell failures
/// apart (downloadJSon logs them; the command-line tool explains them).
struct Fetched
{
    enum Outcome {
        Received,
        InvalidAddress,
        NoReply,
        NetworkError,
        TooLarge,
        TooSlow, // not finished within transferLimitMs
        Undecodable, // a Content-Encoding we cannot or could not decode
    };
    Outcome outcome = InvalidAddress;
    QByteArray body; // decoded; complete only when Received
    int status = 0; // the HTTP status, 0 when none arrived
    QByteArray location; // the Location header, as sent
    QByteArray encoding; // the Content-Encoding header, as sent
    QString errorText; // Qt's text, for NetworkError
    QStringList sslErrors; // the certificate problems Qt saw, for NetworkError
};

/// The GET that downloadJSon() makes: no redirect followed, a fresh access manager, the
/// body decoded as it arrives and refused once it would pass @p maximumSize decoded bytes.
/// Stops when @p cancel is set, and when the application object is destroyed.
Fetched fetch(const QString &address, int transferTimeoutMs,
    qint64 maximumSize = maximumManifestSize, const CancelToken &cancel = {});

class Session;

/// The same GET on @p session's access manager, stopped by @p session's token.
Fetched fetch(Session &session, const QString &address, int transferTimeoutMs,
    qint64 maximumSize = maximumManifestSize);

/// The result of downloadJSon(), with the one-line warning already logged on failure.
struct Downloaded
{
    QJsonDocument document; // null on failure
    QString failure; // empty on success
};

/// Fetches and parses @p address, logging why it failed.
Downloaded download(const QString &address, int transferTimeoutMs, const CancelToken &cancel = {});

/// The same on @p session's access manager, which the caller tears down when it chooses.
Downloaded download(Session &session, const QString &address, int transferTimeoutMs);

/// An access manager for one download that its caller tears down after the call, as the
/// updater does once its host has the answer (Qt 5 joins the manager's network thread on
/// destruction). Until destroyed it counts as a transfer in flight under @p cancel: the
/// application's exit waits for the teardown while Qt can still run it.
/// The manager is built on the thread that first asks for it, and must be torn down there.
class Session
{
public:
    explicit Session(const CancelToken &cancel = {}); // none: a token of its own
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    const CancelToken &token() const;
    QNetworkAccessManager &manager(); // built on first use

private:
    struct Parts;
    std::unique_ptr<Parts> parts;
};

/// The category of every warning the library logs, "mzupdater", so that hosts can filter it.
Q_DECLARE_LOGGING_CATEGORY(lcMzupdater)

/// One log line as qWarning() would print these items (spaces, quotes and all).
template <typename... Items> QString logLine(const Items &...items);

} // namespace Internal
} // namespace MZU

#include <QDebug>

template <typename... Items> QString MZU::Internal::logLine(const Items &...items)
{
    QString line;
    {
        QDebug stream(&line);
        (void)(stream << ... << items);
    }
    if (line.endsWith(QLatin1Char(' ')))
        line.chop(1); // as the message handler drops it
    return line;
}

#endif // DOWNLOAD_P_H
