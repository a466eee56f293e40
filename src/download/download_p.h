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
// A check holds the parsed text and its catalogue, which on Qt 6 takes some 3 KB a release
// (a QVariantHash never takes less): 4 MiB of short releases peaks below 256 MiB.
constexpr qint64 maximumManifestSize = 4 * 1024 * 1024;

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
        Received, // a body to read, from a 2xx or a 304 answer
        InvalidAddress,
        NoReply,
        NetworkError, // Qt's error, HTTP errors included
        Redirected, // any other 3xx: not followed
        Cut, // fewer bytes than Content-Length announced
        TooLarge,
        TooSlow, // not finished within transferLimitMs
        Undecodable, // a Content-Encoding we cannot or could not decode
    };
    Outcome outcome = InvalidAddress;
    QString problem; // the cause in words, fit to show; empty when Received
    QByteArray body; // decoded; complete only when Received
    bool lengthDeclared = false; // a Content-Length held the body to its size
    int status = 0; // the HTTP status, 0 when none arrived
    QString errorText; // Qt's text, for NetworkError
};

class Session;

/// The GET that downloadJSon() makes on @p session's access manager: no redirect followed,
/// the body decoded as it arrives and refused once it would pass @p maximumSize decoded
/// bytes. Stops when the session's token is set, and when the application object is
/// destroyed.
Fetched fetch(Session &session, const QString &address, int transferTimeoutMs,
    qint64 maximumSize = maximumManifestSize);

/// The result of downloadJSon(), with the failure already logged.
struct Downloaded
{
    QJsonDocument document; // null on failure
    QString failure; // one line naming the address and the cause; empty on success
    qint64 sequence = -1; // the verified signature's seq=, -1 when none: see rememberSequence()
};

/// Fetches and parses @p address on @p session's access manager (the signature too, so
/// that a kept-alive connection serves both), logging why it failed. Remembers no sequence:
/// the caller does, once it accepts the document.
Downloaded download(Session &session, const QString &address, int transferTimeoutMs);

/// What text that is not JSON is instead, when it can be told ("looks like HTML", "is
/// UTF-16; ..."), near @p offset where the parse stopped; else empty.
QString notJsonBecause(const QByteArray &text, int offset);

/// "4 MiB", "64 KiB", "100 bytes".
QString sizeText(qint64 bytes);

/// An access manager for one download that its caller tears down after the call, as the
/// updater does once its host has the answer (Qt 5 joins the manager's network thread on
/// destruction). Until destroyed it counts as a transfer in flight under @p cancel: the
/// application's exit waits for the teardown while Qt can still run it.
/// The manager is built on the thread that first asks for it, and must be torn down there.
/// @p pooled: the caller runs on a thread of the global pool, which it hands back to the
/// host while it waits on the network.
class Session
{
public:
    explicit Session(const CancelToken &cancel = {}, bool pooled = false); // none: own token
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    const CancelToken &token() const;
    bool pooled() const;
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
