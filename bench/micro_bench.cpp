// Micro-benchmarks: trial division against a bare loop of remainders, the
// reader's throughput, and formatting and writing report lines.

#include "number_reader.hpp"
#include "primality.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Large primes, so that every call runs its whole loop.
const std::uint32_t LARGE_PRIMES[] = {4'294'967'291U, 4'294'967'279U, 4'294'967'231U,
                                      4'294'967'197U};

// Trial divisions one call makes on an odd prime n: the odd i from 3 to its root.
std::int64_t divisions_for_prime(std::uint32_t n) {
    const auto root = static_cast<std::int64_t>(std::sqrt(static_cast<double>(n)));
    return (root - 1) / 2;
}

std::int64_t divisions_per_round() {
    std::int64_t total = 0;
    for (const std::uint32_t n : LARGE_PRIMES) {
        total += divisions_for_prime(n);
    }
    return total;
}

void report_per_division(benchmark::State& state) {
    state.counters["ns_per_division"] =
        benchmark::Counter(static_cast<double>(state.iterations() * divisions_per_round()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void bm_is_prime_large_primes(benchmark::State& state) {
    for (auto _ : state) {
        for (const std::uint32_t n : LARGE_PRIMES) {
            benchmark::DoNotOptimize(is_prime(n));
        }
    }
    report_per_division(state);
}
BENCHMARK(bm_is_prime_large_primes);

// The floor under trial division: the same 32-bit remainders with nothing
// around them but the loop.
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
    report_per_division(state);
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
        const read_result result =
            read_numbers(file, list, static_cast<std::size_t>(state.range(0)));
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

BENCHMARK_MAIN();
