// Built like the library's kernels: one function per unit with its target
// attribute, sharing a template that is always inlined into them.

#include "bare_lanes.hpp"

#include <cmath>
#include <type_traits>

namespace {

template <typename V> using lane_of = std::remove_cvref_t<decltype(V{}[0])>;
template <typename V> constexpr std::uint32_t LANES = sizeof(V) / sizeof(lane_of<V>);

// Whether any of `divisions` odd numbers from 3 gives a whole quotient, with
// the whole-number test of the library and nothing else.
template <typename V>
[[gnu::always_inline]] inline bool has_whole_quotient(std::uint32_t n, std::uint32_t divisions) {
    using F = lane_of<V>;
    constexpr F TO_WHOLE = sizeof(F) == 8 ? F(0x1p52) : F(0x1p23);
    V divisor{};
    for (std::uint32_t i = 0; i < LANES<V>; ++i) {
        divisor[i] = static_cast<F>(3 + 2 * i);
    }
    const V value = V{} + static_cast<F>(n);
    decltype(divisor == divisor) whole{};
    for (std::uint32_t done = 0; done < divisions; done += LANES<V>) {
        const V quotient = value / divisor;
        whole |= (quotient + TO_WHOLE) - TO_WHOLE == quotient;
        divisor += static_cast<F>(2 * LANES<V>);
    }
    for (std::uint32_t i = 0; i < LANES<V>; ++i) {
        if (whole[i] != 0) {
            return true;
        }
    }
    return false;
}

template <typename V, typename W>
[[gnu::always_inline]] inline std::size_t bare(const std::uint32_t* values,
                                               const std::uint32_t* divisions, std::size_t count) {
    std::size_t found = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t n = values[k];
        found += (n < (1U << 23) ? has_whole_quotient<W>(n, divisions[k])
                                 : has_whole_quotient<V>(n, divisions[k]))
                     ? 1
                     : 0;
    }
    return found;
}

using f64x2 = double __attribute__((vector_size(16)));
using f32x4 = float __attribute__((vector_size(16)));

std::size_t bare_16(const std::uint32_t* values, const std::uint32_t* divisions,
                    std::size_t count) {
    return bare<f64x2, f32x4>(values, divisions, count);
}

#ifdef __x86_64__
using f64x4 = double __attribute__((vector_size(32)));
using f32x8 = float __attribute__((vector_size(32)));
using f64x8 = double __attribute__((vector_size(64)));
using f32x16 = float __attribute__((vector_size(64)));

[[gnu::target("avx2")]] std::size_t bare_32(const std::uint32_t* values,
                                            const std::uint32_t* divisions, std::size_t count) {
    return bare<f64x4, f32x8>(values, divisions, count);
}

[[gnu::target("avx512f")]] std::size_t bare_64(const std::uint32_t* values,
                                               const std::uint32_t* divisions, std::size_t count) {
    return bare<f64x8, f32x16>(values, divisions, count);
}
#endif

} // namespace

std::size_t bare_lanes(int double_lanes, const std::uint32_t* values,
                       const std::uint32_t* divisions, std::size_t count) {
#ifdef __x86_64__
    if (double_lanes == 8) {
        return bare_64(values, divisions, count);
    }
    if (double_lanes == 4) {
        return bare_32(values, divisions, count);
    }
#endif
    return bare_16(values, divisions, count);
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
