// The arrays the packed code reads and writes, and the moves between them and the runs' own
// values: lane-major, value j of lane l at [j * W + l], a slot being the W lanes of one value.
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <vector>

namespace zarel {

// The arrays the packed code reads and writes: aligned to a cache line, so that no slot of four
// or eight lanes (32 or 64 bytes) straddles two lines.
template <class T>
struct LaneAllocator {
    using value_type = T;
    static constexpr std::align_val_t kAlign{64};
    LaneAllocator() = default;
    template <class U>
    LaneAllocator(const LaneAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, kAlign); }
    template <class U>
    bool operator==(const LaneAllocator<U>&) const noexcept { return true; }
};
using LaneArray = std::vector<double, LaneAllocator<double>>;

// Whether every value of a lane-major array of `width` lanes is finite, as all_finite tells, four
// lanes at a time where four or eight lanes are had.
bool all_finite_lanes(std::span<const double> v, std::size_t width);

// Sets the `width` lanes of one slot to v (lane-major: slot[0, width)) by a single store where the
// processor has one that wide: the packed code loads a slot whole, and a load of what several
// smaller stores wrote cannot be forwarded from them, so it waits until they reach the cache,
// behind the step before (a fifth of a Lorenz RK4 step in lanes).
void fill_lanes(double* slot, double v, std::size_t width);
// Slots [first, first + count) of a lane-major environment of `width` lanes, every lane set to
// the shared values v[0, count).
void broadcast(double* env, std::size_t width, std::size_t first, const double* v, std::size_t count);
// Copies `slots` slots of `width` lanes each, a slot by one store, for the same reason.
void copy_lanes(double* to, const double* from, std::size_t slots, std::size_t width);
// Writes `count` lane-major slots of `width` lanes as rows: lane l's values to rows[l][0, count),
// for every lane whose row is not null.
void put_lane_rows(const double* from, std::size_t count, std::size_t width, double* const* rows);

}  // namespace zarel
