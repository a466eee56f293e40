// SPDX-License-Identifier: MIT
#include "decoder_p.h"
#include "download_p.h"

#include "signature_p.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <QSslError>
#include <QThread>
#include <QThreadStorage>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace MZU {
namespace Internal {

std::atomic<int> transferLimitMs { 5 * 60 * 1000 };

namespace {

// What another thread asks of a transfer, through the event queue of the transfer's thread.
constexpr QEvent::Type cancelEvent = QEvent::Type(QEvent::User + 1);
constexpr QEvent::Type haltEvent = QEvent::Type(QEvent::User + 2);

// Statuses that never carry a body, whatever Content-Length says.
bool bodiless(int status)
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

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

} // namespace

// Lives on the thread that started the transfer; it receives the reply's signals there.
struct Transfer::State : QObject
{
    QNetworkReply *reply = nullptr;
    std::function<void(const Fetched &)> done;
    Fetched fetched;
    Decoder decoder;
    QByteArray encoding; // the Content-Encoding header, as sent
    qint64 received = 0; // encoded bytes, to hold against Content-Length
    qint64 maximumSize = 0;
    int transferTimeoutMs = 0;
    Fetched::Outcome stopped = Fetched::Received;
    bool enlisted = false; // known to the application's exit
    QStringList sslErrors; // Qt's error text says only that the handshake failed, not why
    QTimer limit;

    // Asked from another thread, through the event queue of ours.
    bool event(QEvent *event) override
    {
        if (event->type() == cancelEvent)
            stop(Fetched::NetworkError);
        else if (event->type() == haltEvent)
            halt();
        else
            return QObject::event(event);
        return true;
    }

    void halt()
    {
        done = nullptr;
        limit.stop();
        if (reply) {
            reply->disconnect(this);
            reply->abort();
            delete std::exchange(reply, nullptr);
        }
    }

    void stop(Fetched::Outcome why)
    {
        if (stopped == Fetched::Received && reply) {
            stopped = why;
            reply->abort();
        }
    }

    void takeBody()
    {
        if (stopped != Fetched::Received || bodiless(fetched.status))
            return;
        const QByteArray input = reply->readAll();
        received += input.size();
        switch (decoder.feed(input, maximumSize)) {
        case Decoder::Fine:
            break;
        case Decoder::TooLarge:
            stop(Fetched::TooLarge);
            break;
        case Decoder::Corrupt:
            stop(Fetched::Undecodable);
            break;
        }
    }

    void headers()
    {
        fetched.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        encoding = reply->rawHeader("Content-Encoding");
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!bodiless(fetched.status) && length.isValid() && length.toLongLong() > maximumSize)
            stop(Fetched::TooLarge);
        else if (!decoder.start(encoding, length.isValid() ? length.toLongLong() : -1))
            stop(Fetched::Undecodable);
    }

    // Reads what the reply ended with and hands it over. Not from inside one of the reply's
    // signals: the reply is deleted here, and done() may delete us.
    void conclude();
};

void Transfer::State::conclude()
{
    if (!reply)
        return;
    limit.stop();
    reply->disconnect(this);
    // QCoreApplication::exit() also ends a waiting loop on the main thread: a partial body
    // must not pass for a whole one.
    if (reply->error() == QNetworkReply::NoError && !reply->isFinished())
        stop(Fetched::NetworkError);
    if (reply->error() == QNetworkReply::NoError)
        takeBody(); // what arrived after the last readyRead

    fetched.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    fetched.lengthDeclared = declared.isValid() && encoding.isEmpty();
    fetched.chunked = reply->rawHeader("Transfer-Encoding").toLower().contains("chunked");
    if (fetched.status == 429 || fetched.status == 503)
        fetched.retryAfter = retryAfterOf(reply->rawHeader("Retry-After"), secondsNow());
    if (stopped == Fetched::TooLarge) {
        fetched.outcome = stopped;
        fetched.problem = QStringLiteral("larger than ") + sizeText(maximumSize);
    } else if (stopped == Fetched::TooSlow) {
        fetched.outcome = stopped;
        fetched.problem = QStringLiteral("not finished within ") + durationText(transferLimitMs);
    } else if (stopped == Fetched::Undecodable
        || (reply->error() == QNetworkReply::NoError && !decoder.complete())) {
        fetched.outcome = Fetched::Undecodable;
        fetched.problem = QStringLiteral("cannot decode its %1 body")
                              .arg(printable(QString::fromLatin1(encoding)));
    } else if (reply->error() != QNetworkReply::NoError) {
        fetched.outcome = Fetched::NetworkError;
        fetched.errorText = reply->errorString();
        fetched.problem =
            networkProblem(*reply, sslErrors, stopped == Fetched::NetworkError, transferTimeoutMs);
        if (fetched.retryAfter > 0)
            fetched.problem +=
                QStringLiteral("; asked to retry after ") + utcText(fetched.retryAfter);
    } else if (fetched.status >= 300 && fetched.status < 400 && fetched.status != 304) {
        fetched.outcome = Fetched::Redirected;
        const QByteArray location = reply->rawHeader("Location");
        fetched.problem = location.isEmpty()
            ? QStringLiteral("answered %1 without a Location").arg(statusText(*reply))
            : QStringLiteral("redirected (%1) to %2; redirects are not followed")
                  .arg(statusText(*reply),
                      shownAddress(reply->url().resolved(QUrl::fromEncoded(location)).toString()));
    } else if (fetched.status == 204) {
        fetched.outcome = Fetched::Empty;
        fetched.problem = QStringLiteral("answered %1: the body is empty").arg(statusText(*reply));
    } else if (!bodiless(fetched.status) && declared.isValid()
        && received < declared.toLongLong()) {
        // Qt sometimes takes a connection closed early for the end of the body.
        fetched.outcome = Fetched::Cut;
        fetched.problem = cutOff();
    } else {
        fetched.outcome = Fetched::Received;
        fetched.pieces = decoder.take();
        if (fetched.pieces.size() == 1) // nothing to join
            fetched.join();
    }
    qCDebug(lcMzupdater).noquote() << "Received" << received << "bytes, HTTP" << fetched.status
                                   << "from" << shownAddress(reply->url().toString());
    delete std::exchange(reply, nullptr);
    if (done)
        std::exchange(done, {})(fetched); // may destroy us
}

namespace {

// Every transfer alive, so that the application's destruction can end them while Qt can
// still clean up after them. It waits for the global thread pool, and a pool thread
// blocked in a download would hold it forever.
struct Registry
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Transfer *> transfers;
    std::vector<Transfer *> blocking; // those a thread waits for
    bool postRoutineAdded = false;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

// Runs in ~QCoreApplication, the last moment other threads' events are still delivered:
// a waiting thread must have seen its cancel by the time this returns. The updaters'
// transfers end silently: nothing may reach a host after its application object.
void endAll()
{
    Registry &r = registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    r.postRoutineAdded = false; // Qt forgets the routines it ran; a later application needs it
    for (Transfer *transfer : r.transfers) {
        const bool waitedFor =
            std::find(r.blocking.begin(), r.blocking.end(), transfer) != r.blocking.end();
        // Each on its own thread, from that thread's loop.
        if (transfer->context()->thread() == QThread::currentThread() && !waitedFor)
            transfer->halt();
        else
            QCoreApplication::postEvent(
                transfer->context(), new QEvent(waitedFor ? cancelEvent : haltEvent));
    }
    r.changed.wait_for(lock, std::chrono::seconds(1), [&r] { return r.blocking.empty(); });
}

// False when there is no application object: nothing would end the transfer at exit.
bool enlist(Transfer *transfer)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!QCoreApplication::instance())
        return false;
    if (!r.postRoutineAdded) {
        qAddPostRoutine(endAll); // ~QCoreApplication runs it before waiting for the pool
        r.postRoutineAdded = true;
    }
    r.transfers.push_back(transfer);
    return true;
}

void discharge(std::vector<Transfer *> &list, Transfer *transfer)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    list.erase(std::remove(list.begin(), list.end(), transfer), list.end());
    r.changed.notify_all();
}

} // namespace

Transfer::Transfer(QNetworkAccessManager &manager, const QString &address, int transferTimeoutMs,
    qint64 maximumSize, std::function<void(const Fetched &)> done)
    : state(std::make_unique<State>())
{
    State &s = *state;
    s.enlisted = enlist(this);
    s.done = std::move(done);
    s.maximumSize = maximumSize;
    s.transferTimeoutMs = transferTimeoutMs;
    const auto fail = [&s](Fetched::Outcome outcome, const QString &problem) {
        s.fetched.outcome = outcome;
        s.fetched.problem = problem;
        // Still from the loop, as every other outcome: the limit's timer, run at once.
        QObject::disconnect(&s.limit, nullptr, &s, nullptr);
        QObject::connect(&s.limit, &QTimer::timeout, &s, [&s] {
            if (s.done)
                std::exchange(s.done, {})(s.fetched);
        });
        s.limit.setSingleShot(true);
        s.limit.start(0);
    };
    const QUrl url(address, QUrl::TolerantMode);
    if (!url.isValid()) {
        fail(Fetched::InvalidAddress, QStringLiteral("not a valid address"));
        return;
    }

    QNetworkRequest request(url);
    request.setTransferTimeout(transferTimeoutMs);
    // Qt 6 follows redirects unless told not to; Qt 5 never did, and a manifest is
    // fetched from exactly the address the installation names.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Asking ourselves makes Qt hand over the encoded bytes, which we decode under the cap.
    request.setRawHeader("Accept-Encoding", "gzip, deflate");
    s.reply = manager.get(request);
    if (!s.reply) {
        fail(Fetched::NoReply, QStringLiteral("Qt gave no reply"));
        return;
    }
    // Qt reads ahead of us without bound unless told: a fast server would fill memory
    // faster than the cap check sees it. Small, too, because each piece is decoded on the
    // host's thread: 16 KiB of gzip inflates in well under a millisecond.
    s.reply->setReadBufferSize(16 * 1024);
    // Queued: conclude() deletes the reply, which must not happen inside its own signal.
    QObject::connect(
        s.reply, &QNetworkReply::finished, &s, [&s] { s.conclude(); }, Qt::QueuedConnection);
#if QT_CONFIG(ssl)
    QObject::connect(s.reply, &QNetworkReply::sslErrors, &s, [&s](const QList<QSslError> &errors) {
        for (const QSslError &error : errors)
            s.sslErrors.append(error.errorString());
    });
#endif
    QObject::connect(s.reply, &QNetworkReply::metaDataChanged, &s, [&s] { s.headers(); });
    QObject::connect(s.reply, &QIODevice::readyRead, &s, [&s] { s.takeBody(); });
    s.limit.setSingleShot(true);
    QObject::connect(&s.limit, &QTimer::timeout, &s, [&s] { s.stop(Fetched::TooSlow); });
    s.limit.start(transferLimitMs.load());
}

Transfer::~Transfer()
{
    halt();
    if (state->enlisted)
        discharge(registry().transfers, this);
}

void Transfer::halt()
{
    state->halt();
}

bool Transfer::enlisted() const
{
    return state->enlisted;
}

void Transfer::cancel()
{
    state->stop(Fetched::NetworkError);
}

void Transfer::finishNow()
{
    if (!state->reply) { // concluded, or failed before a request went out
        if (state->done)
            std::exchange(state->done, {})(state->fetched);
        return;
    }
    state->reply->disconnect(state.get());
    state->stop(Fetched::NetworkError);
    state->conclude();
}

QObject *Transfer::context() const
{
    return state.get();
}

QNetworkAccessManager *threadManager()
{
    // The application's thread keeps its manager for the life of the process: destroying a
    // manager ends its network thread before that thread has deleted what a reply aborted at
    // the application's exit left it. Another thread's goes as the thread ends.
    const QCoreApplication *application = QCoreApplication::instance();
    if (application && application->thread() == QThread::currentThread()) {
        static QNetworkAccessManager *const kept = new QNetworkAccessManager;
        return kept;
    }
    static QThreadStorage<QNetworkAccessManager *> owned; // deleted as each thread ends
    if (!owned.hasLocalData())
        owned.setLocalData(new QNetworkAccessManager);
    return owned.localData();
}

void Fetched::join()
{
    if (!pieces.isEmpty())
        body = pieces.size() == 1 ? pieces.first() : pieces.join();
    pieces.clear();
}

Session::Session() = default;

Session::~Session() = default;

QNetworkAccessManager &Session::manager()
{
    if (!owned)
        owned = std::make_unique<QNetworkAccessManager>();
    return *owned;
}

Fetched fetch(Session &session, const QString &address, int transferTimeoutMs, qint64 maximumSize)
{
    Fetched fetched;
    bool finished = false;
    QEventLoop loop;
    const auto joined = qScopeGuard([&fetched] { fetched.join(); });
    Transfer transfer(
        session.manager(), address, transferTimeoutMs, maximumSize, [&](const Fetched &result) {
            fetched = result;
            finished = true;
            loop.quit();
        });
    if (transfer.enlisted()) {
        std::lock_guard<std::mutex> lock(registry().mutex);
        registry().blocking.push_back(&transfer);
    } else {
        transfer.cancel();
    }
    if (!finished)
        loop.exec(QEventLoop::AllEvents);
    if (!finished) // the loop was told to exit
        transfer.finishNow();
    discharge(registry().blocking, &transfer);
    return fetched;
}

} // namespace Internal
} // namespace MZU
