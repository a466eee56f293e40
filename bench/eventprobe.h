#ifndef EVENTPROBE_H
#define EVENTPROBE_H

#include <QCoreApplication>

#include <cstdint>

// Times every event that the main thread's event loop dispatches, outermost dispatches
// only: for that long the loop could do nothing else, which is what a host's user feels.
// A timer's gaps say the same with the timer's own slack added; this says it exactly.
class ProbedApplication : public QCoreApplication
{
public:
    ProbedApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;
};

namespace EventProbe {

struct Blocks
{
    std::int64_t longestNs = 0; // the longest outermost dispatch, wall clock
    std::int64_t longestCpuNs = 0; // the main thread's CPU time during that dispatch
    std::int64_t markedNs = 0; // the longest dispatch during which mark() was called
};

/// Starts recording; dispatches already running when this is called are not counted.
void start();
/// Stops recording and returns what was recorded since start().
Blocks stop();
/// Marks the dispatch now running, e.g. from a slot, to learn how long that one took.
void mark();

} // namespace EventProbe

#endif // EVENTPROBE_H
