// The storage of recorded values. A long run's result is large, and memory fresh from the system
// costs a page fault and the system's zeroing per 4 KB when first written: for a small model that
// is more than the integration of the step that writes it. Large blocks whose results have ended
// are therefore kept, a few and a bounded total, and handed to the next result of the same size
// (a repeated call on one grid asks for exactly the sizes the last one freed).
#include <array>
#include <cstddef>
#include <mutex>
#include <new>

#include "zarel/solver.hpp"

namespace zarel {

namespace {

constexpr std::size_t kLarge = std::size_t{1} << 16;  // 512 KiB of doubles and more are kept
constexpr std::size_t kKeptBlocks = 8;
constexpr std::size_t kKeptDoubles = std::size_t{1} << 24;  // 128 MiB in all

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

double* fresh(std::size_t n) { return static_cast<double*>(::operator new(n * sizeof(double))); }

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
        std::array<double*, kKeptBlocks> evicted{};
        std::size_t e = 0;
        {
            const std::lock_guard lock(k.mutex);
            // the oldest make room for the newest, which the next call most likely asks for again
            while (k.count > 0 && (k.count == kKeptBlocks || k.doubles + n > kKeptDoubles)) {
                evicted[e++] = k.blocks[0].p;
                k.remove(0);
            }
            k.blocks[k.count++] = {p, n};
            k.doubles += n;
        }
        for (std::size_t j = 0; j < e; ++j) ::operator delete(evicted[j]);
        return;
    }
    ::operator delete(p);
}

}  // namespace zarel
