// SPDX-License-Identifier: MIT
#include "download_p.h"

#include "mzu.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <QSslError>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <zlib.h>

namespace MZU {
namespace Internal {

std::atomic<int> transferLimitMs { 5 * 60 * 1000 };

namespace {

std::atomic<bool> following { false };

constexpr int maximumRedirects = 5;

// Decodes the body as it arrives. Qt would inflate it by itself, but only after handing
// the size check bytes it can no longer refuse: a small gzip body can decode to gigabytes.
class Decoder
{
public:
    enum Result { Fine, TooLarge, Corrupt };

    ~Decoder()
    {
        if (zipped)
            inflateEnd(&stream);
    }

    // False for an encoding we did not ask for. @p length: the declared size, or -1.
    bool start(const QByteArray &encoding, qint64 length)
    {
        firstBlock = blockSize;
        if (zipped) // headers again, after an interim response
            inflateEnd(&stream);
        zipped = false;
        const QByteArray name = encoding.trimmed().toLower();
        if (name.isEmpty() || name == "identity") {
            // A plain body of known size goes into one array, with nothing to join at the end.
            if (length > 0 && length <= maximumManifestSize)
                firstBlock = int(length);
            return true;
        }
        if (name != "gzip" && name != "x-gzip" && name != "deflate")
            return false;
        // 32: a gzip or a zlib header, as the server's word for it is not always right.
        zipped = inflateInit2(&stream, MAX_WBITS + 32) == Z_OK;
        ended = false;
        return zipped;
    }

    Result feed(const QByteArray &input, qint64 maximumSize)
    {
        if (!zipped) {
            if (size + input.size() > maximumSize)
                return TooLarge;
            append(input.constData(), input.size());
            return Fine;
        }
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.constData()));
        stream.avail_in = uInt(input.size());
        char chunk[64 * 1024];
        while (stream.avail_in > 0) {
            if (ended) {
                // Another gzip member follows: concatenated members are one body.
                if (inflateReset(&stream) != Z_OK)
                    return Corrupt;
                ended = false;
            }
            stream.next_out = reinterpret_cast<Bytef *>(chunk);
            stream.avail_out = sizeof chunk;
            const int status = inflate(&stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
                return Corrupt;
            const qint64 produced = qint64(sizeof chunk) - stream.avail_out;
            if (size + produced > maximumSize)
                return TooLarge;
            append(chunk, produced);
            ended = status == Z_STREAM_END;
            if (status == Z_BUF_ERROR && produced == 0)
                return Corrupt; // no progress with input and room left
        }
        return Fine;
    }

    // The blocks as they are: joining 4 MiB is for the thread that parses, not the host's.
    QByteArrayList take() { return QByteArrayList(blocks.begin(), blocks.end()); }

    // A compressed body must end with its stream's end; anything else was cut.
    bool complete() const { return !zipped || ended; }

private:
    // Fixed blocks rather than one growing array: growing by reallocation would hold up to
    // twice the cap at once (more under a sanitizer, which keeps freed memory a while).
    void append(const char *data, qint64 count)
    {
        while (count > 0) {
            const int limit = blocks.size() == 1 ? firstBlock : blockSize;
            if (blocks.empty() || blocks.back().size() >= limit) {
                blocks.emplace_back();
                // The first grows as needed (most bodies are small) unless its size is known.
                if (blocks.size() > 1 || firstBlock != blockSize)
                    blocks.back().reserve(blocks.size() > 1 ? blockSize : firstBlock);
            }
            const int room = (blocks.size() == 1 ? firstBlock : blockSize) - blocks.back().size();
            const int part = int(qMin<qint64>(count, room));
            blocks.back().append(data, part);
            data += part;
            count -= part;
            size += part;
        }
    }

    static constexpr int blockSize = 1024 * 1024;
    int firstBlock = blockSize;
    z_stream stream {};
    bool zipped = false;
    bool ended = true;
    std::vector<QByteArray> blocks;
    qint64 size = 0;
};

// Statuses that never carry a body, whatever Content-Length says.
bool bodiless(int status)
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

bool redirection(int status)
{
    return status >= 300 && status < 400 && status != 304;
}

// Why a redirect from @p from to @p to, after @p followed others, is not followed; empty
// when it is.
QString refusal(const QUrl &from, const QUrl &to, int followed)
{
    const QString scheme = to.scheme().toLower();
    if (!to.isValid())
        return QStringLiteral("not a valid address");
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QStringLiteral("only http and https addresses are followed");
    if (from.scheme().toLower() == QLatin1String("https") && scheme == QLatin1String("http"))
        return QStringLiteral("a redirect from https to http is never followed");
    if (followed >= maximumRedirects)
        return QStringLiteral("more than %1 redirects").arg(maximumRedirects);
    return QString();
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
// A redirect that is followed is one more GET on the same manager, by the same state: the
// limit timer runs on, and the bytes of each answer count against the one cap.
struct Transfer::State : QObject
{
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *reply = nullptr;
    QUrl address; // of the GET under way: the one asked for, or a redirect's target
    std::function<void(const Fetched &)> done;
    Fetched fetched;
    std::unique_ptr<Decoder> decoder = std::make_unique<Decoder>();
    QByteArray encoding; // the Content-Encoding header, as sent
    qint64 received = 0; // encoded bytes of this answer, to hold against Content-Length
    qint64 maximumSize = 0;
    int transferTimeoutMs = 0;
    Fetched::Outcome stopped = Fetched::Received;
    bool enlisted = false; // known to the application's exit
    bool follow = false; // followRedirects(), as the transfer started
    bool passing = false; // this answer is a redirect to follow: its body is only counted
    int redirects = 0; // followed so far
    qint64 spent = 0; // bytes of the redirects' bodies, held against the cap
    QStringList sslErrors; // Qt's error text says only that the handshake failed, not why
    QTimer limit;

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
        if (passing) {
            spent += input.size();
            if (spent > maximumSize)
                stop(Fetched::TooLarge);
            return;
        }
        switch (decoder->feed(input, maximumSize - spent)) {
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
        // A redirect's body is nobody's to read: whatever its encoding, it is only counted.
        passing = follow && redirection(fetched.status);
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!bodiless(fetched.status) && length.isValid()
            && length.toLongLong() > maximumSize - spent)
            stop(Fetched::TooLarge);
        else if (!passing && !decoder->start(encoding, length.isValid() ? length.toLongLong() : -1))
            stop(Fetched::Undecodable);
    }

    // Starts the GET of @p url. False when Qt gives no reply.
    bool send(const QUrl &url);

    // Reads what the reply ended with and hands it over, or follows the redirect it is.
    // Not from inside one of the reply's signals: the reply is deleted here, and done() may
    // delete us.
    void conclude();
};

bool Transfer::State::send(const QUrl &url)
{
    address = url;
    QNetworkRequest request(url);
    request.setTransferTimeout(transferTimeoutMs);
    // Qt 6 follows redirects unless told not to; Qt 5 never did. When a host opts in, the
    // transfer follows them itself, under its own rules and its one limit and cap.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Asking ourselves makes Qt hand over the encoded bytes, which we decode under the cap.
    request.setRawHeader("Accept-Encoding", "gzip, deflate");
    reply = manager->get(request);
    if (!reply)
        return false;
    // Qt reads ahead of us without bound unless told: a fast server would fill memory
    // faster than the cap check sees it. Small, too, because each piece is decoded on the
    // host's thread: 64 KiB of gzip inflates in a few milliseconds.
    reply->setReadBufferSize(16 * 1024);
    QObject::connect(reply, &QNetworkReply::finished, this, [this] {
        QMetaObject::invokeMethod(
            this, [this] { conclude(); }, Qt::QueuedConnection);
    });
#if QT_CONFIG(ssl)
    QObject::connect(
        reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
            for (const QSslError &error : errors)
                sslErrors.append(error.errorString());
        });
#endif
    QObject::connect(reply, &QNetworkReply::metaDataChanged, this, [this] { headers(); });
    QObject::connect(reply, &QIODevice::readyRead, this, [this] { takeBody(); });
    return true;
}

void Transfer::State::conclude()
{
    if (!reply)
        return;
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
    bool named = false; // the reason names the addresses itself
    if (stopped == Fetched::TooLarge) {
        fetched.outcome = stopped;
        fetched.problem = QStringLiteral("larger than ") + sizeText(maximumSize);
    } else if (stopped == Fetched::TooSlow) {
        fetched.outcome = stopped;
        fetched.problem = QStringLiteral("not finished within ") + durationText(transferLimitMs);
    } else if (stopped == Fetched::Undecodable
        || (reply->error() == QNetworkReply::NoError && !passing && !decoder->complete())) {
        fetched.outcome = Fetched::Undecodable;
        fetched.problem = QStringLiteral("cannot decode its %1 body")
                              .arg(printable(QString::fromLatin1(encoding)));
    } else if (reply->error() != QNetworkReply::NoError) {
        fetched.outcome = Fetched::NetworkError;
        fetched.errorText = reply->errorString();
        fetched.problem =
            networkProblem(*reply, sslErrors, stopped == Fetched::NetworkError, transferTimeoutMs);
    } else if (redirection(fetched.status)) {
        fetched.outcome = Fetched::Redirected;
        const QByteArray location = reply->rawHeader("Location");
        const QUrl target = reply->url().resolved(QUrl::fromEncoded(location));
        const QString why = follow ? refusal(reply->url(), target, redirects) : QString();
        if (location.isEmpty()) {
            fetched.problem =
                QStringLiteral("answered %1 without a Location").arg(statusText(*reply));
        } else if (!follow) {
            fetched.notFollowed = true;
            fetched.problem = QStringLiteral("redirected (%1) to %2; redirects are not followed")
                                  .arg(statusText(*reply), shownAddress(target.toString()));
        } else if (stopped != Fetched::Received) {
            // Canceled once the answer was in, before it was read: nothing more is asked.
            fetched.outcome = Fetched::NetworkError;
            fetched.problem = canceled();
        } else if (!why.isEmpty()) {
            named = true;
            fetched.problem = QStringLiteral("redirected (%1) from %2 to %3, refused: %4")
                                  .arg(statusText(*reply), shownAddress(reply->url().toString()),
                                      shownAddress(target.toString()), why);
        } else {
            qCDebug(lcMzupdater).noquote()
                << "Redirected" << statusText(*reply) << "from"
                << shownAddress(reply->url().toString()) << "to" << shownAddress(target.toString());
            delete std::exchange(reply, nullptr);
            ++redirects;
            fetched = Fetched();
            decoder = std::make_unique<Decoder>();
            encoding.clear();
            received = 0;
            passing = false;
            sslErrors.clear();
            if (send(target))
                return; // the limit runs on
            fetched.outcome = Fetched::NoReply;
            fetched.problem = QStringLiteral("Qt gave no reply");
        }
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
        fetched.pieces = decoder->take();
        if (fetched.pieces.size() == 1) // nothing to join
            fetched.join();
    }
    limit.stop();
    if (reply) {
        qCDebug(lcMzupdater).noquote() << "Received" << received << "bytes, HTTP" << fetched.status
                                       << "from" << shownAddress(reply->url().toString());
        delete std::exchange(reply, nullptr);
    }
    // The reason names the address asked for; after a redirect, the one that failed too.
    if (redirects > 0 && fetched.outcome != Fetched::Received && !named)
        fetched.problem = QStringLiteral("at %1, after %2: %3")
                              .arg(shownAddress(address.toString()),
                                  redirects == 1 ? QStringLiteral("1 redirect")
                                                 : QStringLiteral("%1 redirects").arg(redirects),
                                  fetched.problem);
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
        if (waitedFor)
            QMetaObject::invokeMethod(
                transfer->context(), [transfer] { transfer->cancel(); }, Qt::QueuedConnection);
        else if (transfer->context()->thread() == QThread::currentThread())
            transfer->halt();
        else
            QMetaObject::invokeMethod(
                transfer->context(), [transfer] { transfer->halt(); }, Qt::QueuedConnection);
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
        // Still from the loop, as every other outcome.
        QMetaObject::invokeMethod(
            &s,
            [&s] {
                if (s.done)
                    std::exchange(s.done, {})(s.fetched);
            },
            Qt::QueuedConnection);
    };
    const QUrl url(address, QUrl::TolerantMode);
    if (!url.isValid()) {
        fail(Fetched::InvalidAddress, QStringLiteral("not a valid address"));
        return;
    }
    s.manager = &manager;
    s.follow = following;
    if (!s.send(url)) {
        fail(Fetched::NoReply, QStringLiteral("Qt gave no reply"));
        return;
    }
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
    state->done = nullptr;
    state->limit.stop();
    if (state->reply) {
        state->reply->disconnect(state.get());
        state->reply->abort();
        delete std::exchange(state->reply, nullptr);
    }
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
    thread_local std::unique_ptr<QNetworkAccessManager> owned;
    thread_local QNetworkAccessManager *shared = nullptr;
    if (!shared) {
        QCoreApplication *application = QCoreApplication::instance();
        if (application && application->thread() == QThread::currentThread()) {
            static QNetworkAccessManager *kept = new QNetworkAccessManager;
            shared = kept;
        } else {
            owned = std::make_unique<QNetworkAccessManager>();
            shared = owned.get();
        }
    }
    return shared;
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

void setFollowRedirects(bool follow)
{
    Internal::following = follow;
}

bool followRedirects()
{
    return Internal::following;
}

} // namespace MZU
