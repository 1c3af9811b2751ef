// exhaustive_check [KERNEL] [FROM TO]: tests every odd n in [FROM, TO), by
// default all of [0, 2^32), with each kernel this processor runs, forced and
// read back, against a segmented sieve, on all threads: once one value at a
// time (is_prime), and once in runs of 256 as the sweep tests them
// (test_run), each run half from the range's low end and half from its high
// end, so that its values' bounds differ. KERNEL names one kernel, or
// "picked" for the one is_prime picks by itself. A progress line goes to
// standard error; a line for each kernel and way and then the total of
// mismatches to standard output. Exit status 1 on any mismatch, 2 on a bad
// command line.

#include "run_batch.hpp"
#include "trial_division.hpp"

#include <primecheck/primality.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include <omp.h>
#include <unistd.h>

namespace {

using namespace primecheck;
using u64 = unsigned long long;

constexpr u64 ALL = u64{1} << 32;
constexpr u64 SEGMENT = u64{1} << 16;

// The odd values of [from, to), and whether each is prime, by a sieve by
// the odd numbers below 2^16, which sieve everything below 2^32.
void sieve_odd(u64 from, u64 to, std::vector<std::uint32_t>& values, std::vector<int>& prime) {
    std::vector<char> composite(to - from);
    for (u64 p = 3; p < (1U << 16) && p * p < to; p += 2) {
        const u64 multiple = (from + p - 1) / p * p;
        for (u64 m = std::max(p * p, multiple + (multiple % 2 == 0 ? p : 0)); m < to; m += 2 * p) {
            composite[m - from] = 1;
        }
    }
    for (u64 n = from | 1; n < to; n += 2) {
        values.push_back(static_cast<std::uint32_t>(n));
        prime.push_back(n > 1 && composite[n - from] == 0 ? 1 : 0);
    }
}

// The odd n of segment `low` and segment `high` (none where it is `low`)
// where the verdict disagrees with the sieve, the first few named: by
// is_prime, or else by test_run on runs of 128 values of each; `primes`
// counts the odd primes the sieve finds.
u64 check_segments(u64 low, u64 high, u64 from, u64 to, bool in_runs, u64& primes) {
    std::vector<std::uint32_t> values[2];
    std::vector<int> prime[2];
    const u64 segment[2] = {low, high};
    for (int s = 0; s < (high == low ? 1 : 2); ++s) {
        sieve_odd(std::max(from, segment[s] * SEGMENT), std::min(to, (segment[s] + 1) * SEGMENT),
                  values[s], prime[s]);
    }
    u64 mismatches = 0;
    const auto check = [&mismatches](std::uint32_t n, int said, int expected) {
        if (said != expected && ++mismatches <= 3) {
            std::printf("mismatch: %u said to be %s\n", n, said != 0 ? "prime" : "not prime");
        }
    };
    for (int s = 0; s < 2; ++s) {
        primes += static_cast<u64>(std::count(prime[s].begin(), prime[s].end(), 1));
        for (std::size_t i = 0; i < values[s].size() && !in_runs; ++i) {
            check(values[s][i], is_prime(values[s][i]), prime[s][i]);
        }
    }
    for (std::size_t at = 0; in_runs && at < std::max(values[0].size(), values[1].size());
         at += 128) {
        std::uint32_t run[256];
        int expected[256];
        std::uint32_t length = 0;
        for (int s = 0; s < 2; ++s) {
            for (std::size_t i = at; i < std::min(at + 128, values[s].size()); ++i) {
                run[length] = values[s][i];
                expected[length++] = prime[s][i];
            }
        }
        unsigned char said[256];
        test_run(run, length, said);
        for (std::uint32_t i = 0; i < length; ++i) {
            check(run[i], said[i], expected[i]);
        }
    }
    return mismatches;
}

u64 sweep(const char* name, u64 from, u64 to, bool in_runs) {
    // A test costs about as many divisions as the root of its value: the
    // time left is told by that. Segment s goes with the one as far from the
    // range's other end, low with high.
    const u64 first = from / SEGMENT;
    const u64 last = (to - 1) / SEGMENT;
    const u64 segments = (last - first) / 2 + 1;
    const auto work = [](u64 s) { return std::sqrt(static_cast<double>(s * SEGMENT)); };
    const double all_work = (std::pow(to, 1.5) - std::pow(from, 1.5)) / 1.5 / SEGMENT;
    const bool terminal = isatty(STDERR_FILENO) != 0;
    const double start = omp_get_wtime();
    double shown = start;
    double done = 0;
    u64 mismatches = 0;
    u64 primes = 0;
#pragma omp parallel for schedule(dynamic, 1) reduction(+ : mismatches, primes)
    for (u64 s = 0; s < segments; ++s) {
        mismatches += check_segments(first + s, last - s, from, to, in_runs, primes);
#pragma omp critical(progress)
        {
            const double now = omp_get_wtime();
            done += work(first + s) + (last - s != first + s ? work(last - s) : 0);
            if (now - shown >= (terminal ? 1 : 30)) {
                shown = now;
                std::fprintf(stderr, "%s: %.1f%%, %.1f million values/s, %.0f s left%c", name,
                             100 * done / all_work,
                             static_cast<double>(to - from) * done / all_work / 2e6 / (now - start),
                             (now - start) * (all_work - done) / done, terminal ? '\r' : '\n');
            }
        }
    }
    if (terminal && shown > start) {
        std::fputc('\n', stderr);
    }
    std::printf(
        "%s%s: %llu mismatches in %llu odd values from %llu to %llu (%llu primes), %.1f s\n", name,
        in_runs ? ", in runs" : "", mismatches, (to - (from | 1) + 1) / 2, from, to, primes,
        omp_get_wtime() - start);
    std::fflush(stdout);
    return mismatches;
}

// Digits only, and a value that fits: no sign, no space, no wrap-around.
bool parse(const char* text, u64& value) {
    const char* const end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    return error == std::errc{} && stop == end;
}

} // namespace

int main(int argc, char** argv) {
    const char* const only = argc == 2 || argc == 4 ? argv[1] : "";
    u64 from = 0;
    u64 to = ALL;
    if (argc > 4 || (argc >= 3 && (!parse(argv[argc - 2], from) || !parse(argv[argc - 1], to) ||
                                   from > to || to > ALL))) {
        std::fputs("usage: exhaustive_check [KERNEL|picked] [FROM TO], TO at most 2^32\n", stderr);
        return 2;
    }
    const bool picked = std::strcmp(only, "picked") == 0;
    u64 mismatches = picked ? sweep(kernel_at(kernel_in_use()).name, from, to, false) +
                                  sweep(kernel_at(kernel_in_use()).name, from, to, true)
                            : 0;
    int swept = picked ? 1 : 0;
    for (int kernel = 0; kernel < kernel_count() && !picked; ++kernel) {
        if (kernel_at(kernel).runs_here() != 0 &&
            (*only == '\0' || std::strcmp(only, kernel_at(kernel).name) == 0)) {
            force_kernel(kernel);
            if (kernel_in_use() != kernel) {
                std::printf("%s forced, but %s runs\n", kernel_at(kernel).name,
                            kernel_at(kernel_in_use()).name);
                return 1;
            }
            mismatches += sweep(kernel_at(kernel).name, from, to, false);
            // Grouped on every unit, also where one value at a time is the
            // faster and the sweep tests so.
            const int grouped = batch_kernel(kernel);
            set_batch(kernel, 1);
            mismatches += sweep(kernel_at(kernel).name, from, to, true);
            set_batch(kernel, grouped);
            ++swept;
        }
    }
    if (swept == 0) {
        std::fprintf(stderr, "exhaustive_check: no kernel %s runs here\n", only);
        return 2;
    }
    std::printf("%llu mismatches\n", mismatches);
    return mismatches == 0 ? 0 : 1;
}
