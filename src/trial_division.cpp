// Trial division in vector lanes, and the choice of the unit it runs on.
//
// Why it is laid out this way: one binary has to run on every processor of
// its architecture, so nothing built for a wider unit may be reachable from
// the path an older processor takes. Each kernel is therefore a function of
// its own that carries its unit's target attribute, and the helpers the
// kernels share are templates that are always inlined into them, so no copy
// of a helper exists that was built for a wider unit than its caller's. The
// file is built with no -m flags, so that no inline function it defines, or
// takes from a header, can be a wide copy that the linker keeps for
// everyone. The kernel is picked once, at the first call, from the
// processor's own feature bits.

#include "trial_division.hpp"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>

#ifdef __x86_64__
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace primecheck {

namespace {

// GCC and clang vector extensions: arithmetic and comparisons work lane by
// lane, and a comparison gives a vector of signed integers of the lanes'
// width, all ones where it holds.
using f64x2 = double __attribute__((vector_size(16)));
using f32x4 = float __attribute__((vector_size(16)));
#ifdef __x86_64__
using f64x4 = double __attribute__((vector_size(32)));
using f32x8 = float __attribute__((vector_size(32)));
using f64x8 = double __attribute__((vector_size(64)));
using f32x16 = float __attribute__((vector_size(64)));
#endif

template <typename V> using lane_of = std::remove_cvref_t<decltype(V{}[0])>;
template <typename V> constexpr std::uint32_t LANES = sizeof(V) / sizeof(lane_of<V>);

// Below this, floats hold n and every quotient exactly enough (see below),
// and give twice the lanes.
constexpr std::uint32_t FLOAT_LIMIT = 1U << 23;

// Adding and taking away 2^52 (2^23 in a float) rounds any quotient below it
// to a whole number.
template <typename F> constexpr F TO_WHOLE = sizeof(F) == 8 ? F(0x1p52) : F(0x1p23);

// The helpers below take vectors by reference only: a vector passed by
// value would make a function's calling convention depend on the unit it
// was built for.

// 3, 5, 7, ...: the first odd divisors, one a lane.
template <typename V, typename LANE_INDICES = std::make_index_sequence<LANES<V>>>
constexpr V FIRST_DIVISORS{};
template <typename V, std::size_t... I>
constexpr V FIRST_DIVISORS<V, std::index_sequence<I...>> = V{static_cast<lane_of<V>>(3 + 2 * I)...};

// Bit i set where lane i of a equals lane i of b. Turning a comparison into
// bits has no portable form that compilers make cheap, so each unit has its
// own (below); this is the fallback for the others.
template <typename V> inline unsigned equal_lanes(const V& a, const V& b) {
    unsigned bits = 0;
    for (std::uint32_t i = 0; i < LANES<V>; ++i) {
        bits |= a[i] == b[i] ? 1U << i : 0U;
    }
    return bits;
}

#ifdef __x86_64__
inline unsigned equal_lanes(const f64x2& a, const f64x2& b) {
    return static_cast<unsigned>(_mm_movemask_pd(_mm_cmpeq_pd(a, b)));
}
inline unsigned equal_lanes(const f32x4& a, const f32x4& b) {
    return static_cast<unsigned>(_mm_movemask_ps(_mm_cmpeq_ps(a, b)));
}
[[gnu::target("avx2")]] inline unsigned equal_lanes(const f64x4& a, const f64x4& b) {
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_EQ_OQ)));
}
[[gnu::target("avx2")]] inline unsigned equal_lanes(const f32x8& a, const f32x8& b) {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_EQ_OQ)));
}
[[gnu::target("avx512f")]] inline unsigned equal_lanes(const f64x8& a, const f64x8& b) {
    return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ);
}
[[gnu::target("avx512f")]] inline unsigned equal_lanes(const f32x16& a, const f32x16& b) {
    return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ);
}
#elif defined(__aarch64__)
// Each lane's all-ones result keeps its own bit, and the lanes are summed.
inline unsigned equal_lanes(const f64x2& a, const f64x2& b) {
    const uint64x2_t bit = {1, 2};
    return static_cast<unsigned>(vaddvq_u64(vandq_u64(vceqq_f64(a, b), bit)));
}
inline unsigned equal_lanes(const f32x4& a, const f32x4& b) {
    const uint32x4_t bit = {1, 2, 4, 8};
    return vaddvq_u32(vandq_u32(vceqq_f32(a, b), bit));
}
#endif

// Bit i set where the divisor in lane i divides n (held in `value`), by
// division.
//
// n and every divisor d are whole numbers held exactly. Where d divides n,
// the quotient is a whole number, which the division gives exactly. Where it
// does not, n / d lies at least 1/d from every whole number, while the
// rounded quotient is off by less than one unit in its last place, whatever
// the rounding mode: less than 2^-52 * n / d in a double, 2^-23 * n / d in a
// float. For every 32-bit n in doubles, and n below 2^23 in floats, that is
// less than 1/d, so the quotient cannot be whole. So d divides n exactly when
// the quotient is a whole number.
template <typename V>
[[gnu::always_inline]] inline unsigned divides_by_division(const V& value, const V& divisor) {
    using F = lane_of<V>;
    const V quotient = value / divisor;
    const V whole = (quotient + TO_WHOLE<F>)-TO_WHOLE<F>;
    return equal_lanes(whole, quotient);
}

// 1 when one of `left` odd numbers from the lanes of `divisor` on divides n,
// trying a vector of them at a time by division and stopping at the first
// vector that holds a divisor. Lanes past the last one decide nothing.
template <typename V>
[[gnu::always_inline]] inline int divisor_in_lanes(std::uint32_t n, V& divisor,
                                                   std::uint32_t left) {
    using F = lane_of<V>;
    const V value = V{} + static_cast<F>(n);
    for (;; left -= LANES<V>) {
        const unsigned divides = divides_by_division(value, divisor);
        if (left <= LANES<V>) {
            return (divides & ((1U << left) - 1)) != 0 ? 1 : 0;
        }
        if (divides != 0) {
            return 1;
        }
        divisor += static_cast<F>(2 * LANES<V>);
    }
}

// All of n's odd divisors from 3 on, by division in the lanes of V.
template <typename V>
[[gnu::always_inline]] inline int odd_divisor_by_division(std::uint32_t n, std::uint32_t divisors) {
    V divisor = FIRST_DIVISORS<V>;
    return divisor_in_lanes(n, divisor, divisors);
}

// The kernel for a unit whose vectors are V wide in doubles and W in floats.
template <typename V, typename W>
[[gnu::always_inline]] inline int odd_divisor_in(std::uint32_t n, std::uint32_t divisors) {
    return n < FLOAT_LIMIT ? odd_divisor_by_division<W>(n, divisors)
                           : odd_divisor_by_division<V>(n, divisors);
}

#ifdef __x86_64__

// SSE2 is every x86-64 processor's, so this kernel needs no attribute.
int odd_divisor_sse2(std::uint32_t n, std::uint32_t divisors) {
    return odd_divisor_in<f64x2, f32x4>(n, divisors);
}

[[gnu::target("avx2")]] int odd_divisor_avx2_division(std::uint32_t n, std::uint32_t divisors) {
    return odd_divisor_in<f64x4, f32x8>(n, divisors);
}

// The AVX2 form of the reciprocal path below, from the processor's 12-bit
// estimate in floats: the divisors are below 2^16, so `divisor_in_floats`
// holds them exactly, and the estimate r0 = (1 - e)/d has |e| <= 1.5 * 2^-12.
// The same third-order step leaves |e^3| < 2^-34, and where d divides n,
// n/d < 2^31, so n*r still lies within 2^-3 of it; the rest of the argument
// is unchanged.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline f64x4
reciprocal_estimate(const f32x4& divisor_in_floats) {
    return _mm256_cvtps_pd(_mm_rcp_ps(divisor_in_floats));
}

[[gnu::target("avx2,fma"), gnu::always_inline]] inline f64x4
reciprocal_quotient(const f64x4& value, const f64x4& divisor, const f64x4& estimate) {
    const f64x4 one = f64x4{} + 1.0;
    const f64x4 e = _mm256_fnmadd_pd(divisor, estimate, one);
    const f64x4 r = _mm256_fmadd_pd(estimate, _mm256_fmadd_pd(e, e, e), estimate);
    return _mm256_round_pd(value * r, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
}

[[gnu::target("avx2,fma"), gnu::always_inline]] inline unsigned
divides_by_reciprocal(const f64x4& value, const f64x4& divisor, const f32x4& divisor_in_floats) {
    const f64x4 k = reciprocal_quotient(value, divisor, reciprocal_estimate(divisor_in_floats));
    return equal_lanes(_mm256_fmsub_pd(k, divisor, value), f64x4{});
}

// Three vectors of divisors a step, two by division and one by the
// reciprocal: the AVX2 divider takes about as long over two vectors as the
// FMA units over one. The last 12 divisors at most, by division alone.
[[gnu::target("avx2,fma")]] int odd_divisor_avx2_mixed(std::uint32_t n, std::uint32_t divisors) {
    if (n < FLOAT_LIMIT) {
        return odd_divisor_by_division<f32x8>(n, divisors);
    }
    const f64x4 value = f64x4{} + static_cast<double>(n);
    f64x4 first = FIRST_DIVISORS<f64x4>;
    f64x4 second = first + 8.0;
    f64x4 third = first + 16.0;
    // cppcheck-suppress assignBoolToFloat ; a vector of floats, not a comparison
    f32x4 third_in_floats = FIRST_DIVISORS<f32x4> + 16.0F;
    for (; divisors > 12; divisors -= 12) {
        if ((divides_by_division(value, first) | divides_by_division(value, second) |
             divides_by_reciprocal(value, third, third_in_floats)) != 0) {
            return 1;
        }
        first += 24.0;
        second += 24.0;
        third += 24.0;
        third_in_floats += 24.0F;
    }
    return divisor_in_lanes(n, first, divisors);
}

// The zero-masked forms with every lane kept: GCC 12 warns that the plain
// ones read an uninitialised vector.
constexpr __mmask8 ALL_LANES = 0xFF;

// The reciprocal path: which divisors d divide n (held in `value`), without
// the divider, which keeps the FMA units busy while the divider works on
// another vector.
//
// The processor's estimate r0 of 1/d is within 2^-14 of it: r0 = (1 - e)/d
// with |e| <= 2^-14. One Newton step of the third order,
// r = r0 (1 + e + e^2) = (1 - e^3)/d, brings r within about 2^-42 of 1/d, as
// two plain steps would, for one multiply-add fewer. Where d divides n, n/d
// is a whole number below 2^31, so n*r lies within 2^-10 of it and
// k = round(n*r) is exactly n/d. fma(k, d, -n) works out k*d - n exactly,
// since everything stays below 2^53, and that is 0 exactly when d divides n:
// where d does not divide n, no whole k makes it 0, however r came out.
[[gnu::target("avx512f"), gnu::always_inline]] inline f64x8
reciprocal_estimate(const f64x8& divisor) {
    return _mm512_maskz_rcp14_pd(ALL_LANES, divisor);
}

[[gnu::target("avx512f"), gnu::always_inline]] inline f64x8
reciprocal_quotient(const f64x8& value, const f64x8& divisor, const f64x8& estimate) {
    const f64x8 one = f64x8{} + 1.0;
    const f64x8 e = _mm512_fnmadd_pd(divisor, estimate, one);
    const f64x8 r = _mm512_fmadd_pd(estimate, _mm512_fmadd_pd(e, e, e), estimate);
    return _mm512_maskz_roundscale_pd(ALL_LANES, value * r,
                                      _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
}

[[gnu::target("avx512f"), gnu::always_inline]] inline unsigned
divides_by_reciprocal(const f64x8& value, const f64x8& divisor) {
    const f64x8 k = reciprocal_quotient(value, divisor, reciprocal_estimate(divisor));
    return _mm512_cmp_pd_mask(_mm512_fmsub_pd(k, divisor, value), f64x8{}, _CMP_EQ_OQ);
}

template <bool BY_RECIPROCAL>
[[gnu::target("avx512f"), gnu::always_inline]] inline unsigned
divides_avx512(const f64x8& value, const f64x8& divisor) {
    if constexpr (BY_RECIPROCAL) {
        return divides_by_reciprocal(value, divisor);
    } else {
        return divides_by_division(value, divisor);
    }
}

// Two vectors of divisors a step, each tested by division or by the
// reciprocal; the last 16 divisors at most, by division alone.
template <bool FIRST_BY_RECIPROCAL, bool SECOND_BY_RECIPROCAL>
[[gnu::target("avx512f"), gnu::always_inline]] inline int
odd_divisor_avx512(std::uint32_t n, std::uint32_t divisors) {
    if (n < FLOAT_LIMIT) {
        return odd_divisor_by_division<f32x16>(n, divisors);
    }
    const f64x8 value = f64x8{} + static_cast<double>(n);
    f64x8 first = FIRST_DIVISORS<f64x8>;
    f64x8 second = first + 16.0;
    for (; divisors > 16; divisors -= 16) {
        if ((divides_avx512<FIRST_BY_RECIPROCAL>(value, first) |
             divides_avx512<SECOND_BY_RECIPROCAL>(value, second)) != 0) {
            return 1;
        }
        first += 32.0;
        second += 32.0;
    }
    return divisor_in_lanes(n, first, divisors);
}

// Division alone and the reciprocal alone stay beside the mixed form, to be
// tested and measured with it.
[[gnu::target("avx512f")]] int odd_divisor_avx512_division(std::uint32_t n,
                                                           std::uint32_t divisors) {
    return odd_divisor_avx512<false, false>(n, divisors);
}

[[gnu::target("avx512f")]] int odd_divisor_avx512_reciprocal(std::uint32_t n,
                                                             std::uint32_t divisors) {
    return odd_divisor_avx512<true, true>(n, divisors);
}

// The divider and the FMA units work at once.
[[gnu::target("avx512f")]] int odd_divisor_avx512_mixed(std::uint32_t n, std::uint32_t divisors) {
    return odd_divisor_avx512<false, true>(n, divisors);
}

// One lane of each reciprocal path, for the tests to hold to the processor's
// bounds.
[[gnu::target("avx2,fma")]] void avx2_reciprocal_step(std::uint32_t n, std::uint32_t d,
                                                      double& estimate, double& quotient) {
    const f64x4 divisor = f64x4{} + static_cast<double>(d);
    const f64x4 r0 = reciprocal_estimate(f32x4{} + static_cast<float>(d));
    estimate = r0[0];
    quotient = reciprocal_quotient(f64x4{} + static_cast<double>(n), divisor, r0)[0];
}

[[gnu::target("avx512f")]] void avx512_reciprocal_step(std::uint32_t n, std::uint32_t d,
                                                       double& estimate, double& quotient) {
    const f64x8 divisor = f64x8{} + static_cast<double>(d);
    const f64x8 r0 = reciprocal_estimate(divisor);
    estimate = r0[0];
    quotient = reciprocal_quotient(f64x8{} + static_cast<double>(n), divisor, r0)[0];
}

constexpr int KERNEL_SSE2 = 0;
constexpr int KERNEL_AVX2_DIVISION = 1;
constexpr int KERNEL_AVX2_MIXED = 2;
constexpr int KERNEL_AVX512_DIVISION = 3;
constexpr int KERNEL_AVX512_RECIPROCAL = 4;
constexpr int KERNEL_AVX512_MIXED = 5;
constexpr int KERNELS = 6;

#elif FLT_EVAL_METHOD == 0

// Every other processor: its baseline vector unit (NEON on arm64), at 16
// bytes. A processor without one runs the same code lane by lane.
int odd_divisor_generic(std::uint32_t n, std::uint32_t divisors) {
    return odd_divisor_in<f64x2, f32x4>(n, divisors);
}

constexpr int KERNEL_GENERIC = 0;
constexpr int KERNELS = 1;

#else

// Where arithmetic is carried out in more precision than its type (x87),
// the whole-quotient test does not hold; 32-bit remainders do everywhere.
int odd_divisor_remainder(std::uint32_t n, std::uint32_t divisors) {
    for (std::uint32_t i = 3; divisors > 0; i += 2, --divisors) {
        if (n % i == 0) {
            return 1;
        }
    }
    return 0;
}

constexpr int KERNEL_REMAINDER = 0;
constexpr int KERNELS = 1;

#endif

// The kernel in use; negative until the first call picks one.
std::atomic<int> current_kernel{-1};

} // namespace

int kernel_count() {
    return KERNELS;
}

const char* kernel_name(int kernel) {
    switch (kernel) {
#ifdef __x86_64__
    case KERNEL_SSE2:
        return "sse2";
    case KERNEL_AVX2_DIVISION:
        return "avx2-division";
    case KERNEL_AVX2_MIXED:
        return "avx2-mixed";
    case KERNEL_AVX512_DIVISION:
        return "avx512-division";
    case KERNEL_AVX512_RECIPROCAL:
        return "avx512-reciprocal";
    case KERNEL_AVX512_MIXED:
        return "avx512-mixed";
#elif FLT_EVAL_METHOD == 0
    case KERNEL_GENERIC:
#ifdef __aarch64__
        return "neon";
#else
        return "generic";
#endif
#else
    case KERNEL_REMAINDER:
        return "remainder";
#endif
    default:
        return "none";
    }
}

int kernel_runs_here(int kernel) {
#ifdef __x86_64__
    __builtin_cpu_init();
    switch (kernel) {
    case KERNEL_SSE2:
        return 1;
    case KERNEL_AVX2_DIVISION:
        return __builtin_cpu_supports("avx2") ? 1 : 0;
    case KERNEL_AVX2_MIXED:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? 1 : 0;
    case KERNEL_AVX512_DIVISION:
    case KERNEL_AVX512_RECIPROCAL:
    case KERNEL_AVX512_MIXED:
        return __builtin_cpu_supports("avx512f") ? 1 : 0;
    default:
        return 0;
    }
#else
    return kernel >= 0 && kernel < KERNELS ? 1 : 0;
#endif
}

int kernel_double_lanes(int kernel) {
#ifdef __x86_64__
    if (kernel >= KERNEL_AVX512_DIVISION) {
        return 8;
    }
    return kernel >= KERNEL_AVX2_DIVISION ? 4 : 2;
#elif FLT_EVAL_METHOD == 0
    return kernel == KERNEL_GENERIC ? 2 : 0;
#else
    return kernel == KERNEL_REMAINDER ? 1 : 0;
#endif
}

int best_kernel() {
#ifdef __x86_64__
    // The widest unit first; the divider and the FMA units together beat
    // either alone.
    constexpr int PREFERRED[] = {KERNEL_AVX512_MIXED, KERNEL_AVX2_MIXED, KERNEL_AVX2_DIVISION};
    const int* const found = std::find_if(std::begin(PREFERRED), std::end(PREFERRED),
                                          [](int kernel) { return kernel_runs_here(kernel) != 0; });
    return found != std::end(PREFERRED) ? *found : KERNEL_SSE2;
#else
    return 0;
#endif
}

void force_kernel(int kernel) {
    current_kernel.store(kernel, std::memory_order_relaxed);
}

int kernel_in_use() {
    // Every thread that finds no choice yet makes the same one.
    int kernel = current_kernel.load(std::memory_order_relaxed);
    if (kernel < 0) {
        kernel = best_kernel();
        current_kernel.store(kernel, std::memory_order_relaxed);
    }
    return kernel;
}

int reciprocal_step(int kernel, std::uint32_t n, std::uint32_t d, double& estimate,
                    double& quotient) {
#ifdef __x86_64__
    switch (kernel) {
    case KERNEL_AVX2_MIXED:
        avx2_reciprocal_step(n, d, estimate, quotient);
        return 1;
    case KERNEL_AVX512_RECIPROCAL:
    case KERNEL_AVX512_MIXED:
        avx512_reciprocal_step(n, d, estimate, quotient);
        return 1;
    default:
        return 0;
    }
#else
    (void)kernel;
    (void)n;
    (void)d;
    estimate = 0;
    quotient = 0;
    return 0;
#endif
}

int has_odd_divisor(std::uint32_t n, double bound) {
    // The odd i <= bound are 3, 5, ... up to the last odd number not above
    // floor(bound).
    const auto floor_bound = static_cast<std::uint32_t>(bound);
    const std::uint32_t divisors = floor_bound >= 3 ? (floor_bound - 1) / 2 : 0;
    switch (kernel_in_use()) {
#ifdef __x86_64__
    case KERNEL_AVX512_MIXED:
        return odd_divisor_avx512_mixed(n, divisors);
    case KERNEL_AVX512_DIVISION:
        return odd_divisor_avx512_division(n, divisors);
    case KERNEL_AVX512_RECIPROCAL:
        return odd_divisor_avx512_reciprocal(n, divisors);
    case KERNEL_AVX2_MIXED:
        return odd_divisor_avx2_mixed(n, divisors);
    case KERNEL_AVX2_DIVISION:
        return odd_divisor_avx2_division(n, divisors);
    default:
        return odd_divisor_sse2(n, divisors);
#elif FLT_EVAL_METHOD == 0
    default:
        return odd_divisor_generic(n, divisors);
#else
    default:
        return odd_divisor_remainder(n, divisors);
#endif
    }
}

} // namespace primecheck
