// compute_floor FILE TEAM_SIZE REPEATS: the least time trial division can
// take on FILE with TEAM_SIZE threads, in two forms. Both time one core on
// the static share that needs the most trial divisions, with no reading and
// no writing, best of REPEATS:
//   scalar floor  one 32-bit remainder per divisor, as in the plain program;
//   vector floor  the same divisors by the divisor table's test in bare
//                 lanes of the width is_prime runs here (bare_lanes); on
//                 AVX-512, where is_prime reads half the table, it can
//                 beat it.
// Prints both times in nanoseconds, the share's number of trial divisions and
// its index range.

#include "bare_lanes.hpp"
#include "trial_division.hpp"

#include <primecheck/number_reader.hpp>
#include <primecheck/primality.hpp>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace primecheck;

[[gnu::noinline]] std::uint32_t scalar_trial_division(const std::uint32_t* values,
                                                      std::size_t count) {
    std::uint32_t composite = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t n = values[k];
        if (n <= 2 || n % 2 == 0) {
            composite += static_cast<std::uint32_t>(n != 2);
            continue;
        }
        const double bound = std::sqrt(static_cast<double>(n));
        for (std::uint32_t i = 3; static_cast<double>(i) <= bound; i += 2) {
            if (n % i == 0) {
                ++composite;
                break;
            }
        }
    }
    return composite;
}

template <class Work> long long best_of(int repeats, Work work) {
    long long best = -1;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const std::size_t result = work();
        const auto stop = std::chrono::steady_clock::now();
        // Keeps the work from being optimised away.
        if (result == 0xFFFFFFFFU) {
            std::puts("");
        }
        const long long t =
            std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count();
        best = best < 0 || t < best ? t : best;
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: compute_floor FILE TEAM_SIZE REPEATS\n", stderr);
        return 2;
    }
    std::FILE* const file = std::fopen(argv[1], "r");
    number_list list;
    if (file == nullptr || !allocate_number_list(list, 110'882)) {
        std::perror("compute_floor");
        return 1;
    }
    read_numbers(file, list);
    std::fclose(file);
    const auto team = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const int repeats = std::atoi(argv[3]);

    std::vector<std::uint32_t> divisions(list.count);
    for (std::uint32_t i = 0; i < list.count; ++i) {
        divisions[i] = trial_divisions(list.numbers[i]);
    }
    std::uint64_t most = 0;
    index_range costliest{0, 0};
    for (std::uint32_t member = 0; member < team; ++member) {
        const index_range share = static_share(list.count, member, team);
        std::uint64_t made = 0;
        for (std::uint32_t i = share.begin; i < share.end; ++i) {
            made += divisions[i];
        }
        if (made > most || member == 0) {
            most = made;
            costliest = share;
        }
    }
    const std::uint32_t* const values = list.numbers + costliest.begin;
    const std::size_t count = costliest.end - costliest.begin;
    const long long scalar_ns =
        best_of(repeats, [&] { return scalar_trial_division(values, count); });
    const long long vector_ns = best_of(repeats, [&] {
        return bare_lanes(kernel_at(best_kernel()).lanes, values,
                          divisions.data() + costliest.begin, count);
    });
    std::printf("%lld %lld %llu %u %u\n", scalar_ns, vector_ns,
                static_cast<unsigned long long>(most), costliest.begin, costliest.end);
    release_number_list(list);
    return 0;
}
