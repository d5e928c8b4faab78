// Buffer sizes computed from caller-given counts, refused instead of wrapped around.
#pragma once

#include <cstddef>
#include <new>

namespace zarel {

// a * b as a buffer length; a product that does not fit could never be allocated, so it is
// reported as the allocation failure it would be rather than sizing a buffer far too small.
inline std::size_t checked_product(std::size_t a, std::size_t b) {
    std::size_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) throw std::bad_alloc();
    return out;
}

inline std::size_t checked_sum(std::size_t a, std::size_t b) {
    std::size_t out = 0;
    if (__builtin_add_overflow(a, b, &out)) throw std::bad_alloc();
    return out;
}

}  // namespace zarel
