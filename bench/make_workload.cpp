// make_workload KIND COUNT [SEED]: writes COUNT values, one a line, to
// standard output. Its primes come from a sieve of its own, not from the
// code under test.
//   largest-primes  the COUNT largest primes below 2^32, in increasing order
//   first-primes    the first COUNT primes
//   random32        uniform 32-bit values
//   evens           uniform even 32-bit values, all of them reported
//   random20        uniform values below 2^20
//   every-100th-prime         the 100th, 200th, ... prime below 2^32, in
//                             increasing order (COUNT at most 2,032,802)
//   every-100th-prime-mixed   the same values, shuffled
//   all-primes      the first COUNT primes of all 203,280,221 below 2^32, in
//                   increasing order

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <vector>

namespace {

// Primes in [low, high), by a sieve of that segment with the primes below
// the square root of high.
std::vector<std::uint32_t> primes_between(std::uint64_t low, std::uint64_t high) {
    std::vector<std::uint64_t> base;
    std::vector<bool> small(65'537, true);
    for (std::uint64_t p = 2; p < small.size(); ++p) {
        if (small[p]) {
            base.push_back(p);
            for (std::uint64_t m = p * p; m < small.size(); m += p) {
                small[m] = false;
            }
        }
    }
    std::vector<bool> prime(high - low, true);
    for (const std::uint64_t p : base) {
        if (p * p >= high) {
            break;
        }
        for (std::uint64_t m = std::max(p * p, (low + p - 1) / p * p); m < high; m += p) {
            prime[m - low] = false;
        }
    }
    std::vector<std::uint32_t> primes;
    for (std::uint64_t n = std::max<std::uint64_t>(low, 2); n < high; ++n) {
        if (prime[n - low]) {
            primes.push_back(static_cast<std::uint32_t>(n));
        }
    }
    return primes;
}

// Calls `each` with every prime below 2^32 in increasing order, until it
// returns false, by a sieve of segments of 2^24 values.
template <typename EACH> void each_prime_below_2_32(EACH each) {
    constexpr std::uint64_t SEGMENT = std::uint64_t{1} << 24;
    const std::vector<std::uint32_t> base = primes_between(0, 65'536);
    std::vector<char> composite(SEGMENT);
    for (std::uint64_t low = 0; low < (std::uint64_t{1} << 32); low += SEGMENT) {
        std::fill(composite.begin(), composite.end(), 0);
        for (const std::uint64_t p : base) {
            for (std::uint64_t m = std::max(p * p, (low + p - 1) / p * p); m < low + SEGMENT;
                 m += p) {
                composite[m - low] = 1;
            }
        }
        for (std::uint64_t n = std::max<std::uint64_t>(low, 2); n < low + SEGMENT; ++n) {
            if (composite[n - low] == 0 && !each(static_cast<std::uint32_t>(n))) {
                return;
            }
        }
    }
}

void write_value(std::uint32_t v) {
    char line[16];
    char* const end = std::to_chars(line, line + sizeof line - 1, v).ptr;
    *end = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(end - line + 1), stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: make_workload largest-primes|first-primes|random32|evens|random20|"
                   "every-100th-prime|every-100th-prime-mixed|all-primes COUNT [SEED]\n",
                   stderr);
        return 2;
    }
    const std::string_view kind = argv[1];
    const auto count = static_cast<std::size_t>(std::strtoull(argv[2], nullptr, 10));
    std::mt19937 random(argc > 3 ? static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10))
                                 : 1);
    if (kind == "largest-primes" || kind == "first-primes") {
        // Primes are about one in 22 near 2^32, and denser below.
        const std::uint64_t width = 30 * count + 1000;
        const std::vector<std::uint32_t> primes =
            kind == "first-primes" ? primes_between(0, width)
                                   : primes_between((1ULL << 32) - width, 1ULL << 32);
        if (primes.size() < count) {
            std::fputs("make_workload: too many primes asked for\n", stderr);
            return 1;
        }
        const std::size_t first = kind == "first-primes" ? 0 : primes.size() - count;
        for (std::size_t i = first; i < first + count; ++i) {
            write_value(primes[i]);
        }
    } else if (kind == "random32" || kind == "evens" || kind == "random20") {
        const std::uint32_t mask = kind == "random20" ? (1U << 20) - 1
                                   : kind == "evens"  ? ~1U
                                                      : ~0U;
        for (std::size_t i = 0; i < count; ++i) {
            write_value(static_cast<std::uint32_t>(random()) & mask);
        }
    } else if (kind == "every-100th-prime" || kind == "every-100th-prime-mixed" ||
               kind == "all-primes") {
        const std::uint64_t step = kind == "all-primes" ? 1 : 100;
        std::vector<std::uint32_t> picked;
        std::uint64_t seen = 0;
        each_prime_below_2_32([&](std::uint32_t p) {
            if (++seen % step == 0) {
                if (step == 1) {
                    write_value(p);
                } else {
                    picked.push_back(p);
                }
            }
            return seen / step < count;
        });
        if (kind == "every-100th-prime-mixed") {
            std::shuffle(picked.begin(), picked.end(), random);
        }
        for (const std::uint32_t p : picked) {
            write_value(p);
        }
    } else {
        std::fprintf(stderr, "make_workload: unknown kind %s\n", argv[1]);
        return 2;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
