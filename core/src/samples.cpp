// The storage of recorded values. A long run's result is large, and memory fresh from the system
// costs a page fault and the system's zeroing per 4 KB when first written: for a small model that
// is more than the integration of the step that writes it. Large blocks whose results have ended
// are therefore kept, a few and a bounded total, and handed to the next result of the same size
// (a repeated call on one grid asks for exactly the sizes the last one freed). The largest are
// mapped on their own, in 2 MiB pages where the system grants them.
#include <array>
#include <cstddef>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "zarel/solver.hpp"

namespace zarel {

namespace {

constexpr std::size_t kLarge = std::size_t{1} << 16;  // 512 KiB of doubles and more are kept
constexpr std::size_t kKeptBlocks = 8;
// 256 MiB in all: room for a sweep's result of a few thousand runs over a thousand points (states,
// energy and supplied power), which zarel.sweep takes from here so that the next sweep reuses it
constexpr std::size_t kKeptDoubles = std::size_t{1} << 25;

struct Block {
    double* p = nullptr;
    std::size_t n = 0;
};

// The kept blocks, oldest first.
struct Kept {
    std::mutex mutex;
    std::array<Block, kKeptBlocks> blocks;
    std::size_t count = 0, doubles = 0;

    void remove(std::size_t k) {
        doubles -= blocks[k].n;
        for (std::size_t j = k + 1; j < count; ++j) blocks[j - 1] = blocks[j];
        --count;
    }
};

Kept& kept() {
    static Kept* k = new Kept;  // never destroyed: results may end after static destruction
    return *k;
}

#if defined(__linux__)
// Blocks of 4 MiB and more are mapped on their own and asked to be backed by 2 MiB pages, where
// the system grants them on request: one page fault instead of 512.
constexpr std::size_t kHuge = std::size_t{1} << 19;  // 4 MiB of doubles

double* fresh(std::size_t n) {
    if (n < kHuge) return static_cast<double*>(::operator new(n * sizeof(double)));
    void* p = ::mmap(nullptr, n * sizeof(double), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    ::madvise(p, n * sizeof(double), MADV_HUGEPAGE);  // a refusal leaves ordinary pages
    return static_cast<double*>(p);
}

void free_block(double* p, std::size_t n) noexcept {
    if (n < kHuge) return ::operator delete(p);
    ::munmap(p, n * sizeof(double));
}
#else
double* fresh(std::size_t n) { return static_cast<double*>(::operator new(n * sizeof(double))); }

void free_block(double* p, std::size_t) noexcept { ::operator delete(p); }
#endif

}  // namespace

double* allocate_samples(std::size_t n) {
    if (n < kLarge) return fresh(n);
    Kept& k = kept();
    {
        const std::lock_guard lock(k.mutex);
        for (std::size_t j = k.count; j-- > 0;) {
            if (k.blocks[j].n != n) continue;
            double* p = k.blocks[j].p;
            k.remove(j);
            return p;
        }
    }
    return fresh(n);
}

void release_samples(double* p, std::size_t n) noexcept {
    if (n >= kLarge && n <= kKeptDoubles) {
        Kept& k = kept();
        std::array<Block, kKeptBlocks> evicted{};
        std::size_t e = 0;
        {
            const std::lock_guard lock(k.mutex);
            // the oldest make room for the newest, which the next call most likely asks for again
            while (k.count > 0 && (k.count == kKeptBlocks || k.doubles + n > kKeptDoubles)) {
                evicted[e++] = k.blocks[0];
                k.remove(0);
            }
            k.blocks[k.count++] = {p, n};
            k.doubles += n;
        }
        for (std::size_t j = 0; j < e; ++j) free_block(evicted[j].p, evicted[j].n);
        return;
    }
    free_block(p, n);
}

}  // namespace zarel
