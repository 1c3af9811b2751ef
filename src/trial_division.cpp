// Trial division in vector lanes, and the choice of the unit it runs on.
// doc/ALGORITHMS.md tells the whole story, with the batch and the sweep.
//
// Whether an odd d divides n is decided without dividing, by the test for a
// zero remainder of Granlund and Montgomery ("Division by invariant integers
// using multiplication", 1994, section 9; Warren, "Hacker's Delight", 10-17):
// with inv(d) the inverse of d modulo 2^32 and lim(d) = (2^32 - 1) / d,
//
//     d divides n  exactly when  n * inv(d) mod 2^32 <= lim(d).
//
// Multiplying by inv(d) maps the multiples k*d below 2^32 one to one onto
// k = 0, 1, ..., lim(d), and so every other n onto a value above lim(d). It
// is a theorem about integers: no rounding, on any processor. So every
// divisor costs a 32-bit multiply and an unsigned compare, in as many lanes
// as the unit has, against a table of inv and lim for the odd numbers from
// 3 on, which the compiler builds. The table holds facts about divisors
// only and is the same for every call, so each test still starts from
// scratch and tries every odd divisor in turn.
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
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#ifdef __x86_64__
#include <cpuid.h>
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace primecheck {

namespace {

// The odd divisors 3, 5, ..., 65537: a 32-bit n needs those up to 65535 at
// most, and the rest pad the table to a whole number of the widest step,
// so that a step never reads past it. Lanes past a call's last divisor
// decide nothing.
constexpr std::uint32_t TABLE_SIZE = 1U << 15;

// Two arrays, so that a vector of either is one aligned load; a table of
// pairs measured slower, and the widest unit reads the first alone.
struct divisor_table {
    alignas(64) std::uint32_t inverse[TABLE_SIZE];
    alignas(64) std::uint32_t limit[TABLE_SIZE];
};

constexpr divisor_table make_divisor_table() {
    divisor_table table{};
    for (std::uint32_t i = 0; i < TABLE_SIZE; ++i) {
        const std::uint32_t d = 3 + 2 * i;
        // d * d = 1 modulo 8, and each Newton step doubles the bits that
        // are right: 3, 6, 12, 24, 48.
        std::uint32_t inverse = d;
        for (int step = 0; step < 4; ++step) {
            inverse *= 2 - d * inverse;
        }
        table.inverse[i] = inverse;
        table.limit[i] = 0xFFFFFFFFU / d;
    }
    return table;
}

constexpr divisor_table DIVISORS = make_divisor_table();

// GCC and clang vector extensions: arithmetic works lane by lane modulo
// 2^32, and a comparison gives a vector of signed integers, all ones where
// it holds.
using u32x4 = std::uint32_t __attribute__((vector_size(16)));
#ifdef __x86_64__
using u32x8 = std::uint32_t __attribute__((vector_size(32)));
using u32x16 = std::uint32_t __attribute__((vector_size(64)));
#endif

template <typename V> constexpr std::uint32_t LANES = sizeof(V) / sizeof(std::uint32_t);

// 3, 5, 7, ...: the first odd divisors, one a lane.
template <typename V, typename LANE_INDICES = std::make_index_sequence<LANES<V>>>
constexpr V FIRST_DIVISORS{};
template <typename V, std::size_t... I>
constexpr V FIRST_DIVISORS<V, std::index_sequence<I...>> = V{(3 + 2 * I)...};

// The helpers below take vectors by reference only: a vector passed by
// value would make a function's calling convention depend on the unit it
// was built for.

// Bit i set where lane i of `a` is at most lane i of `b`. Turning
// a comparison into bits has no portable form that compilers make cheap, so
// each unit has its own (below); this is the fallback for the others.
template <typename V> inline unsigned lanes_at_most(const V& a, const V& b) {
    const auto holds = a <= b;
    unsigned bits = 0;
    for (std::uint32_t i = 0; i < LANES<V>; ++i) {
        bits |= holds[i] != 0 ? 1U << i : 0U;
    }
    return bits;
}

#ifdef __x86_64__
// The compiler picks the unsigned compare each unit has (SSE2 has none,
// and biases both sides); only the step to bits needs naming.
template <typename V> using mask_of = decltype(V{} <= V{});
inline unsigned lanes_at_most(const u32x4& a, const u32x4& b) {
    const mask_of<u32x4> holds = a <= b;
    return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<const __m128&>(holds)));
}
[[gnu::target("avx2")]] inline unsigned lanes_at_most(const u32x8& a, const u32x8& b) {
    const mask_of<u32x8> holds = a <= b;
    return static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<const __m256&>(holds)));
}
[[gnu::target("avx512f")]] inline unsigned lanes_at_most(const u32x16& a, const u32x16& b) {
    return _mm512_cmple_epu32_mask(reinterpret_cast<const __m512i&>(a),
                                   reinterpret_cast<const __m512i&>(b));
}
#elif defined(__aarch64__)
// Each lane's all-ones result keeps its own bit, and the lanes are summed.
inline unsigned lanes_at_most(const u32x4& a, const u32x4& b) {
    const uint32x4_t bit = {1, 2, 4, 8};
    return vaddvq_u32(vandq_u32(vcleq_u32(a, b), bit));
}
#endif

// How a kernel's lanes apply the test. By the limit, each lane reads inv
// and lim from the table: one multiply and one compare. But once the table
// has left the first-level cache, what a test reads from it bounds the
// speed of the widest unit, so there, by a bound, each lane reads inv
// alone and checks a bound that needs no table. Where d divides n,
// q = n / d <= 2^32 / d, so (q >> 16) * d <= 2^16; the product cannot wrap,
// since both factors are below 2^16. Every divisor passes, and the lanes
// that pass are held to lim(d) one by one. Anything else passes only where
// q lies less than 2^16 above lim(d); then q * d is 2^32 + n, so d divides
// n + 2^32 and n is below about 2^16 * d: once in d lanes at most, and never
// for n near 2^32, whose divisors are all below n / 2^16.
enum class lane_test : unsigned char { by_limit, by_bound };

// Bit i set where table entry `at` + i divides n, held in every lane of
// `value`; by the bound, where it may. `divisor` holds each lane's d.
template <lane_test TEST, typename V>
[[gnu::always_inline]] inline unsigned lanes_dividing(const V& value, const V& divisor,
                                                      std::uint32_t at) {
    V inverse;
    std::memcpy(&inverse, DIVISORS.inverse + at, sizeof inverse);
    if constexpr (TEST == lane_test::by_limit) {
        V limit;
        std::memcpy(&limit, DIVISORS.limit + at, sizeof limit);
        return lanes_at_most(value * inverse, limit);
    } else {
        return lanes_at_most(((value * inverse) >> 16) * divisor, V{} + (1U << 16));
    }
}

// 1 when one of the table entries `at` + i, for the bits i of `lanes`,
// divides n.
[[gnu::noinline]] int any_entry_divides(std::uint32_t n, std::uint32_t at, std::uint32_t lanes) {
    for (; lanes != 0; lanes &= lanes - 1) {
        const auto entry = at + static_cast<std::uint32_t>(std::countr_zero(lanes));
        if (table_says_divides(n, 3 + 2 * entry) != 0) {
            return 1;
        }
    }
    return 0;
}

// 1 when one of the table entries from `from`, a whole number of steps, to
// below `to` divides n, trying 32 of them at a time, in as many vectors as
// that takes, and stopping at the first step that holds a divisor: one
// branch for them all keeps the loop short, and measured the same however
// the compiler happened to align it, where two vectors a step on AVX2 did
// not (BENCHMARKS.md, "The kernels, one by one").
template <lane_test TEST, typename V>
[[gnu::always_inline]] inline int odd_divisor_in(std::uint32_t n, std::uint32_t from,
                                                 std::uint32_t to) {
    constexpr std::uint32_t VECTORS = 32 / LANES<V>;
    constexpr std::uint32_t STEP = VECTORS * LANES<V>;
    static_assert(TABLE_SIZE % STEP == 0);
    const V value = V{} + n;
    V divisor = FIRST_DIVISORS<V> + 2 * from;
    for (std::uint32_t at = from; at < to; at += STEP) {
        std::uint32_t lanes = 0;
        for (std::uint32_t v = 0; v < VECTORS; ++v) {
            lanes |= lanes_dividing<TEST>(value, divisor, at + v * LANES<V>) << (v * LANES<V>);
            divisor += 2 * LANES<V>;
        }
        if (lanes != 0) {
            // Past the last divisor, lanes decide nothing.
            if (to - at < 32) {
                lanes &= (1U << (to - at)) - 1;
            }
            if (TEST == lane_test::by_limit ? lanes != 0 : any_entry_divides(n, at, lanes) != 0) {
                return 1;
            }
        }
    }
    return 0;
}

#ifdef __x86_64__

// SSE2 is every x86-64 processor's, so this kernel needs no attribute. It
// has no 32-bit multiply of four lanes; the compiler makes one of two
// 64-bit ones.
int odd_divisor_sse2(std::uint32_t n, std::uint32_t from, std::uint32_t to) {
    return odd_divisor_in<lane_test::by_limit, u32x4>(n, from, to);
}

[[gnu::target("sse4.1")]] int odd_divisor_sse41(std::uint32_t n, std::uint32_t from,
                                                std::uint32_t to) {
    return odd_divisor_in<lane_test::by_limit, u32x4>(n, from, to);
}

[[gnu::target("avx2")]] int odd_divisor_avx2(std::uint32_t n, std::uint32_t from,
                                             std::uint32_t to) {
    return odd_divisor_in<lane_test::by_limit, u32x8>(n, from, to);
}

// The first 2,048 divisors, whose 16 KiB of the table every test reads and
// the first-level cache keeps, by the limit; the rest by the bound, which
// there, from d = 4,099 on, lets through few lanes that do not divide n
// (see above). The two loops are functions of their own: either one
// inlined beside the other measured slower.
constexpr std::uint32_t NEAR_DIVISORS = 2048;

[[gnu::target("avx512f"), gnu::noinline]] int avx512_by_limit(std::uint32_t n, std::uint32_t from,
                                                              std::uint32_t to) {
    return odd_divisor_in<lane_test::by_limit, u32x16>(n, from, to);
}

[[gnu::target("avx512f"), gnu::noinline]] int avx512_by_bound(std::uint32_t n, std::uint32_t from,
                                                              std::uint32_t to) {
    return odd_divisor_in<lane_test::by_bound, u32x16>(n, from, to);
}

[[gnu::target("avx512f")]] int odd_divisor_avx512(std::uint32_t n, std::uint32_t from,
                                                  std::uint32_t to) {
    if (to <= NEAR_DIVISORS) {
        return avx512_by_limit(n, from, to);
    }
    return (from < NEAR_DIVISORS && avx512_by_limit(n, from, NEAR_DIVISORS) != 0) ||
                   avx512_by_bound(n, std::max(from, NEAR_DIVISORS), to) != 0
               ? 1
               : 0;
}

#else

// Every other processor: its baseline vector unit (NEON on arm64), at 16
// bytes. A processor without one runs the same code lane by lane.
int odd_divisor_generic(std::uint32_t n, std::uint32_t from, std::uint32_t to) {
    return odd_divisor_in<lane_test::by_limit, u32x4>(n, from, to);
}

#endif

// The batch: many values a divisor. Each divisor's inv and lim, read once
// from the table and broadcast to every lane, are tried on a group of
// values in the lanes, and what a lane finds is ORed into bits. A group's
// values come sorted by how many divisors each takes, so the lanes that
// are still testing are those from some lane on: the divisors run in
// stretches over which the same lanes test, and whatever a lane past its
// own last divisor finds is masked off at the stretch's end. That keeps
// every value to exactly its own divisors, tried in increasing order, and
// a value that finds one leaves the group's work: the group stops once all
// of its values have.

constexpr std::uint32_t GROUP = GROUP_MOST;
// How many divisors a stretch runs at most before the group looks whether
// every value it tests has found one.
constexpr std::uint32_t LOOK_EVERY = 512;

// The stretches of a group of `size` values, counts ascending, from table
// entry `from` on: in each, the entries from `at` to below `end` are tried
// on every lane, and what the lanes in `testing` find counts. `found` has
// bit i set once value i found one of its entries.
struct stretches {
    const std::uint32_t* counts;
    std::uint32_t size;
    std::uint32_t at;
    std::uint32_t end;
    std::uint32_t first = 0;
    std::uint64_t testing = 0;
    std::uint64_t found = 0;

    stretches(const std::uint32_t* group_counts, std::uint32_t group_size, std::uint32_t from)
        : counts(group_counts), size(group_size), at(from), end(from) {}

    // Moves to the next stretch: 1, or 0 once every lane is past its last
    // entry or has found one.
    int next() {
        at = end;
        while (first < size && counts[first] <= at) {
            ++first;
        }
        if (first == size) {
            return 0;
        }
        const std::uint64_t all =
            size == GROUP ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
        // The lanes whose own entries all reach past this stretch.
        testing = all & (~std::uint64_t{0} << first) & ~found;
        end = std::min(counts[first], at + LOOK_EVERY);
        return testing != 0 ? 1 : 0;
    }
};

// A group in vectors of 32-bit lanes, tried by the vector extensions. A
// unit without an unsigned compare of its own (SSE2) or with one that takes
// two instructions (a minimum and an equality: SSE4.1, AVX2) compares in
// signed lanes instead, both sides offset by 2^31, which keeps their order:
//
//     q <= lim  exactly when  q ^ 2^31 <= lim ^ 2^31 as signed numbers.
//
// And the offset costs nothing per divisor: it goes into the values once,
// since (n ^ 2^31) * inv = n * inv + 2^31 * inv = (n * inv) ^ 2^31 modulo
// 2^32, inv being odd. So a lane's word starts all ones and ANDs in the
// signed compare q > lim, which holds where d does not divide n: a multiply,
// a compare and an AND a vector and divisor.
template <typename V, std::uint32_t VECTORS> struct lanes_of_group {
    V value[VECTORS];

    [[gnu::always_inline]] std::uint64_t operator()(std::uint32_t from, std::uint32_t to) const {
        using signed_lanes = decltype(V{} <= V{});
        constexpr std::uint32_t OFFSET = 1U << 31;
        V offset[VECTORS] = {};
        // All ones: no divisor yet.
        signed_lanes none[VECTORS] = {};
        for (std::uint32_t v = 0; v < VECTORS; ++v) {
            offset[v] = value[v] ^ OFFSET;
            none[v] = signed_lanes{} - 1;
        }
        for (std::uint32_t at = from; at < to; ++at) {
            const V inverse = V{} + DIVISORS.inverse[at];
            const signed_lanes limit =
                signed_lanes{} + static_cast<std::int32_t>(DIVISORS.limit[at] ^ OFFSET);
            for (std::uint32_t v = 0; v < VECTORS; ++v) {
                none[v] &= reinterpret_cast<signed_lanes>(offset[v] * inverse) > limit;
            }
        }
        std::uint64_t bits = 0;
        for (std::uint32_t v = 0; v < VECTORS; ++v) {
            // A lane that found one is all zeros, at most zero.
            bits |= std::uint64_t{lanes_at_most(reinterpret_cast<const V&>(none[v]), V{})}
                    << (v * LANES<V>);
        }
        return bits;
    }
};

// The narrower units hold six vectors of values: with the multiplies'
// latency, fewer leave the multiplier idle, and more do not fit the
// registers beside the hits.
template <typename V> constexpr std::uint32_t GROUP_OF = 6 * LANES<V>;

template <typename V>
[[gnu::always_inline]] inline std::uint64_t group_in_lanes(const std::uint32_t* values,
                                                           const std::uint32_t* counts,
                                                           std::uint32_t size, std::uint32_t from) {
    lanes_of_group<V, GROUP_OF<V> / LANES<V>> group{};
    std::memcpy(group.value, values, size * sizeof *values);
    stretches run(counts, size, from);
    while (run.next() != 0) {
        run.found |= group(run.at, run.end) & run.testing;
    }
    return run.found;
}

#ifdef __x86_64__

// On AVX-512 a lane's compare goes to a mask register. The avx512 kernel
// ORs the masks there: a multiply, a compare and a mask OR a vector and
// divisor, each reading its divisor's word broadcast from the table.
//
// On Intel's units the mask OR and the compare into a mask compete with the
// multiply for the same ports. There the avx512-chain kernel merges each
// compare into the mask it reads, by De Morgan: a lane that no divisor has
// divided yet keeps its bit, and a compare under that mask, q > lim, clears
// it at the first divisor that divides; a multiply and a compare a vector
// and divisor. Each vector's mask is a chain of compares, one a divisor, and
// the group's four vectors are four chains beside the multiplies, which hide
// a compare's latency.
//
// A unit that runs a 512-bit instruction as two 256-bit halves (Zen 4)
// compares into a mask on the multiplier's own pipes, so there the pair
// takes twice a multiply's time. Its other pipes can keep a verdict in a
// lane's sign bit instead, with a subtraction and a bitwise merge. With
// q = n * inv(d) and r = lim(d) - q, both modulo 2^32,
//
//     d divides n  exactly when  q and r are both below 2^31,
//
// since lim(d) < 2^31 for every d from 3 on. Where d divides n, q <= lim(d)
// and r = lim(d) - q. Where it does not, q > lim(d); and if q < 2^31 as
// well, r wraps to 2^32 - (q - lim(d)), above 2^31. So a lane's word starts
// all ones and ANDs in q | r for each divisor, one ternary-logic
// instruction, and its sign bit clears at a divisor that divides. The
// avx512-split kernel keeps half of a group's vectors in masks and half in
// signs, so that every pipe has work.
enum class zmm_verdicts : unsigned char { ored, chained, split };

template <std::uint32_t VECTORS, zmm_verdicts KIND> struct zmm_group {
    __m512i value[VECTORS];

    [[gnu::target("avx512f"), gnu::always_inline]] std::uint64_t
    operator()(std::uint32_t from, std::uint32_t to) const {
        // The vectors below MASKED keep their verdicts in masks.
        constexpr std::uint32_t MASKED = KIND == zmm_verdicts::split ? VECTORS / 2 : VECTORS;
        constexpr bool CHAINED = KIND == zmm_verdicts::chained;
        // The ternary-logic table of a & (b | c), for a, b, c the bits of
        // 0xF0, 0xCC and 0xAA.
        constexpr int AND_OF_OR = 0xF0 & (0xCC | 0xAA);
        // Bits of the lanes that found a divisor, or, chained, of those that
        // found none yet.
        __mmask16 masks[VECTORS];
        std::memset(masks, CHAINED ? 0xFF : 0, sizeof masks);
        // All ones: no divisor yet.
        __m512i kept[VECTORS];
        std::memset(kept, 0xFF, sizeof kept);
        for (std::uint32_t at = from; at < to; ++at) {
            const __m512i inverse = _mm512_set1_epi32(static_cast<int>(DIVISORS.inverse[at]));
            const u32x16 limit = u32x16{} + DIVISORS.limit[at];
            for (std::uint32_t v = 0; v < MASKED; ++v) {
                const __m512i q = _mm512_mullo_epi32(value[v], inverse);
                if constexpr (CHAINED) {
                    masks[v] =
                        _mm512_mask_cmpgt_epu32_mask(masks[v], q, reinterpret_cast<__m512i>(limit));
                } else {
                    masks[v] |= _mm512_cmple_epu32_mask(q, reinterpret_cast<__m512i>(limit));
                }
            }
            for (std::uint32_t v = MASKED; v < VECTORS; ++v) {
                const __m512i q = _mm512_mullo_epi32(value[v], inverse);
                const u32x16 r = limit - reinterpret_cast<u32x16>(q);
                kept[v] =
                    _mm512_ternarylogic_epi32(kept[v], q, reinterpret_cast<__m512i>(r), AND_OF_OR);
            }
        }
        std::uint64_t bits = 0;
        for (std::uint32_t v = 0; v < VECTORS; ++v) {
            const __mmask16 found = v >= MASKED
                                        ? _mm512_cmpge_epi32_mask(kept[v], _mm512_setzero_si512())
                                    : CHAINED ? static_cast<__mmask16>(~masks[v])
                                              : masks[v];
            bits |= std::uint64_t{found} << (16 * v);
        }
        return bits;
    }
};

template <std::uint32_t VECTORS, zmm_verdicts KIND>
[[gnu::target("avx512f"), gnu::always_inline]] inline std::uint64_t
group_in_zmm(const std::uint32_t* lanes, const std::uint32_t* counts, std::uint32_t size,
             std::uint32_t from) {
    zmm_group<VECTORS, KIND> group;
    for (std::uint32_t v = 0; v < VECTORS; ++v) {
        group.value[v] = _mm512_loadu_si512(lanes + std::size_t{16} * v);
    }
    stretches run(counts, size, from);
    while (run.next() != 0) {
        run.found |= group(run.at, run.end) & run.testing;
    }
    return run.found;
}

template <zmm_verdicts KIND>
[[gnu::target("avx512f"), gnu::always_inline]] inline std::uint64_t
group_in_zmm(const std::uint32_t* values, const std::uint32_t* counts, std::uint32_t size,
             std::uint32_t from) {
    std::uint32_t lanes[GROUP] = {};
    std::memcpy(lanes, values, size * sizeof *values);
    switch ((size + 15) / 16) {
    case 1:
        return group_in_zmm<1, KIND>(lanes, counts, size, from);
    case 2:
        return group_in_zmm<2, KIND>(lanes, counts, size, from);
    case 3:
        return group_in_zmm<3, KIND>(lanes, counts, size, from);
    default:
        return group_in_zmm<4, KIND>(lanes, counts, size, from);
    }
}

[[gnu::target("avx512f")]] std::uint64_t group_avx512(const std::uint32_t* values,
                                                      const std::uint32_t* counts,
                                                      std::uint32_t size, std::uint32_t from) {
    return group_in_zmm<zmm_verdicts::ored>(values, counts, size, from);
}

[[gnu::target("avx512f")]] std::uint64_t group_avx512_chain(const std::uint32_t* values,
                                                            const std::uint32_t* counts,
                                                            std::uint32_t size,
                                                            std::uint32_t from) {
    return group_in_zmm<zmm_verdicts::chained>(values, counts, size, from);
}

[[gnu::target("avx512f")]] std::uint64_t group_avx512_split(const std::uint32_t* values,
                                                            const std::uint32_t* counts,
                                                            std::uint32_t size,
                                                            std::uint32_t from) {
    return group_in_zmm<zmm_verdicts::split>(values, counts, size, from);
}

[[gnu::target("avx2")]] std::uint64_t group_avx2(const std::uint32_t* values,
                                                 const std::uint32_t* counts, std::uint32_t size,
                                                 std::uint32_t from) {
    return group_in_lanes<u32x8>(values, counts, size, from);
}

[[gnu::target("sse4.1")]] std::uint64_t group_sse41(const std::uint32_t* values,
                                                    const std::uint32_t* counts, std::uint32_t size,
                                                    std::uint32_t from) {
    return group_in_lanes<u32x4>(values, counts, size, from);
}

std::uint64_t group_sse2(const std::uint32_t* values, const std::uint32_t* counts,
                         std::uint32_t size, std::uint32_t from) {
    return group_in_lanes<u32x4>(values, counts, size, from);
}

#else

std::uint64_t group_generic(const std::uint32_t* values, const std::uint32_t* counts,
                            std::uint32_t size, std::uint32_t from) {
    return group_in_lanes<u32x4>(values, counts, size, from);
}

#endif

#ifdef __x86_64__

// The processor's vendor and family as cpuid says them: leaf 0 names the
// vendor, and leaf 1 gives the base family, to which the extended family is
// added where the base is 15 (Intel's and AMD's manuals, "CPUID"). g++ 12's
// __builtin_cpu_is knows no family after AMD's 19h.
struct processor_family {
    char vendor[13];
    unsigned family;
};

processor_family this_processor() {
    processor_family found = {};
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) != 0) {
        std::memcpy(found.vendor, &b, 4);
        std::memcpy(found.vendor + 4, &d, 4);
        std::memcpy(found.vendor + 8, &c, 4);
    }
    if (__get_cpuid(1, &a, &b, &c, &d) != 0) {
        const unsigned base = (a >> 8) & 0xF;
        found.family = base == 0xF ? base + ((a >> 20) & 0xFF) : base;
    }
    return found;
}

int runs_always() {
    return 1;
}
int has_sse41() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1") ? 1 : 0;
}
int has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? 1 : 0;
}
int has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") ? 1 : 0;
}

// The kernels, numbered by their place here, which the tests and
// benchmarks force by it. The three AVX-512 forms share the per-value
// kernel and keep a group's verdicts each their own way.
constexpr kernel_entry KERNELS[] = {
    {"sse2", 4, runs_always, odd_divisor_sse2, group_sse2, GROUP_OF<u32x4>, 1},
    {"sse4.1", 4, has_sse41, odd_divisor_sse41, group_sse41, GROUP_OF<u32x4>, 1},
    {"avx2", 8, has_avx2, odd_divisor_avx2, group_avx2, GROUP_OF<u32x8>, 1},
    {"avx512", 16, has_avx512, odd_divisor_avx512, group_avx512, GROUP, 1},
    {"avx512-split", 16, has_avx512, odd_divisor_avx512, group_avx512_split, GROUP, 1},
    {"avx512-chain", 16, has_avx512, odd_divisor_avx512, group_avx512_chain, GROUP, 1},
};
constexpr int SSE2 = 0;
constexpr int SSE41 = 1;
constexpr int AVX2 = 2;
constexpr int AVX512 = 3;
constexpr int AVX512_SPLIT = 4;
constexpr int AVX512_CHAIN = 5;

// The AVX-512 form each unit gets, by the units it was measured on: AMD's
// families 19h and 1Ah (Zen 4 and Zen 5; Zen 3, also 19h, has no AVX-512)
// run a 512-bit instruction as two halves; on Intel's units the compare and
// the mask OR share the multiplier's ports. Any other keeps avx512.
struct avx512_rule {
    const char* vendor;
    unsigned family; // 0: any
    int kernel;
};
constexpr avx512_rule AVX512_RULES[] = {
    {"AuthenticAMD", 0x19, AVX512_SPLIT},
    {"AuthenticAMD", 0x1A, AVX512_SPLIT},
    {"GenuineIntel", 0, AVX512_CHAIN},
};

int avx512_form() {
    const processor_family here = this_processor();
    for (const avx512_rule& rule : AVX512_RULES) {
        if (std::strcmp(here.vendor, rule.vendor) == 0 &&
            (rule.family == 0 || rule.family == here.family)) {
            return rule.kernel;
        }
    }
    return AVX512;
}

// The widest unit first, and on AVX-512 the form for how the unit is built.
int pick_kernel() {
    const int preferred[] = {avx512_form(), AVX2, SSE41, SSE2};
    return *std::find_if(std::begin(preferred), std::end(preferred),
                         [](int kernel) { return KERNELS[kernel].runs_here() != 0; });
}

#else

int runs_always() {
    return 1;
}

// Every other processor has the one kernel, which tests one value at a time:
// groups were not measured there.
constexpr kernel_entry KERNELS[] = {
#ifdef __aarch64__
    {"neon", 4, runs_always, odd_divisor_generic, group_generic, GROUP_OF<u32x4>, 0},
#else
    {"generic", 4, runs_always, odd_divisor_generic, group_generic, GROUP_OF<u32x4>, 0},
#endif
};

int pick_kernel() {
    return 0;
}

#endif

static_assert(std::size(KERNELS) <= KERNELS_MOST);

// The kernel in use; negative until the first call picks one.
std::atomic<int> current_kernel{-1};

} // namespace

int kernel_count() {
    return static_cast<int>(std::size(KERNELS));
}

const kernel_entry& kernel_at(int kernel) {
    return KERNELS[kernel];
}

int best_kernel() {
    return pick_kernel();
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

int table_says_divides(std::uint32_t n, std::uint32_t d) {
    const std::uint32_t entry = (d - 3) / 2;
    return n * DIVISORS.inverse[entry] <= DIVISORS.limit[entry] ? 1 : 0;
}

std::uint32_t odd_divisors_of(std::uint32_t n) {
    const auto root = static_cast<std::uint32_t>(std::sqrt(static_cast<double>(n)));
    return root >= 3 ? (root - 1) / 2 : 0;
}

int has_odd_divisor(std::uint32_t n, std::uint32_t count) {
    return KERNELS[kernel_in_use()].one_value(n, 0, count);
}

} // namespace primecheck
