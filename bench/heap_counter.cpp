#include "heap_counter.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <malloc.h>
#include <unistd.h>

// The C library's own allocator, under the names it keeps for code that replaces malloc.
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void *block);
}

namespace {

std::atomic<std::size_t> held{0};
std::atomic<std::size_t> high{0};

void *counted(void *block) {
    if (block != nullptr) {
        const std::size_t now =
            held.fetch_add(malloc_usable_size(block)) + malloc_usable_size(block);
        std::size_t seen = high.load(std::memory_order_relaxed);
        while (now > seen && !high.compare_exchange_weak(seen, now)) {
        }
    }
    return block;
}

void uncount(void *block) {
    if (block != nullptr) {
        held.fetch_sub(malloc_usable_size(block));
    }
}

} // namespace

namespace heap_counter {

std::size_t in_use() {
    return held.load();
}

std::size_t peak() {
    return high.load();
}

void reset_peak() {
    high.store(held.load());
}

} // namespace heap_counter

extern "C" {

void *malloc(std::size_t size) {
    return counted(__libc_malloc(size));
}

void free(void *block) {
    uncount(block);
    __libc_free(block);
}

void *calloc(std::size_t count, std::size_t size) {
    return counted(__libc_calloc(count, size));
}

void *realloc(void *block, std::size_t size) {
    if (block == nullptr) {
        return malloc(size);
    }
    if (size == 0) {
        free(block);
        return nullptr;
    }
    const std::size_t before = malloc_usable_size(block);
    void *moved = __libc_realloc(block, size);
    if (moved != nullptr) {
        held.fetch_sub(before);
        counted(moved);
    }
    return moved;
}

void *reallocarray(void *block, std::size_t count, std::size_t size) {
    std::size_t total = 0;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(block, total);
}

void *memalign(std::size_t alignment, std::size_t size) {
    return counted(__libc_memalign(alignment, size));
}

void *aligned_alloc(std::size_t alignment, std::size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void **out, std::size_t alignment, std::size_t size) {
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void *block = memalign(alignment, size);
    if (block == nullptr) {
        return ENOMEM;
    }
    *out = block;
    return 0;
}

void *valloc(std::size_t size) {
    return memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size);
}

void *pvalloc(std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return memalign(page, (size + page - 1) / page * page);
}

} // extern "C"
