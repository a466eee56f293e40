#include "eventprobe.h"

#include <QElapsedTimer>
#include <QThread>

#include <ctime>

namespace EventProbe {

namespace {

// Touched only by the main thread.
struct State
{
    bool recording = false;
    int depth = 0;
    bool counting = false; // the running outermost dispatch began while recording
    bool marked = false;
    std::int64_t beganNs = 0;
    std::int64_t beganCpuNs = 0;
    QElapsedTimer clock;
    Blocks blocks;
} state;

std::int64_t threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

void start()
{
    state.blocks = Blocks();
    state.clock.start();
    state.recording = true;
}

Blocks stop()
{
    state.recording = false;
    return state.blocks;
}

void mark()
{
    state.marked = true;
}

} // namespace EventProbe

ProbedApplication::ProbedApplication(int &argc, char **argv)
    : QCoreApplication(argc, argv)
{
}

bool ProbedApplication::notify(QObject *receiver, QEvent *event)
{
    using namespace EventProbe;
    // Qt 5 calls notify() for every thread; only the main thread's loop is the host's.
    if (QThread::currentThread() != thread())
        return QCoreApplication::notify(receiver, event);
    if (state.depth == 0) {
        state.counting = state.recording;
        state.marked = false;
        if (state.counting) {
            state.beganNs = state.clock.nsecsElapsed();
            state.beganCpuNs = threadCpuNs();
        }
    }
    ++state.depth;
    const bool handled = QCoreApplication::notify(receiver, event);
    --state.depth;
    if (state.depth == 0 && state.counting && state.recording) {
        const std::int64_t took = state.clock.nsecsElapsed() - state.beganNs;
        if (took > state.blocks.longestNs) {
            state.blocks.longestNs = took;
            state.blocks.longestCpuNs = threadCpuNs() - state.beganCpuNs;
        }
        if (state.marked && took > state.blocks.markedNs)
            state.blocks.markedNs = took;
    }
    return handled;
}
