// SPDX-License-Identifier: MIT
#include "decoder_p.h"
#include "download_p.h"

#include "mzu.h"
#include "signature_p.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslError>
#include <QTimer>
#include <QUrl>

namespace MZU {
namespace Internal {

std::atomic<int> transferLimitMs { 5 * 60 * 1000 };

namespace {

// What another thread asks of a transfer, through the event queue of the transfer's thread.
constexpr QEvent::Type cancelEvent = QEvent::Type(QEvent::User + 1);
constexpr QEvent::Type haltEvent = QEvent::Type(QEvent::User + 2);

std::atomic<bool> following { false };

constexpr int maximumRedirects = 5;

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

    // The GET of a redirect's @p target, by a state made fresh but for the limit and cap.
    bool redirectTo(const QUrl &target);

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
    // host's thread: 16 KiB of gzip inflates in well under a millisecond.
    reply->setReadBufferSize(16 * 1024);
    // Queued: conclude() deletes the reply, which must not happen inside its own signal.
    QObject::connect(
        reply, &QNetworkReply::finished, this, [this] { conclude(); }, Qt::QueuedConnection);
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

bool Transfer::State::redirectTo(const QUrl &target)
{
    delete std::exchange(reply, nullptr);
    ++redirects;
    fetched = Fetched();
    decoder = std::make_unique<Decoder>();
    encoding.clear();
    received = 0;
    passing = false;
    sslErrors.clear();
    return send(target);
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
    if (fetched.status == 429 || fetched.status == 503)
        fetched.retryAfter = retryAfterOf(reply->rawHeader("Retry-After"), secondsNow());
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
        if (fetched.retryAfter > 0)
            fetched.problem +=
                QStringLiteral("; asked to retry after ") + utcText(fetched.retryAfter);
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
            if (redirectTo(target))
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
        discharge(this);
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

void Transfer::cancelLater()
{
    QCoreApplication::postEvent(state.get(), new QEvent(cancelEvent));
}

void Transfer::haltLater()
{
    QCoreApplication::postEvent(state.get(), new QEvent(haltEvent));
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
