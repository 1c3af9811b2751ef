// is_prime's trial division, tested on the widest vector unit the processor
// has. Not installed: the kernel hook is for the tests and benchmarks only.
#pragma once

#include <cstdint>

namespace primecheck {

// 1 when one of the odd numbers 3, 5, 7, ... up to `bound` divides n, else 0.
int has_odd_divisor(std::uint32_t n, double bound);

// The kernels this build holds, numbered from 0, each a way of running
// has_odd_divisor on one unit. The first call picks the one the processor
// runs best; the tests and benchmarks force each in turn.
int kernel_count();
const char* kernel_name(int kernel);
// 1 when this processor can run `kernel`.
int kernel_runs_here(int kernel);
// The double lanes a step of `kernel` divides in.
int kernel_double_lanes(int kernel);
// The kernel the processor gets when none is forced.
int best_kernel();
// Makes has_odd_divisor run `kernel`, which must run here, from now on;
// best_kernel() hands the choice back. Not for use while other threads test.
void force_kernel(int kernel);
// The kernel has_odd_divisor runs: the one forced, or else the one the
// first call picks.
int kernel_in_use();
// One lane of the reciprocal path of `kernel`, which must run here, for the
// divisor d: the processor's estimate of 1/d that it starts from, and the
// quotient it then takes for n. 0 where `kernel` divides by division alone.
int reciprocal_step(int kernel, std::uint32_t n, std::uint32_t d, double& estimate,
                    double& quotient);

} // namespace primecheck
