#include "heapcount.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <malloc.h>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);
}

namespace {

std::atomic<bool> counting { false };
std::atomic<std::int64_t> live { 0 };
std::atomic<std::int64_t> highest { 0 };

void add(std::int64_t bytes)
{
    const std::int64_t now = live.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    std::int64_t seen = highest.load(std::memory_order_relaxed);
    while (now > seen && !highest.compare_exchange_weak(seen, now, std::memory_order_relaxed)) { }
}

void *allocated(void *block)
{
    if (block && counting.load(std::memory_order_relaxed))
        add(std::int64_t(malloc_usable_size(block)));
    return block;
}

} // namespace

namespace HeapCount {

void start()
{
    live.store(0);
    highest.store(0);
    counting.store(true);
}

Sample stop()
{
    counting.store(false);
    return Sample { live.load(), highest.load() };
}

} // namespace HeapCount

extern "C" {

void *malloc(size_t size)
{
    return allocated(__libc_malloc(size));
}

void *calloc(size_t count, size_t size)
{
    return allocated(__libc_calloc(count, size));
}

void *realloc(void *block, size_t size)
{
    if (!counting.load(std::memory_order_relaxed))
        return __libc_realloc(block, size);
    const std::int64_t before = block ? std::int64_t(malloc_usable_size(block)) : 0;
    void *moved = __libc_realloc(block, size);
    if (moved)
        add(std::int64_t(malloc_usable_size(moved)) - before);
    else if (size == 0)
        add(-before); // glibc frees the block
    return moved;
}

void *memalign(size_t alignment, size_t size)
{
    return allocated(__libc_memalign(alignment, size));
}

void *aligned_alloc(size_t alignment, size_t size)
{
    return allocated(__libc_memalign(alignment, size));
}

int posix_memalign(void **result, size_t alignment, size_t size)
{
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void *block = __libc_memalign(alignment, size);
    if (!block)
        return ENOMEM;
    *result = allocated(block);
    return 0;
}

void free(void *block)
{
    if (block && counting.load(std::memory_order_relaxed))
        add(-std::int64_t(malloc_usable_size(block)));
    __libc_free(block);
}

} // extern "C"
