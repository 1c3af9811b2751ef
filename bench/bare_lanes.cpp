// Built like the library's kernels: one function per unit with its target
// attribute, sharing a template that is always inlined into them.

#include "bare_lanes.hpp"

#include <cmath>
#include <cstring>
#include <vector>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace {

// inv(d) and lim(d) for the odd d from 3 to 65,537, worked out here, apart
// from the library's table.
struct table {
    std::vector<std::uint32_t> inverse;
    std::vector<std::uint32_t> limit;
};

const table& divisor_table() {
    static const table t = [] {
        table made;
        for (std::uint32_t d = 3; d <= 65'537; d += 2) {
            std::uint32_t inverse = 1;
            // The inverse bit by bit: the lowest bit of d * inverse that is
            // still wrong is set by adding d shifted there.
            for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
                inverse |= ((d * inverse) & (bit << 1)) != 0 ? bit << 1 : 0;
            }
            made.inverse.push_back(inverse);
            made.limit.push_back(0xFFFFFFFFU / d);
        }
        return made;
    }();
    return t;
}

template <typename V> constexpr std::uint32_t LANES = sizeof(V) / sizeof(std::uint32_t);

template <typename V>
[[gnu::always_inline]] inline bool has_divisor(std::uint32_t n, std::uint32_t divisions,
                                               const table& t) {
    const V value = V{} + n;
    decltype(value <= value) found{};
    for (std::uint32_t at = 0; at < divisions; at += LANES<V>) {
        V inverse;
        V limit;
        std::memcpy(&inverse, t.inverse.data() + at, sizeof inverse);
        std::memcpy(&limit, t.limit.data() + at, sizeof limit);
        found |= value * inverse <= limit;
    }
    for (std::uint32_t i = 0; i < LANES<V>; ++i) {
        if (found[i] != 0) {
            return true;
        }
    }
    return false;
}

template <typename V>
[[gnu::always_inline]] inline std::size_t bare(const std::uint32_t* values,
                                               const std::uint32_t* divisions, std::size_t count) {
    const table& t = divisor_table();
    std::size_t found = 0;
    for (std::size_t k = 0; k < count; ++k) {
        found += has_divisor<V>(values[k], divisions[k], t) ? 1 : 0;
    }
    return found;
}

using u32x4 = std::uint32_t __attribute__((vector_size(16)));

std::size_t bare_4(const std::uint32_t* values, const std::uint32_t* divisions, std::size_t count) {
    return bare<u32x4>(values, divisions, count);
}

#ifdef __x86_64__
using u32x8 = std::uint32_t __attribute__((vector_size(32)));
using u32x16 = std::uint32_t __attribute__((vector_size(64)));

[[gnu::target("avx2")]] std::size_t bare_8(const std::uint32_t* values,
                                           const std::uint32_t* divisions, std::size_t count) {
    return bare<u32x8>(values, divisions, count);
}

[[gnu::target("avx512f")]] std::size_t bare_16(const std::uint32_t* values,
                                               const std::uint32_t* divisions, std::size_t count) {
    return bare<u32x16>(values, divisions, count);
}

// The unit's limit for the test: a multiply and an unsigned compare into a
// mask register per vector of pairs, ORed there, and nothing else; eight
// vectors of values against one broadcast divisor at a time, so that
// neither the multiplies' latency nor a load can hold it up.
[[gnu::target("avx512f")]] std::uint64_t limit_16(std::uint32_t seed, std::size_t divisors) {
    __m512i value[8];
    for (int v = 0; v < 8; ++v) {
        value[v] = _mm512_set1_epi32(static_cast<int>(seed + 2 * static_cast<std::uint32_t>(v)));
    }
    __mmask16 hits[8] = {};
    __m512i inverse = _mm512_set1_epi32(static_cast<int>(seed | 1));
    const __m512i limit = _mm512_set1_epi32(static_cast<int>(seed >> 8));
    const __m512i step = _mm512_set1_epi32(2);
    for (std::size_t d = 0; d < divisors; ++d) {
        for (int v = 0; v < 8; ++v) {
            hits[v] |= _mm512_cmple_epu32_mask(_mm512_mullo_epi32(value[v], inverse), limit);
        }
        inverse = _mm512_add_epi32(inverse, step);
    }
    std::uint64_t all = 0;
    for (const __mmask16 h : hits) {
        all += h;
    }
    return all;
}

// The multiplier's own limit: the multiplies alone, each vector multiplied
// in place, in sixteen chains so that none waits on the one before.
[[gnu::target("avx512f")]] std::uint64_t multiplies_16(std::uint32_t seed, std::size_t divisors) {
    __m512i value[16];
    for (int v = 0; v < 16; ++v) {
        value[v] = _mm512_set1_epi32(static_cast<int>(seed + 2 * static_cast<std::uint32_t>(v)));
    }
    const __m512i inverse = _mm512_set1_epi32(static_cast<int>(seed | 1));
    for (std::size_t d = 0; d < divisors / 2; ++d) {
        for (int v = 0; v < 16; ++v) {
            value[v] = _mm512_mullo_epi32(value[v], inverse);
        }
    }
    __m512i all = value[0];
    for (int v = 1; v < 16; ++v) {
        all = _mm512_xor_si512(all, value[v]);
    }
    std::uint32_t lanes[16];
    _mm512_storeu_si512(lanes, all);
    return lanes[0];
}
#endif

} // namespace

std::size_t bare_lanes(int lanes, const std::uint32_t* values, const std::uint32_t* divisions,
                       std::size_t count) {
#ifdef __x86_64__
    if (lanes == 16) {
        return bare_16(values, divisions, count);
    }
    if (lanes == 8) {
        return bare_8(values, divisions, count);
    }
#endif
    (void)lanes;
    return bare_4(values, divisions, count);
}

std::uint64_t unit_limit(std::uint32_t seed, std::size_t divisors, int with_compare) {
#ifdef __x86_64__
    return with_compare != 0 ? limit_16(seed, divisors) : multiplies_16(seed, divisors);
#else
    (void)seed;
    (void)divisors;
    (void)with_compare;
    return 0;
#endif
}

std::uint32_t trial_divisions(std::uint32_t n) {
    if (n <= 2 || n % 2 == 0) {
        return 0;
    }
    const double bound = std::sqrt(static_cast<double>(n));
    std::uint32_t made = 0;
    for (std::uint32_t i = 3; static_cast<double>(i) <= bound; i += 2) {
        ++made;
        if (n % i == 0) {
            break;
        }
    }
    return made;
}
