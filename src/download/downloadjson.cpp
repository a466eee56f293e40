// SPDX-License-Identifier: MIT
#include "downloadjson.h"

#include "download_p.h"
#include "signature_p.h"

#include <QCoreApplication>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QThreadPool>
#include <QUrl>

#include <condition_variable>
#include <deque>
#include <mutex>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace MZU {
namespace Internal {

Q_LOGGING_CATEGORY(lcMzupdater, "mzupdater", QtWarningMsg)

QString structureProblem(const QByteArray &text)
{
    int containers = 0;
    int depth = 0;
    bool inString = false;
    for (const char *c = text.constData(), *end = c + text.size(); c < end; ++c) {
        if (inString) {
            if (*c == '\\')
                ++c;
            else if (*c == '"')
                inString = false;
            continue;
        }
        switch (*c) {
        case '"':
            inString = true;
            break;
        case '{':
        case '[':
            if (++containers > maximumContainers)
                return QStringLiteral("more than %L1 JSON objects and arrays")
                    .arg(maximumContainers);
            if (++depth > maximumDepth)
                return QStringLiteral("nested deeper than %1").arg(maximumDepth);
            break;
        case '}':
        case ']':
            --depth;
            break;
        default:
            break;
        }
    }
    return QString();
}

namespace {

// One parse at a time: the jobs that wait for the global pool, and the threads that wait here.
struct Gate
{
    std::mutex mutex;
    std::condition_variable freed;
    std::deque<std::function<void()>> queue;
    bool busy = false;

    void release()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (queue.empty()) {
            busy = false;
            freed.notify_one();
            return;
        }
        // The queue goes first: a thread waiting in Lock is woken when it runs dry.
        std::function<void()> next = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        start(std::move(next));
    }

    void start(std::function<void()> job)
    {
        QThreadPool::globalInstance()->start([this, job = std::move(job)]() mutable {
            job();
            job = nullptr;
            trim();
            release();
        });
    }

    // glibc keeps what a parse freed in the arena of the thread that ran it, and the next
    // parse may run on another thread: without this, N checks would still cost N parses.
    static void trim()
    {
#ifdef __GLIBC__
        malloc_trim(0);
#endif
    }
};

Gate &gate()
{
    static Gate instance;
    return instance;
}

} // namespace

void ParseGate::run(std::function<void()> job)
{
    Gate &g = gate();
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        if (g.busy) {
            g.queue.push_back(std::move(job));
            return;
        }
        g.busy = true;
    }
    g.start(std::move(job));
}

ParseGate::Lock::Lock()
{
    Gate &g = gate();
    std::unique_lock<std::mutex> lock(g.mutex);
    g.freed.wait(lock, [&g] { return !g.busy; });
    g.busy = true;
}

ParseGate::Lock::~Lock()
{
    gate().release();
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

// Qt sometimes takes a close for the end of a body without a declared length, which it
// then hands over cut. True when the JSON of @p fetched stops where a cut would stop it.
bool endsEarly(const Fetched &fetched, const QJsonParseError &error)
{
    const QByteArray text = fetched.body.trimmed();
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
    case QJsonParseError::GarbageAtEnd: {
        // A chunk announced larger than it was: the next chunk's size line and the last
        // chunk came through as data.
        static const QRegularExpression framing(
            QStringLiteral("^\\s*[0-9A-Fa-f]+[ \\t]*(;|\\r?\\n)"));
        return fetched.chunked
            && framing.match(QString::fromLatin1(fetched.body.mid(error.offset, 64))).hasMatch();
    }
    default:
        return false;
    }
}

// Why a body is not JSON, as far as a reader of the log can act on it.
QString notJson(const QByteArray &body, const QJsonParseError &error)
{
    if (body.trimmed().isEmpty())
        return QStringLiteral("not JSON: the body is empty");
    // Line and column as an editor counts them, in characters.
    const QByteArray before = body.left(error.offset);
    const int lineStart = int(before.lastIndexOf('\n')) + 1;
    const QString why = QStringLiteral("not JSON: %1 at %2:%3 (offset %4)")
                            .arg(error.errorString())
                            .arg(before.count('\n') + 1)
                            .arg(QString::fromUtf8(before.mid(lineStart)).size() + 1)
                            .arg(error.offset);
    const QString kind = notJsonBecause(body, error.offset);
    return kind.isEmpty() ? why : why + QStringLiteral("; the body ") + kind;
}

} // namespace

Downloaded readManifest(const QString &address, const Fetched &fetched, const Fetched *signature)
{
    Fetched manifest = fetched;
    manifest.join();
    Downloaded result;
    const QString shown = shownAddress(address);
    const QString from = QStringLiteral("Cannot download from %1 - ").arg(shown);
    if (manifest.outcome == Fetched::Received) {
        const QString problem = signature
            ? signatureProblem(address, manifest.body, *signature, &result.sequence)
            : QString();
        if (!problem.isEmpty()) {
            result.failure = problem; // nothing of an unverified manifest is parsed
        } else if (const QString structure = structureProblem(manifest.body);
                   !structure.isEmpty()) {
            result.failure = QStringLiteral("Cannot read %1 - ").arg(shown) + structure;
        } else {
            QJsonParseError error;
            result.document = QJsonDocument::fromJson(manifest.body, &error);
            if (error.error == QJsonParseError::NoError)
                return result;
            if (!manifest.lengthDeclared && endsEarly(manifest, error))
                // Or the file itself ends early: nothing here tells the two apart.
                result.failure = from
                    + QStringLiteral("cut off before the body ended (or the "
                                     "file is incomplete)");
            else
                result.failure =
                    QStringLiteral("Cannot read %1 - ").arg(shown) + notJson(manifest.body, error);
        }
    } else {
        result.failure = address.isEmpty()
            ? QStringLiteral("Cannot download: the manifest address is empty")
            : from + manifest.problem;
    }
    // The lines hosts have always seen, QDebug quoting and all; the reason says more.
    if (manifest.outcome == Fetched::InvalidAddress)
        qCWarning(lcMzupdater) << "Cannot download from " << shown << " - invalid address";
    else if (manifest.outcome == Fetched::NoReply)
        qCWarning(lcMzupdater) << "NetworkAccessManager - NULL reply";
    else if (!manifest.errorText.isEmpty())
        qCWarning(lcMzupdater) << "(MZUpdater JSON) NAM error " << manifest.errorText;
    qCWarning(lcMzupdater).noquote() << result.failure;
    return result;
}

Downloaded download(Session &session, const QString &address, int transferTimeoutMs)
{
    const Fetched manifest = fetch(session, address, transferTimeoutMs);
    if (manifest.outcome != Fetched::Received)
        return readManifest(address, manifest, nullptr);
    Fetched signature;
    const Signing signedOnly = signing();
    if (signedOnly == Signing::Verify)
        signature =
            fetch(session, signatureAddress(address), transferTimeoutMs, maximumSignatureSize);
    const ParseGate::Lock parsing;
    return readManifest(address, manifest, signedOnly == Signing::None ? nullptr : &signature);
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
