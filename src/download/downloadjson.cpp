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
    explicit Parts(const CancelToken &cancel)
        : token(cancel ? cancel : std::make_shared<std::atomic_bool>(false))
        , registration(token)
    {
    }
    const CancelToken token;
    const InFlight registration; // outlives the manager
    std::unique_ptr<QNetworkAccessManager> manager;
};

Session::Session(const CancelToken &cancel)
    : parts(std::make_unique<Parts>(cancel))
{
}

Session::~Session() = default;

const CancelToken &Session::token() const
{
    return parts->token;
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

Fetched fetch(
    const QString &address, int transferTimeoutMs, qint64 maximumSize, const CancelToken &cancel)
{
    Session session(cancel);
    return fetch(session, address, transferTimeoutMs, maximumSize);
}

Fetched fetch(Session &session, const QString &address, int transferTimeoutMs, qint64 maximumSize)
{
    Fetched fetched;
    if (!QUrl(address, QUrl::TolerantMode).isValid())
        return fetched;

    const CancelToken &token = session.token();
    if (token->load()) { // cancelled already, or no application object to run the transfer
        fetched.outcome = Fetched::NetworkError;
        fetched.errorText = QStringLiteral("Operation canceled"); // Qt's words for an abort
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
        return fetched;
    }

    // Qt reads ahead of us without bound unless told: a fast server would fill memory
    // faster than the cap check sees it.
    reply->setReadBufferSize(1024 * 1024);

    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::errorOccurred, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
#if QT_CONFIG(ssl)
    QObject::connect(reply, &QNetworkReply::sslErrors, &loop, [&](const QList<QSslError> &errors) {
        for (const QSslError &error : errors)
            fetched.sslErrors.append(error.errorString());
    });
#endif

    Decoder decoder;
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
        fetched.encoding = reply->rawHeader("Content-Encoding");
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!bodiless(fetched.status) && length.isValid() && length.toLongLong() > maximumSize)
            stop(Fetched::TooLarge);
        else if (!decoder.start(fetched.encoding, length.isValid() ? length.toLongLong() : -1))
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

    loop.exec(QEventLoop::AllEvents);
    // QCoreApplication::exit() also ends this loop on the main thread: a partial body
    // must not pass for a whole one.
    if (reply->error() == QNetworkReply::NoError && !reply->isFinished())
        reply->abort();
    if (reply->error() == QNetworkReply::NoError)
        takeBody(); // what arrived after the last readyRead

    // Qt sometimes takes a connection closed early for the end of the body: hold the body
    // to its declared length.
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    const bool truncated = stopped == Fetched::Received && reply->error() == QNetworkReply::NoError
        && !bodiless(fetched.status) && declared.isValid() && received < declared.toLongLong();

    fetched.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    fetched.location = reply->rawHeader("Location");
    if (stopped != Fetched::Received && stopped != Fetched::NetworkError) {
        fetched.outcome = stopped;
    } else if (reply->error() != QNetworkReply::NoError) {
        fetched.outcome = Fetched::NetworkError;
        fetched.errorText = reply->errorString();
    } else if (truncated) {
        fetched.outcome = Fetched::NetworkError;
        fetched.errorText = QStringLiteral("Connection closed"); // what Qt says when it notices
    } else if (!decoder.complete()) {
        fetched.outcome = Fetched::Undecodable;
    } else {
        fetched.outcome = Fetched::Received;
    }
    if (fetched.outcome == Fetched::Received)
        fetched.body = decoder.take();
    if (fetched.outcome != Fetched::NetworkError)
        fetched.sslErrors.clear();
    delete reply;
    return fetched;
}

namespace {

// Why a body is not JSON, as far as a reader of the log can act on it.
QString notJson(const QString &address, const QByteArray &body, const QJsonParseError &error)
{
    const QByteArray start = body.left(512).trimmed().toLower();
    const bool html = start.startsWith("<!doctype html") || start.startsWith("<html")
        || start.contains("<head") || start.contains("<body");
    if (html)
        return logLine("Cannot read ", address, " - not JSON:", error.errorString(), "at offset",
            error.offset, "(the body looks like HTML)");
    return logLine(
        "Cannot read ", address, " - not JSON:", error.errorString(), "at offset", error.offset);
}

} // namespace

namespace {

// What downloadJSon() makes of @p fetched.
Downloaded parse(const QString &address, const Fetched &fetched, int transferTimeoutMs,
    const CancelToken &cancel)
{
    Downloaded result;
    switch (fetched.outcome) {
    case Fetched::Received:
        if (fetched.status >= 300 && fetched.status < 400 && !fetched.location.isEmpty()) {
            const QUrl target =
                QUrl(address, QUrl::TolerantMode).resolved(QUrl::fromEncoded(fetched.location));
            result.failure = logLine("Cannot download from ", address, " - redirected (HTTP",
                fetched.status, ") to", target.toString(), "- redirects are not followed");
        } else if (const QString problem =
                       signatureProblem(address, fetched.body, transferTimeoutMs, cancel);
                   !problem.isEmpty()) {
            result.failure = problem; // nothing of an unverified manifest is parsed
        } else {
            QJsonParseError error;
            result.document = QJsonDocument::fromJson(fetched.body, &error);
            if (error.error != QJsonParseError::NoError)
                result.failure = notJson(address, fetched.body, error);
        }
        break;
    case Fetched::InvalidAddress:
        result.failure = logLine("Cannot download from ", address, " - invalid address");
        break;
    case Fetched::NoReply:
        result.failure = logLine("NetworkAccessManager - NULL reply");
        break;
    case Fetched::NetworkError:
        if (!fetched.sslErrors.isEmpty()) {
            // Qt's error text says only that the handshake failed, not why.
            result.failure = logLine("Cannot download from ", address,
                " - certificate problems:", fetched.sslErrors.join(QLatin1String("; ")));
            qCWarning(lcMzupdater).noquote() << result.failure;
        }
        qCWarning(lcMzupdater).noquote()
            << logLine("(MZUpdater JSON) NAM error ", fetched.errorText);
        if (result.failure.isEmpty())
            result.failure = logLine("(MZUpdater JSON) NAM error ", fetched.errorText);
        return result;
    case Fetched::TooLarge:
        result.failure =
            logLine("Cannot download from ", address, " - manifest larger than 64 MiB");
        break;
    case Fetched::TooSlow:
        result.failure = logLine("Cannot download from ", address, " - not finished within",
            transferLimitMs.load() / 1000, "s");
        break;
    case Fetched::Undecodable:
        result.failure = logLine("Cannot download from ", address, " - cannot decode its",
            QString::fromLatin1(fetched.encoding), "body");
        break;
    }
    if (!result.failure.isEmpty())
        qCWarning(lcMzupdater).noquote() << result.failure;
    return result;
}

} // namespace

Downloaded download(const QString &address, int transferTimeoutMs, const CancelToken &cancel)
{
    // The manager is gone before the parse, as the caller waits for both.
    return parse(address, fetch(address, transferTimeoutMs, maximumManifestSize, cancel),
        transferTimeoutMs, cancel);
}

Downloaded download(Session &session, const QString &address, int transferTimeoutMs)
{
    return parse(
        address, fetch(session, address, transferTimeoutMs), transferTimeoutMs, session.token());
}

} // namespace Internal
} // namespace MZU

QJsonDocument downloadJSon(const QString &address)
{
    return downloadJSon(address, MZU::Internal::defaultTransferTimeoutMs);
}

QJsonDocument downloadJSon(const QString &address, int transferTimeoutMs)
{
    return MZU::Internal::download(address, transferTimeoutMs).document;
}
