// SPDX-License-Identifier: MIT
#ifndef DOWNLOAD_P_H
#define DOWNLOAD_P_H

#include "log_p.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class QNetworkAccessManager;

namespace MZU {
namespace Internal {

constexpr int defaultTransferTimeoutMs = 30000;
// A check holds the parsed text and its catalogue, which on Qt 6 takes some 3 KB a release
// (a QVariantHash never takes less): 4 MiB of short releases peaks below 256 MiB.
constexpr qint64 maximumManifestSize = 4 * 1024 * 1024;
// What Qt builds from a body grows with its objects and arrays, not its bytes: on Qt 6,
// 4 MiB of nested or tiny ones takes hundreds of MiB. A manifest of 35,000 releases and a
// file list stays well inside both.
constexpr int maximumContainers = 50000;
constexpr int maximumDepth = 64;

/// A whole transfer is given up after this long, however steadily the bytes come.
/// Not constant only so that tests need not wait 5 minutes.
extern std::atomic<int> transferLimitMs;

/// What one GET of a manifest address brought back, for callers that must tell failures
/// apart (downloadJSon logs them; the command-line tool explains them).
struct Fetched
{
    enum Outcome {
        Received, // a body to read, from a 2xx or a 304 answer
        InvalidAddress,
        NoReply,
        NetworkError, // Qt's error, HTTP errors included
        Redirected, // any other 3xx, not followed: following is off, or the redirect refused
        Cut, // fewer bytes than Content-Length announced
        TooLarge,
        TooSlow, // not finished within transferLimitMs
        Undecodable, // a Content-Encoding we cannot or could not decode
        Empty, // a 204
    };
    Outcome outcome = InvalidAddress;
    QString problem; // the cause in words, fit to show; empty when Received
    QByteArray body; // decoded; complete only when Received, once joined
    QByteArrayList pieces; // the body as it arrived, before join()
    bool lengthDeclared = false; // a Content-Length held the body to its size
    bool chunked = false; // Transfer-Encoding: chunked
    int status = 0; // the HTTP status, 0 when none arrived
    qint64 retryAfter = 0; // a 429's or 503's Retry-After, in seconds since 1970; 0: none
    QString errorText; // Qt's own text, when Qt's reply reported an error
    bool notFollowed = false; // a redirect with a target, not followed as following is off

    void join(); // the pieces into the body
};

/// One GET on @p manager, run by the event loop of the thread that starts it, and the GETs of
/// the redirects it follows when followRedirects() was on as it started: the body decoded as
/// it arrives and refused once it would pass @p maximumSize decoded bytes (with those of the
/// redirects' bodies), the whole-transfer limit over the whole chain. @p done is called once,
/// from that loop, unless the transfer is destroyed first: destroying it aborts the request
/// and calls nothing.
class Transfer
{
public:
    Transfer(QNetworkAccessManager &manager, const QString &address, int transferTimeoutMs,
        qint64 maximumSize, std::function<void(const Fetched &)> done);
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    /// Ends the transfer as canceled; @p done follows from the event loop. Any thread may ask
    /// this through the object that receives the transfer's events.
    void cancel();
    /// Cancels and calls @p done now, for a loop that ended before the transfer did.
    void finishNow();
    /// Aborts the request and calls nothing, now or later.
    void halt();
    /// cancel() and halt(), asked from any thread: done by the transfer's own thread's loop.
    void cancelLater();
    void haltLater();
    /// False when there was no application object, whose exit would end the transfer.
    bool enlisted() const;
    QObject *context() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

/// Makes @p transfer known to the application's exit, which ends every transfer still
/// running while Qt can clean up after it. False when there is no application object.
bool enlist(Transfer *transfer);
/// Forgets a transfer enlist() took.
void discharge(Transfer *transfer);

/// The access manager the updaters of the calling thread share: Qt gives each manager a
/// network thread of its own, so updaters on one thread must not each build one. The
/// application's thread keeps its own for the life of the process; another thread's lives
/// as long as the thread.
QNetworkAccessManager *threadManager();

/// An access manager for blocking calls, built on the thread that first asks for it and
/// torn down there.
class Session
{
public:
    Session();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    QNetworkAccessManager &manager(); // built on first use

private:
    std::unique_ptr<QNetworkAccessManager> owned;
};

/// The GET that downloadJSon() makes, waiting for it on the calling thread's own event loop.
/// Stopped when the application object is destroyed, which waits for the global pool.
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

/// What a fetched manifest reads as: the failure of @p manifest's transfer, else its
/// signature checked against @p signature (null when signing() is None; not read when it
/// is RefuseAll), its structure held to the bounds, and its JSON parsed. Logs the failure.
Downloaded readManifest(const QString &address, const Fetched &manifest, const Fetched *signature);

/// What the trusted keys ask of a manifest: nothing, a signature fetched beside it and
/// verified, or (while a key list stands refused) a refusal, with nothing fetched.
enum class Signing { None, Verify, RefuseAll };
Signing signing();

/// "more than 50,000 JSON objects and arrays", "nested deeper than 64", or empty: what Qt
/// would be asked to build from @p text, counted without building it.
QString structureProblem(const QByteArray &text);

/// At most one manifest is parsed in the process at a time, so that N checks cost the
/// memory of one. run() queues a job for the global pool without holding a thread while it
/// waits; Lock waits on the calling thread.
class ParseGate
{
public:
    static void run(std::function<void()> job);
    class Lock
    {
    public:
        Lock();
        ~Lock();
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
    };
};

/// The moment a Retry-After header names (seconds, or an HTTP date), in seconds since 1970,
/// for an answer received at @p now; 0 when @p value is neither.
qint64 retryAfterOf(const QByteArray &value, qint64 now);

/// What text that is not JSON is instead, when it can be told ("looks like HTML", "is
/// UTF-16; ..."), near @p offset where the parse stopped; else empty.
QString notJsonBecause(const QByteArray &text, int offset);

/// "4 MiB", "64 KiB", "100 bytes".
QString sizeText(qint64 bytes);

/// "30 s", "5 minutes", "250 ms".
QString durationText(int ms);
QString cutOff(); // a body that ended early
QString canceled(); // a transfer canceled before it finished
/// "HTTP 404 Not Found", the server's phrase escaped; HTTP/2 sends none.
QString statusText(const QNetworkReply &reply);
/// Qt's error on @p reply in words a host can show: Qt's own names neither the address nor,
/// over HTTP/2, the status. @p stopped: we canceled it; @p sslErrors: the handshake's.
QString networkProblem(
    const QNetworkReply &reply, const QStringList &sslErrors, bool stopped, int transferTimeoutMs);

/// @p address fit for a reason or a warning: its password replaced, control and invisible
/// characters escaped.
QString shownAddress(const QString &address);

/// Control characters, escape sequences, invisible format characters (direction marks,
/// zero-width spaces) and spaces other than the ASCII one: what could steer a terminal or a
/// log, or hide in a name.
bool invisible(QChar c);

/// Appends @p c to @p text as a \u escape (\u200b).
void appendEscape(QString &text, QChar c);

/// @p text with the invisible() characters escaped ("\n", "\u001b"), as a server's words
/// must be before they reach a log or a status bar. Line breaks and tabs stay when
/// @p keepLines.
QString printable(const QString &text, bool keepLines = false);

} // namespace Internal
} // namespace MZU

#endif // DOWNLOAD_P_H
