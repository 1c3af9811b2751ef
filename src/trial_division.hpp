// is_prime's trial division: the table of divisors and the kernels that try
// them, one for each vector unit, in one table, and the one the processor
// gets. Not installed: the kernel hook is for the tests and benchmarks only.
#pragma once

#include <cstdint>

namespace primecheck {

// How many of the odd numbers 3, 5, 7, ... up to n's square root, taken in
// double precision, there are: the divisors is_prime tries.
std::uint32_t odd_divisors_of(std::uint32_t n);

// 1 when one of the first `count` odd divisors 3, 5, 7, ... divides n, on
// the kernel in use, else 0.
int has_odd_divisor(std::uint32_t n, std::uint32_t count);

// 1 when the divisor table says that the odd number d, from 3 to 65,537,
// divides n: the test every kernel makes in each lane.
int table_says_divides(std::uint32_t n, std::uint32_t d);

// The divisors a kernel's one_value tries a step: `from` is a whole number
// of them. And the most values a group holds, on any kernel.
inline constexpr std::uint32_t KERNEL_STEP = 32;
inline constexpr std::uint32_t GROUP_MOST = 64;
inline constexpr int KERNELS_MOST = 8;

// A way of running the divisor table's test on one vector unit.
struct kernel_entry {
    const char* name;
    // The divisors a step of one_value tries at once.
    int lanes;
    // 1 where this processor can run it.
    int (*runs_here)();
    // 1 when one of the table entries from `from` to below `to` divides n,
    // entry k being the divisor 3 + 2k.
    int (*one_value)(std::uint32_t n, std::uint32_t from, std::uint32_t to);
    // Bit i set where one of value i's own entries, from `from` to below
    // `counts[i]`, divides it, for `size` values, at most `group_size`, their
    // counts ascending: many values a divisor.
    std::uint64_t (*one_group)(const std::uint32_t* values, const std::uint32_t* counts,
                               std::uint32_t size, std::uint32_t from);
    std::uint32_t group_size;
    // 1 where a run's values are tested in groups, which measured faster
    // there than one value at a time.
    int grouped;
};

// The kernels this build holds, numbered from 0.
int kernel_count();
const kernel_entry& kernel_at(int kernel);
// The kernel the processor gets when none is forced.
int best_kernel();
// Makes has_odd_divisor and the batch run `kernel`, which must run here,
// from now on; best_kernel() hands the choice back. Not for use while other
// threads test.
void force_kernel(int kernel);
// The kernel in use: the one forced, or else the one the first call picks.
int kernel_in_use();

} // namespace primecheck
