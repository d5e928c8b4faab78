// The moves of lane_arrays.hpp: a slot at a time by AVX where four lanes are had (only on
// processors with AVX2) and by AVX-512F where eight are (only on processors with it), value by
// value otherwise.
#include "lane_arrays.hpp"

#include <algorithm>

#include "run.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zarel {

#if defined(__x86_64__)
namespace {
__attribute__((target("avx"))) void fill_four(double* slot, double v) { _mm256_storeu_pd(slot, _mm256_set1_pd(v)); }
__attribute__((target("avx"))) void copy_four(double* to, const double* from, std::size_t slots) {
    for (std::size_t j = 0; j < slots; ++j) _mm256_storeu_pd(to + 4 * j, _mm256_loadu_pd(from + 4 * j));
}
__attribute__((target("avx512f"))) void fill_eight(double* slot, double v) { _mm512_storeu_pd(slot, _mm512_set1_pd(v)); }
__attribute__((target("avx512f"))) void copy_eight(double* to, const double* from, std::size_t slots) {
    for (std::size_t j = 0; j < slots; ++j) _mm512_storeu_pd(to + 8 * j, _mm512_loadu_pd(from + 8 * j));
}

// Four slots of four lanes at a time, transposed in registers: a row of four values per lane.
// The four lanes are the first of slots `stride` doubles apart (eight lanes: two calls, on the
// first four and the last four).
__attribute__((target("avx"))) void rows_four(const double* from, std::size_t stride, std::size_t count,
                                              double* const* rows) {
    for (std::size_t i = 0; i < count; i += 4) {
        __m256d v[4];
        for (std::size_t j = 0; j < 4; ++j)
            v[j] = i + j < count ? _mm256_loadu_pd(from + stride * (i + j)) : _mm256_setzero_pd();
        const __m256d a = v[0], b = v[1], c = v[2], d = v[3];
        const __m256d ab_even = _mm256_unpacklo_pd(a, b), ab_odd = _mm256_unpackhi_pd(a, b);
        const __m256d cd_even = _mm256_unpacklo_pd(c, d), cd_odd = _mm256_unpackhi_pd(c, d);
        const __m256d lane[4] = {_mm256_permute2f128_pd(ab_even, cd_even, 0x20),
                                 _mm256_permute2f128_pd(ab_odd, cd_odd, 0x20),
                                 _mm256_permute2f128_pd(ab_even, cd_even, 0x31),
                                 _mm256_permute2f128_pd(ab_odd, cd_odd, 0x31)};
        const std::size_t left = count - i;
        for (int l = 0; l < 4; ++l) {
            double* row = rows[l];
            if (!row) continue;
            if (left >= 4) {
                _mm256_storeu_pd(row + i, lane[l]);
                continue;
            }
            const __m128d low = _mm256_castpd256_pd128(lane[l]);
            if (left == 1) {
                _mm_store_sd(row + i, low);
                continue;
            }
            _mm_storeu_pd(row + i, low);
            if (left == 3) _mm_store_sd(row + i + 2, _mm256_extractf128_pd(lane[l], 1));
        }
    }
}
// x - x is +0 for a finite x and NaN otherwise; four sums of four lanes each. Any width that is a
// multiple of four reads as slots of four.
__attribute__((target("avx"))) bool finite_four(const double* v, std::size_t slots) {
    __m256d a[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
    std::size_t j = 0;
    for (; j + 4 <= slots; j += 4)
        for (std::size_t k = 0; k < 4; ++k) {
            const __m256d x = _mm256_loadu_pd(v + 4 * (j + k));
            a[k] = _mm256_add_pd(a[k], _mm256_sub_pd(x, x));
        }
    for (; j < slots; ++j) {
        const __m256d x = _mm256_loadu_pd(v + 4 * j);
        a[0] = _mm256_add_pd(a[0], _mm256_sub_pd(x, x));
    }
    const __m256d sum = _mm256_add_pd(_mm256_add_pd(a[0], a[1]), _mm256_add_pd(a[2], a[3]));
    // ordered and equal to zero in every lane
    return _mm256_movemask_pd(_mm256_cmp_pd(sum, _mm256_setzero_pd(), _CMP_EQ_OQ)) == 0xF;
}
}  // namespace
#endif

bool all_finite_lanes(std::span<const double> v, std::size_t width) {
#if defined(__x86_64__)
    if (width == 4 || width == 8) return finite_four(v.data(), v.size() / 4);
#endif
    return all_finite(v.data(), v.size());
}

void fill_lanes(double* slot, double v, std::size_t width) {
#if defined(__x86_64__)
    if (width == 4) return fill_four(slot, v);
    if (width == 8) return fill_eight(slot, v);
#endif
    std::fill_n(slot, width, v);
}

void broadcast(double* env, std::size_t width, std::size_t first, const double* v, std::size_t count) {
    for (std::size_t j = 0; j < count; ++j) fill_lanes(env + (first + j) * width, v[j], width);
}

void copy_lanes(double* to, const double* from, std::size_t slots, std::size_t width) {
#if defined(__x86_64__)
    if (width == 4) return copy_four(to, from, slots);
    if (width == 8) return copy_eight(to, from, slots);
#endif
    std::copy_n(from, slots * width, to);
}

void put_lane_rows(const double* from, std::size_t count, std::size_t width, double* const* rows) {
#if defined(__x86_64__)
    if (width == 4) return rows_four(from, 4, count, rows);
    if (width == 8) {
        rows_four(from, 8, count, rows);
        return rows_four(from + 4, 8, count, rows + 4);
    }
#endif
    for (std::size_t l = 0; l < width; ++l)
        if (rows[l])
            for (std::size_t i = 0; i < count; ++i) rows[l][i] = from[i * width + l];
}

}  // namespace zarel
