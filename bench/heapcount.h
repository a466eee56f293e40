#ifndef HEAPCOUNT_H
#define HEAPCOUNT_H

#include <cstdint>

// Counts the heap bytes of the whole process while enabled. The benchmark replaces malloc
// and friends, so Qt's allocations are seen too; when disabled the cost is one load.
namespace HeapCount {

struct Sample
{
    std::int64_t held = 0; // bytes still allocated at stop(), net of what was freed
    std::int64_t peak = 0; // the highest net figure between start() and stop()
};

void start();
Sample stop();

} // namespace HeapCount

#endif // HEAPCOUNT_H
