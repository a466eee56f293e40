// SPDX-License-Identifier: MIT
// The transfers' place in the process: the access managers they run on, the registry that
// ends them as the application exits, and the blocking fetch of downloadJSon().
#include "download_p.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QScopeGuard>
#include <QThread>
#include <QThreadStorage>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace MZU {
namespace Internal {

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
        if (waitedFor)
            transfer->cancelLater();
        else if (transfer->context()->thread() == QThread::currentThread())
            transfer->halt();
        else
            transfer->haltLater();
    }
    r.changed.wait_for(lock, std::chrono::seconds(1), [&r] { return r.blocking.empty(); });
}

void remove(std::vector<Transfer *> &list, Transfer *transfer)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    list.erase(std::remove(list.begin(), list.end(), transfer), list.end());
    r.changed.notify_all();
}

} // namespace

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

void discharge(Transfer *transfer)
{
    remove(registry().transfers, transfer);
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
    remove(registry().blocking, &transfer);
    return fetched;
}

} // namespace Internal
} // namespace MZU
