#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "bare_lanes.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

#include "bare_lanes.hpp"

#include <cmath>

HWY_BEFORE_NAMESPACE();
namespace bench::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

template <typename T> HWY_INLINE bool has_whole_quotient(std::uint32_t n, std::uint32_t divisions) {
    const hn::ScalableTag<T> d;
    const std::size_t lanes = hn::Lanes(d);
    const auto value = hn::Set(d, static_cast<T>(n));
    const auto step = hn::Set(d, static_cast<T>(2 * lanes));
    const auto to_whole = hn::Set(d, hwy::MantissaEnd<T>());
    auto divisor = hn::MulAdd(hn::Iota(d, T{0}), hn::Set(d, T{2}), hn::Set(d, T{3}));
    auto whole = hn::FirstN(d, 0);
    for (std::uint32_t done = 0; done < divisions; done += lanes) {
        const auto quotient = hn::Div(value, divisor);
        whole = hn::Or(whole, hn::Eq(hn::Sub(hn::Add(quotient, to_whole), to_whole), quotient));
        divisor = hn::Add(divisor, step);
    }
    return !hn::AllFalse(d, whole);
}

// In float lanes below 2^23 and double lanes above, as is_prime does.
std::size_t bare_lanes(const std::uint32_t* values, const std::uint32_t* divisions,
                       std::size_t count) {
    std::size_t found = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t n = values[k];
        found += (n < (1U << 23) ? has_whole_quotient<float>(n, divisions[k])
                                 : has_whole_quotient<double>(n, divisions[k]))
                     ? 1
                     : 0;
    }
    return found;
}

std::size_t double_lanes() {
    return hn::Lanes(hn::ScalableTag<double>());
}

} // namespace bench::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace bench {
HWY_EXPORT(bare_lanes);
HWY_EXPORT(double_lanes);
} // namespace bench

std::size_t bare_lanes(const std::uint32_t* values, const std::uint32_t* divisions,
                       std::size_t count) {
    return HWY_DYNAMIC_DISPATCH(bench::bare_lanes)(values, divisions, count);
}

std::size_t double_lanes() {
    return HWY_DYNAMIC_DISPATCH(bench::double_lanes)();
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
#endif
