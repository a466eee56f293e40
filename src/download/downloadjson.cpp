// SPDX-License-Identifier: MIT
#include "downloadjson.h"

#include "download_p.h"
#include "signature_p.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslError>
#include <QThreadPool>
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

Q_LOGGING_CATEGORY(lcMzupdater, "mzupdater")

std::atomic<int> transferLimitMs { 5 * 60 * 1000 };

namespace {

// Every transfer in flight, so that the application's destruction can stop them: it waits
// for the global thread pool, and a pool thread blocked in a download would hold it forever.
std::mutex registryMutex;
std::condition_variable registryChanged;
std::vector<CancelToken> inFlight;
bool postRoutineAdded = false;

// Runs in ~QCoreApplication, the last moment other threads' events are still delivered:
// a transfer must have noticed its token and ended by the time this returns.
void cancelAll()
{
    std::unique_lock<std::mutex> lock(registryMutex);
    postRoutineAdded = false; // Qt forgets the routines it ran; a later application needs it again
    for (const CancelToken &token : inFlight)
        token->store(true);
    registryChanged.wait_for(lock, std::chrono::seconds(1), [] { return inFlight.empty(); });
}

class InFlight
{
public:
    explicit InFlight(const CancelToken &token)
        : token(token)
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        if (!QCoreApplication::instance()) {
            token->store(true); // nothing would stop us at exit, and there is no exit to wait for
            return;
        }
        if (!postRoutineAdded) {
            qAddPostRoutine(cancelAll); // ~QCoreApplication runs it before waiting for the pool
            postRoutineAdded = true;
        }
        inFlight.push_back(token);
    }
    ~InFlight()
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        // One entry only: the signature's transfer runs under the token of the manifest's
        // session, which is still registered.
        const auto entry = std::find(inFlight.begin(), inFlight.end(), token);
        if (entry != inFlight.end())
            inFlight.erase(entry);
        registryChanged.notify_all();
    }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;

private:
    CancelToken token;
};

} // namespace

struct Session::Parts
{
    Parts(const CancelToken &cancel, bool pooled)
        : token(cancel ? cancel : std::make_shared<std::atomic_bool>(false))
        , registration(token)
        , pooled(pooled)
    {
    }
    const CancelToken token;
    const InFlight registration; // outlives the manager
    const bool pooled;
    std::unique_ptr<QNetworkAccessManager> manager;
};

Session::Session(const CancelToken &cancel, bool pooled)
    : parts(std::make_unique<Parts>(cancel, pooled))
{
}

Session::~Session() = default;

const CancelToken &Session::token() const
{
    return parts->token;
}

bool Session::pooled() const
{
    return parts->pooled;
}

QNetworkAccessManager &Session::manager()
{
    if (!parts->manager)
        parts->manager = std::make_unique<QNetworkAccessManager>();
    return *parts->manager;
}

namespace {

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

    QByteArray take()
    {
        if (blocks.size() == 1)
            return std::move(blocks.front());
        QByteArray body;
        body.reserve(int(size));
        for (const QByteArray &block : blocks)
            body += block;
        return body;
    }

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

} // namespace

QString sizeText(qint64 bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    if (bytes >= 1024 && bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

namespace {

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

// "HTTP 404 Not Found"; HTTP/2 sends no phrase.
QString statusText(const QNetworkReply &reply)
{
    const QString phrase =
        reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
    const QString number = QStringLiteral("HTTP %1").arg(
        reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
    return phrase.isEmpty() ? number : number + QLatin1Char(' ') + phrase;
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
        return QStringLiteral("host %1 not found").arg(reply.url().host());
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
            ? QStringLiteral("TLS handshake failed: ") + reply.errorString()
            : QStringLiteral("certificate problem: ") + sslErrors.join(QLatin1String("; "));
    case QNetworkReply::ProxyConnectionRefusedError:
        return QStringLiteral("the proxy refused the connection");
    case QNetworkReply::ProxyNotFoundError:
        return QStringLiteral("proxy host not found");
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return QStringLiteral("the proxy demands authentication (HTTP 407)");
    default:
        if (reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400)
            return QStringLiteral("answered ") + statusText(reply);
        return reply.errorString();
    }
}

} // namespace

Fetched fetch(Session &session, const QString &address, int transferTimeoutMs, qint64 maximumSize)
{
    Fetched fetched;
    if (!QUrl(address, QUrl::TolerantMode).isValid()) {
        fetched.problem = QStringLiteral("not a valid address");
        return fetched;
    }

    const CancelToken &token = session.token();
    if (token->load()) { // cancelled already, or no application object to run the transfer
        fetched.outcome = Fetched::NetworkError;
        fetched.errorText = QStringLiteral("Operation canceled"); // Qt's words for an abort
        fetched.problem = canceled();
        return fetched;
    }
    QNetworkRequest request(QUrl(address, QUrl::TolerantMode));
    request.setTransferTimeout(transferTimeoutMs);
    // Qt 6 follows redirects unless told not to; Qt 5 never did, and a manifest is
    // fetched from exactly the address the installation names.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Asking ourselves makes Qt hand over the encoded bytes, which we decode under the cap.
    request.setRawHeader("Accept-Encoding", "gzip, deflate");
    QNetworkReply *reply = session.manager().get(request);
    if (!reply) {
        fetched.outcome = Fetched::NoReply;
        fetched.problem = QStringLiteral("Qt gave no reply");
        return fetched;
    }

    // Qt reads ahead of us without bound unless told: a fast server would fill memory
    // faster than the cap check sees it.
    reply->setReadBufferSize(1024 * 1024);

    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::errorOccurred, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QStringList sslErrors; // Qt's error text says only that the handshake failed, not why
#if QT_CONFIG(ssl)
    QObject::connect(reply, &QNetworkReply::sslErrors, &loop, [&](const QList<QSslError> &errors) {
        for (const QSslError &error : errors)
            sslErrors.append(error.errorString());
    });
#endif

    Decoder decoder;
    QByteArray encoding; // the Content-Encoding header, as sent
    qint64 received = 0; // encoded bytes, to hold against Content-Length
    Fetched::Outcome stopped = Fetched::Received;
    const auto stop = [&](Fetched::Outcome why) {
        if (stopped == Fetched::Received) {
            stopped = why;
            reply->abort();
        }
    };
    const auto takeBody = [&] {
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
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        fetched.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        encoding = reply->rawHeader("Content-Encoding");
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!bodiless(fetched.status) && length.isValid() && length.toLongLong() > maximumSize)
            stop(Fetched::TooLarge);
        else if (!decoder.start(encoding, length.isValid() ? length.toLongLong() : -1))
            stop(Fetched::Undecodable);
    });
    QObject::connect(reply, &QIODevice::readyRead, &loop, takeBody);

    // The loop cannot wait on the token itself: look at it often enough that a destructor
    // or the application's exit is not kept waiting.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (token->load() || !QCoreApplication::instance())
            stop(Fetched::NetworkError);
    });
    poll.start(20);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] { stop(Fetched::TooSlow); });
    limit.start(transferLimitMs.load());

    // A check waiting on the network must not hold one of the few threads the host's pool has.
    if (session.pooled())
        QThreadPool::globalInstance()->releaseThread();
    loop.exec(QEventLoop::AllEvents);
    if (session.pooled())
        QThreadPool::globalInstance()->reserveThread();
    // QCoreApplication::exit() also ends this loop on the main thread: a partial body
    // must not pass for a whole one.
    if (reply->error() == QNetworkReply::NoError && !reply->isFinished())
        stop(Fetched::NetworkError);
    if (reply->error() == QNetworkReply::NoError)
        takeBody(); // what arrived after the last readyRead

    fetched.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    fetched.lengthDeclared = declared.isValid() && encoding.isEmpty();
    const QString encodingName = QString::fromLatin1(encoding);
    if (stopped == Fetched::TooLarge) {
        fetched.outcome = stopped;
        fetched.problem = QStringLiteral("larger than ") + sizeText(maximumSize);
    } else if (stopped == Fetched::TooSlow) {
        fetched.outcome = stopped;
        fetched.problem = QStringLiteral("not finished within ") + durationText(transferLimitMs);
    } else if (stopped == Fetched::Undecodable
        || (reply->error() == QNetworkReply::NoError && !decoder.complete())) {
        fetched.outcome = Fetched::Undecodable;
        fetched.problem = QStringLiteral("cannot decode its %1 body").arg(encodingName);
    } else if (reply->error() != QNetworkReply::NoError) {
        fetched.outcome = Fetched::NetworkError;
        fetched.errorText = reply->errorString();
        fetched.problem =
            networkProblem(*reply, sslErrors, stopped == Fetched::NetworkError, transferTimeoutMs);
    } else if (fetched.status >= 300 && fetched.status < 400 && fetched.status != 304) {
        fetched.outcome = Fetched::Redirected;
        const QByteArray location = reply->rawHeader("Location");
        fetched.problem = location.isEmpty()
            ? QStringLiteral("answered %1 without a Location").arg(statusText(*reply))
            : QStringLiteral("redirected (%1) to %2; redirects are not followed")
                  .arg(statusText(*reply),
                      reply->url().resolved(QUrl::fromEncoded(location)).toString());
    } else if (!bodiless(fetched.status) && declared.isValid()
        && received < declared.toLongLong()) {
        // Qt sometimes takes a connection closed early for the end of the body.
        fetched.outcome = Fetched::Cut;
        fetched.errorText = QStringLiteral("Connection closed"); // what Qt says when it notices
        fetched.problem = cutOff();
    } else {
        fetched.outcome = Fetched::Received;
        fetched.body = decoder.take();
    }
    delete reply;
    return fetched;
}

QString notJsonBecause(const QByteArray &text, int offset)
{
    const auto byte = [&](int i) { return i < text.size() ? uchar(text.at(i)) : 0xff; };
    if (text.startsWith("\xff\xfe") || text.startsWith("\xfe\xff")
        || (text.size() >= 4
            && ((byte(0) && !byte(1) && !byte(3)) || (!byte(0) && !byte(2) && byte(1)))))
        return QStringLiteral("is UTF-16; manifests are UTF-8");
    const QByteArray start = text.left(512).trimmed().toLower();
    if (start.startsWith("<!doctype html") || start.startsWith("<html") || start.contains("<head")
        || start.contains("<body"))
        return QStringLiteral("looks like HTML");
    // Typed in a word processor: “ ” or ‘ ’ where JSON needs ".
    const QByteArray around = text.mid(qMax(0, offset - 3), 6);
    for (const char *quote : { "\xe2\x80\x9c", "\xe2\x80\x9d", "\xe2\x80\x98", "\xe2\x80\x99" })
        if (around.contains(quote))
            return QStringLiteral("has a curly quote where JSON needs a straight one (\")");
    return QString();
}

namespace {

// Qt sometimes takes a close for the end of a chunked body, which it hands over cut.
// True when the JSON of @p body stops at the body's end, as it does when cut anywhere.
bool endsEarly(const QByteArray &body, const QJsonParseError &error)
{
    const QByteArray text = body.trimmed();
    switch (error.error) {
    case QJsonParseError::IllegalValue:
        if (error.offset
            < text.size()) { // within true, false or null: Qt stops at its second letter
            const QByteArray word = text.mid(qMax(0, error.offset - 1));
            return QByteArray("true").startsWith(word) || QByteArray("false").startsWith(word)
                || QByteArray("null").startsWith(word);
        }
        return true;
    case QJsonParseError::UnterminatedObject:
    case QJsonParseError::UnterminatedArray:
    case QJsonParseError::UnterminatedString:
    case QJsonParseError::TerminationByNumber:
        return error.offset >= text.size();
    case QJsonParseError::IllegalEscapeSequence:
    case QJsonParseError::IllegalUTF8String:
        return !text.mid(error.offset).contains('"'); // the string never closes
    default:
        return false;
    }
}

// Why a body is not JSON, as far as a reader of the log can act on it.
QString notJson(const QByteArray &body, const QJsonParseError &error)
{
    if (body.trimmed().isEmpty())
        return QStringLiteral("not JSON: the body is empty");
    const QString why =
        QStringLiteral("not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset);
    const QString kind = notJsonBecause(body, error.offset);
    return kind.isEmpty() ? why : why + QStringLiteral("; the body ") + kind;
}

} // namespace

Downloaded download(Session &session, const QString &address, int transferTimeoutMs)
{
    Downloaded result;
    Fetched fetched = fetch(session, address, transferTimeoutMs);
    const QString from = QStringLiteral("Cannot download from %1 - ").arg(address);
    if (fetched.outcome == Fetched::Received) {
        if (const QString problem = signatureProblem(
                session, address, fetched.body, transferTimeoutMs, &result.sequence);
            !problem.isEmpty()) {
            result.failure = problem; // nothing of an unverified manifest is parsed
        } else {
            QJsonParseError error;
            result.document = QJsonDocument::fromJson(fetched.body, &error);
            if (error.error == QJsonParseError::NoError)
                return result;
            if (!fetched.lengthDeclared && endsEarly(fetched.body, error)) {
                fetched.errorText = QStringLiteral("Connection closed"); // as if Qt had noticed
                // Or the file itself ends early: nothing here tells the two apart.
                result.failure = from + cutOff() + QStringLiteral(" (or the file is incomplete)");
            } else {
                result.failure =
                    QStringLiteral("Cannot read %1 - ").arg(address) + notJson(fetched.body, error);
            }
        }
    } else {
        result.failure = address.isEmpty()
            ? QStringLiteral("Cannot download: the manifest address is empty")
            : from + fetched.problem;
    }
    // The lines hosts have always seen, QDebug quoting and all; the reason says more.
    if (fetched.outcome == Fetched::InvalidAddress)
        qCWarning(lcMzupdater) << "Cannot download from " << address << " - invalid address";
    else if (fetched.outcome == Fetched::NoReply)
        qCWarning(lcMzupdater) << "NetworkAccessManager - NULL reply";
    else if (!fetched.errorText.isEmpty())
        qCWarning(lcMzupdater) << "(MZUpdater JSON) NAM error " << fetched.errorText;
    qCWarning(lcMzupdater).noquote() << result.failure;
    return result;
}

} // namespace Internal
} // namespace MZU

QJsonDocument downloadJSon(const QString &address)
{
    return downloadJSon(address, MZU::Internal::defaultTransferTimeoutMs);
}

QJsonDocument downloadJSon(const QString &address, int transferTimeoutMs)
{
    MZU::Internal::Session session;
    const MZU::Internal::Downloaded downloaded =
        MZU::Internal::download(session, address, transferTimeoutMs);
    if (!downloaded.document.isNull()) // accepted: a replay of anything older is refused now
        MZU::Internal::rememberSequence(address, downloaded.sequence);
    return downloaded.document;
}
