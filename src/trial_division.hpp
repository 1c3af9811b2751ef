// is_prime's trial division, tested on the widest vector unit the processor
// has. Not installed: the kernel hook is for the tests and benchmarks only.
#pragma once

#include <cstdint>

namespace primecheck {

// 1 when one of the odd numbers 3, 5, 7, ... up to `bound`, which is below
// 65,536, divides n, else 0.
int has_odd_divisor(std::uint32_t n, double bound);

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

// 1 when the divisor table says that the odd number d, from 3 to 65,537,
// divides n: the test every kernel makes in each lane.
int table_says_divides(std::uint32_t n, std::uint32_t d);

// The kernels this build holds, numbered from 0, each a way of running
// has_odd_divisor on one unit. The first call picks the one the processor
// runs best; the tests and benchmarks force each in turn.
int kernel_count();
const char* kernel_name(int kernel);
// 1 when this processor can run `kernel`.
int kernel_runs_here(int kernel);
// The divisors a step of `kernel` tries at once.
int kernel_lanes(int kernel);
// The kernel the processor gets when none is forced.
int best_kernel();
// Makes has_odd_divisor run `kernel`, which must run here, from now on;
// best_kernel() hands the choice back. Not for use while other threads test.
void force_kernel(int kernel);
// The kernel has_odd_divisor runs: the one forced, or else the one the
// first call picks.
int kernel_in_use();

} // namespace primecheck
