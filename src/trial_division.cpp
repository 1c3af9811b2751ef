// Highway compiles this file once for each instruction set it can target,
// each in a namespace of its own, so that nothing built for a wider unit can
// leak into the path an older processor takes.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "trial_division.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

#include "trial_division.hpp"

#include <cstddef>
#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace primecheck::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Tests the first `left` odd numbers from 3 as divisors of n, a vector of
// them at a time, by division in floating-point lanes of type T.
//
// n and every i tried are whole numbers held exactly. Where i divides n, the
// quotient is a whole number, which the division gives exactly. Where it
// does not, n / i lies at least 1/i from every whole number, while the
// rounded quotient is off by less than one unit in its last place, whatever
// the rounding mode: less than 2^-52 * n / i in a double, 2^-23 * n / i in a
// float. For every 32-bit n in doubles, and n below 2^23 in floats, that is
// less than 1/i, so the quotient cannot be whole. So i divides n exactly when
// the quotient is a whole number.
template <typename T> HWY_INLINE int has_divisor_in_lanes(std::uint32_t n, std::size_t left) {
    const hn::ScalableTag<T> d;
    const std::size_t lanes = hn::Lanes(d);
    const auto value = hn::Set(d, static_cast<T>(n));
    const auto step = hn::Set(d, static_cast<T>(2 * lanes));
    // Adding and taking away 2^52 (2^23 in a float) makes any quotient below
    // it a whole number, as cheaply on every instruction set.
    const auto to_whole = hn::Set(d, hwy::MantissaEnd<T>());
    auto divisor = hn::MulAdd(hn::Iota(d, T{0}), hn::Set(d, T{2}), hn::Set(d, T{3}));
    for (;; left -= lanes) {
        const auto quotient = hn::Div(value, divisor);
        auto whole = hn::Eq(hn::Sub(hn::Add(quotient, to_whole), to_whole), quotient);
        if (left <= lanes) {
            // The lanes past the bound decide nothing.
            whole = hn::And(whole, hn::FirstN(d, left));
            return hn::AllFalse(d, whole) ? 0 : 1;
        }
        if (!hn::AllFalse(d, whole)) {
            return 1;
        }
        divisor = hn::Add(divisor, step);
    }
}

int has_odd_divisor(std::uint32_t n, double bound) {
    // The odd i <= bound are 3, 5, ... up to the last odd number not above
    // floor(bound).
    const auto floor_bound = static_cast<std::size_t>(bound);
    const std::size_t divisors = floor_bound >= 3 ? (floor_bound - 1) / 2 : 0;
    // Floats hold twice the lanes.
    return n < (1U << 23) ? has_divisor_in_lanes<float>(n, divisors)
                          : has_divisor_in_lanes<double>(n, divisors);
}

} // namespace primecheck::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace primecheck {

HWY_EXPORT(has_odd_divisor);

int has_odd_divisor(std::uint32_t n, double bound) {
    return HWY_DYNAMIC_DISPATCH(has_odd_divisor)(n, bound);
}

} // namespace primecheck
#endif
