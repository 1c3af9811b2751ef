// A run tested as a batch: the values of one of the sweep's runs share each
// divisor, read once for many of them, instead of each value reading every
// divisor of its own (doc/ALGORITHMS.md, "A run tested as a batch").
//
// 1. The screen. The cheap verdicts come first: 0, 1 and the even values but
//    2 take no divisor. Each odd value is then tried one at a time on its
//    first SCREEN divisors, where most composites end; and a value that takes
//    fewer than GROUPED_FROM divisors all the way so, since a group's own
//    work would cost it more than it saves.
// 2. The order by bound. The values the screen leaves undecided are sorted
//    by how many divisors each takes (a sorted list's run comes so already),
//    so that a group's lanes that are still testing are those from some lane
//    on.
// 3. The groups. The kernel in use tries them, as many as its unit holds at
//    once, each divisor's inverse and limit broadcast to every lane. Where
//    the screen left few (a run of random values leaves a handful, mostly
//    composites that a group would test to the bound of its last prime), or
//    for a group a quarter empty, the values go on one at a time.
//
// Each entry still tries exactly its own divisors, in increasing order, and
// no more: a group runs in stretches over which the same lanes test, and
// whatever a lane finds past its own last divisor is masked off, so the
// verdict is the one is_prime gives from the same divisors. Nothing here is
// built for one unit: the kernels are trial_division.cpp's.

#include "run_batch.hpp"

#include "trial_division.hpp"

#include <algorithm>

namespace primecheck {

namespace {

// The divisors that a run's values are tried on one at a time first.
constexpr std::uint32_t SCREEN = 128;
static_assert(SCREEN % KERNEL_STEP == 0);
// A value that takes fewer divisors is tried one at a time all the way.
constexpr std::uint32_t GROUPED_FROM = 1024;
// The fewest of a run's values that the screen leaves undecided for them to
// be tried in groups: a quarter of a run.
constexpr std::uint32_t UNDECIDED_LEAST = 64;

// Whether each kernel tests in groups: as its entry says (-1), or as a
// benchmark set it.
int batch_set[KERNELS_MOST] = {-1, -1, -1, -1, -1, -1, -1, -1};

// The values of a run that the screen leaves undecided, in order of how many
// divisors each takes: their places in the run, and those counts.
struct undecided_values {
    std::uint32_t count = 0;
    std::uint32_t index[TEST_RUN_MOST];
    std::uint32_t divisors[TEST_RUN_MOST];
};

// The screen: sets prime[i] where it decides, and keeps the rest.
void screen(const kernel_entry& kernel, int grouped, const std::uint32_t* values,
            std::uint32_t count, unsigned char* prime, undecided_values& left) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t n = values[i];
        if (n < 3 || n % 2 == 0) {
            prime[i] = n == 2 ? 1 : 0;
            continue;
        }
        const std::uint32_t divisors = odd_divisors_of(n);
        const std::uint32_t screened = grouped != 0 && divisors >= GROUPED_FROM ? SCREEN : divisors;
        prime[i] = kernel.one_value(n, 0, screened) == 0 ? 1 : 0;
        if (prime[i] != 0 && screened < divisors) {
            // In order of divisors: a sorted list's values come so already.
            std::uint32_t at = left.count++;
            for (; at > 0 && left.divisors[at - 1] > divisors; --at) {
                left.index[at] = left.index[at - 1];
                left.divisors[at] = left.divisors[at - 1];
            }
            left.index[at] = i;
            left.divisors[at] = divisors;
        }
    }
}

// The values the screen left, in groups, or one at a time from the first
// group that would not pay.
void test_undecided(const kernel_entry& kernel, const std::uint32_t* values,
                    const undecided_values& left, unsigned char* prime) {
    const std::uint32_t size = kernel.group_size;
    std::uint32_t group[GROUP_MOST];
    for (std::uint32_t first = 0; first < left.count; first += size) {
        const std::uint32_t members = std::min(size, left.count - first);
        if (left.count < UNDECIDED_LEAST || 4 * members < 3 * size) {
            for (std::uint32_t k = first; k < left.count; ++k) {
                const std::uint32_t n = values[left.index[k]];
                prime[left.index[k]] = kernel.one_value(n, SCREEN, left.divisors[k]) == 0 ? 1 : 0;
            }
            return;
        }
        for (std::uint32_t k = 0; k < members; ++k) {
            group[k] = values[left.index[first + k]];
        }
        const std::uint64_t found = kernel.one_group(group, left.divisors + first, members, SCREEN);
        for (std::uint32_t k = 0; k < members; ++k) {
            prime[left.index[first + k]] = ((found >> k) & 1) != 0 ? 0 : 1;
        }
    }
}

} // namespace

int batch_kernel(int kernel) {
    return batch_set[kernel] >= 0 ? batch_set[kernel] : kernel_at(kernel).grouped;
}

void set_batch(int kernel, int on) {
    batch_set[kernel] = on;
}

void test_run(const std::uint32_t* values, std::uint32_t count, unsigned char* prime) {
    const int in_use = kernel_in_use();
    const kernel_entry& kernel = kernel_at(in_use);
    const int grouped = batch_kernel(in_use);
    undecided_values left;
    screen(kernel, grouped, values, count, prime, left);
    if (grouped != 0) {
        test_undecided(kernel, values, left, prime);
    }
}

} // namespace primecheck
