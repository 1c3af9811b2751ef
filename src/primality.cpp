// Primality by trial division, one value at a time, and the static
// partition of a list that the sweep gives each member. The trial
// divisions themselves are trial_division.cpp's; the sweep is sweep.cpp.

#include <primecheck/primality.hpp>

#include "trial_division.hpp"

namespace primecheck {

int is_prime(std::uint32_t n) {
    if (n <= 1) {
        return 0;
    }
    if (n == 2) {
        return 1;
    }
    if (n % 2 == 0) {
        return 0;
    }
    // The bound is inclusive so that the root of an odd square is tried.
    return has_odd_divisor(n, odd_divisors_of(n)) == 0 ? 1 : 0;
}

index_range static_share(std::uint32_t count, std::uint32_t member, std::uint32_t team_size) {
    const std::uint32_t base = count / team_size;
    const std::uint32_t extra = count % team_size;
    if (member < extra) {
        const std::uint32_t begin = member * (base + 1);
        return {begin, begin + base + 1};
    }
    const std::uint32_t begin = extra + member * base;
    return {begin, begin + base};
}

} // namespace primecheck
