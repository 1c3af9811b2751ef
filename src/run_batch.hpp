// A run of the sweep's values tested as a batch, many values a divisor. Not
// installed: for the sweep, the tests and the benchmarks.
#pragma once

#include <cstdint>

namespace primecheck {

// The most values test_run takes at once.
inline constexpr std::uint32_t TEST_RUN_MOST = 256;

// Sets prime[i] to is_prime(values[i]) for each of the `count` values, at
// most TEST_RUN_MOST: the values that the first divisors leave undecided
// are tried together, many values a divisor, where the kernel in use does
// so.
void test_run(const std::uint32_t* values, std::uint32_t count, unsigned char* prime);

// Whether `kernel` tests a run's values in groups (1) or one at a time (0);
// for the benchmarks, which time both. Not for use while other threads test.
int batch_kernel(int kernel);
void set_batch(int kernel, int on);

} // namespace primecheck
