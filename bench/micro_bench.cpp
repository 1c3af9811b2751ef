// Micro-benchmarks: is_prime on every kernel against the same divisions in
// bare lanes, the bare scalar remainder loop, the reader's throughput, and
// formatting and writing report lines.

#include "bare_lanes.hpp"
#include "run_batch.hpp"
#include "trial_division.hpp"

#include <benchmark/benchmark.h>
#include <primecheck/number_reader.hpp>
#include <primecheck/primality.hpp>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace primecheck;

// Primes, so that every call runs its whole loop: the largest below 2^32,
// which read the whole divisor table, and the largest below 2^23, whose
// part of it stays in the first-level cache.
constexpr std::size_t PRIME_COUNT = 4;
using primes = std::array<std::uint32_t, PRIME_COUNT>;
constexpr primes LARGE_PRIMES = {4'294'967'291U, 4'294'967'279U, 4'294'967'231U, 4'294'967'197U};
constexpr primes SMALL_PRIMES = {8'388'593U, 8'388'587U, 8'388'581U, 8'388'571U};

primes divisions_of(const primes& values) {
    primes divisions{};
    for (std::size_t k = 0; k < PRIME_COUNT; ++k) {
        divisions[k] = trial_divisions(values[k]);
    }
    return divisions;
}

void report_per_division(benchmark::State& state, const primes& values) {
    const primes divisions = divisions_of(values);
    const auto per_round = std::accumulate(divisions.begin(), divisions.end(), std::int64_t{0});
    state.counters["ns_per_division"] =
        benchmark::Counter(static_cast<double>(state.iterations() * per_round),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// is_prime on one kernel, and the same divisors by the table's test in bare
// lanes of that kernel's width.
void bm_is_prime(benchmark::State& state, int kernel, const primes& values) {
    force_kernel(kernel);
    if (kernel_in_use() != kernel) {
        state.SkipWithError((std::string(kernel_at(kernel).name) + " forced, but " +
                             kernel_at(kernel_in_use()).name + " runs")
                                .c_str());
        return;
    }
    for (auto _ : state) {
        for (const std::uint32_t n : values) {
            benchmark::DoNotOptimize(is_prime(n));
        }
    }
    state.counters["lanes"] = kernel_at(kernel).lanes;
    report_per_division(state, values);
    force_kernel(best_kernel());
}

// The `count` largest primes up to odd `top`, ascending, by plain scalar
// trial division.
std::vector<std::uint32_t> primes_below(std::uint32_t top, std::size_t count) {
    std::vector<std::uint32_t> found;
    for (std::uint32_t n = top; found.size() < count; n -= 2) {
        bool prime = true;
        for (std::uint32_t d = 3; prime && std::uint64_t{d} * d <= n; d += 2) {
            prime = n % d != 0;
        }
        if (prime) {
            found.insert(found.begin(), n);
        }
    }
    return found;
}

// A run of 256 primes, the largest below 2^32 or below 2^23, tested as the
// sweep tests a run, on one kernel, in groups or one value at a time; ns
// per (value, divisor) pair.
void bm_run(benchmark::State& state, int kernel, bool grouped, bool large) {
    static const std::vector<std::uint32_t> largest = primes_below(4'294'967'295U, 256);
    static const std::vector<std::uint32_t> below_2_23 = primes_below((1U << 23) - 1, 256);
    const std::vector<std::uint32_t>& values = large ? largest : below_2_23;
    force_kernel(kernel);
    const int was = batch_kernel(kernel);
    set_batch(kernel, grouped ? 1 : 0);
    unsigned char prime[256];
    for (auto _ : state) {
        test_run(values.data(), 256, prime);
        benchmark::DoNotOptimize(prime);
    }
    set_batch(kernel, was);
    std::int64_t pairs = 0;
    for (const std::uint32_t n : values) {
        pairs += trial_divisions(n);
    }
    state.counters["ns_per_pair"] =
        benchmark::Counter(static_cast<double>(state.iterations() * pairs),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    force_kernel(best_kernel());
}

// The unit's limit for a pair, measured in the same run: a multiply and a
// compare per vector of 16 pairs, or the multiply alone.
void bm_unit_limit(benchmark::State& state, int with_compare) {
    constexpr std::size_t DIVISORS = 4096;
    for (auto _ : state) {
        benchmark::DoNotOptimize(unit_limit(12345, DIVISORS, with_compare));
    }
    state.counters["ns_per_pair"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * DIVISORS * 128,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void bm_bare_lanes(benchmark::State& state, int kernel, const primes& values) {
    const primes divisions = divisions_of(values);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            bare_lanes(kernel_at(kernel).lanes, values.data(), divisions.data(), PRIME_COUNT));
    }
    state.counters["lanes"] = kernel_at(kernel).lanes;
    report_per_division(state, values);
}

// The scalar floor: the same 32-bit remainders with nothing around them but
// the loop.
[[gnu::noinline]] int raw_remainders(std::uint32_t n, std::uint32_t root) {
    for (std::uint32_t i = 3; i <= root; i += 2) {
        if (n % i == 0) {
            return 0;
        }
    }
    return 1;
}

void bm_raw_remainder_loop(benchmark::State& state) {
    for (auto _ : state) {
        for (const std::uint32_t n : LARGE_PRIMES) {
            std::uint32_t root = static_cast<std::uint32_t>(std::sqrt(static_cast<double>(n)));
            benchmark::DoNotOptimize(root);
            benchmark::DoNotOptimize(raw_remainders(n, root));
        }
    }
    state.counters["lanes"] = 1;
    report_per_division(state, LARGE_PRIMES);
}
BENCHMARK(bm_raw_remainder_loop);

// About 100 MB: short and long values, with every kind of separator.
const std::string& reader_text() {
    static const std::string text = [] {
        std::mt19937 random(42);
        const char separators[] = {' ', '\n', '\t', '\r', ' ', '\n'};
        std::string t;
        t.reserve(101'000'000);
        while (t.size() < 100'000'000) {
            const std::uint32_t value = (random() % 4 == 0) ? random() % 100 : random();
            t += std::to_string(value);
            t += separators[random() % sizeof separators];
            if (random() % 16 == 0) {
                t += "\r\n";
            }
        }
        return t;
    }();
    return text;
}

void bm_reader(benchmark::State& state) {
    const std::string& text = reader_text();
    for (auto _ : state) {
        std::FILE* const file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        number_list list;
        allocate_number_list(list, 110'882);
        // Not const: Google Benchmark 1.9 deprecates DoNotOptimize on a
        // const value.
        read_result result = read_numbers(file, list, static_cast<std::size_t>(state.range(0)));
        benchmark::DoNotOptimize(result.stop);
        benchmark::DoNotOptimize(list.numbers[list.count - 1]);
        release_number_list(list);
        std::fclose(file);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(bm_reader)->Arg(4096)->Arg(READ_BUFFER_SIZE)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// The sweep over even values costs no division, so this is formatting and
// writing alone; run it with OMP_NUM_THREADS=1 to leave the lock hand-off out.
void bm_report_lines(benchmark::State& state) {
    std::vector<std::uint32_t> evens(1'000'000);
    std::int64_t bytes = 0;
    for (std::size_t i = 0; i < evens.size(); ++i) {
        evens[i] = 4'000'000'000U + 2 * static_cast<std::uint32_t>(i);
        bytes += static_cast<std::int64_t>(std::to_string(evens[i]).size() + 15);
    }
    // Standard output goes to /dev/null for the run, through the program's
    // buffer size, and comes back for the benchmark's own report.
    static char buffer[1 << 16];
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            count_non_primes(evens.data(), static_cast<std::uint32_t>(evens.size())));
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(bm_report_lines)->Unit(benchmark::kMillisecond);

} // namespace

// One is_prime and one bare-lanes benchmark for every kernel this processor
// runs.
int main(int argc, char** argv) {
    for (int kernel = 0; kernel < kernel_count(); ++kernel) {
        if (kernel_at(kernel).runs_here() == 0) {
            continue;
        }
        for (const bool large : {true, false}) {
            for (const bool grouped : {true, false}) {
                const std::string name =
                    std::string(grouped ? "bm_run_grouped/" : "bm_run_one_by_one/") +
                    kernel_at(kernel).name + (large ? "/large" : "/small");
                benchmark::RegisterBenchmark(name.c_str(),
                                             [kernel, grouped, large](benchmark::State& s) {
                                                 bm_run(s, kernel, grouped, large);
                                             });
            }
            const primes& values = large ? LARGE_PRIMES : SMALL_PRIMES;
            const std::string suffix =
                std::string(kernel_at(kernel).name) + (large ? "/large" : "/small");
            benchmark::RegisterBenchmark(
                ("bm_is_prime/" + suffix).c_str(),
                [kernel, &values](benchmark::State& s) { bm_is_prime(s, kernel, values); });
            benchmark::RegisterBenchmark(
                ("bm_bare_lanes/" + suffix).c_str(),
                [kernel, &values](benchmark::State& s) { bm_bare_lanes(s, kernel, values); });
        }
    }
    for (int kernel = 0; kernel < kernel_count(); ++kernel) {
        if (kernel_at(kernel).runs_here() != 0 && std::string(kernel_at(kernel).name) == "avx512") {
            benchmark::RegisterBenchmark("bm_unit_limit/avx512",
                                         [](benchmark::State& s) { bm_unit_limit(s, 1); });
            benchmark::RegisterBenchmark("bm_multiplier_limit/avx512",
                                         [](benchmark::State& s) { bm_unit_limit(s, 0); });
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
