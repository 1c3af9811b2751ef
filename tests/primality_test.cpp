#include "oracle.hpp"
#include "thread_placement.hpp"
#include "trial_division.hpp"

#include <gtest/gtest.h>
#include <primecheck/primality.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace {

using namespace primecheck;

// Every kernel this processor runs is forced in turn, each against a sieve
// below 2^23, itself held to pi(10^6) = 78,498, and against plain integer
// trial division on hard cases, seeded random values and semiprimes p*q with
// q prime and as large as 32 bits allow: p, each odd prime below 2^16, is
// then the one divisor that decides, on whatever lane and by whatever method
// it comes.
TEST(IsPrime, EveryKernelAgreesWithIndependentOracles) {
    constexpr std::uint32_t LIMIT = 1U << 23;
    const std::vector<bool> prime = sieve(LIMIT);
    ASSERT_EQ(std::count(prime.begin(), prime.begin() + 1'000'000, true), 78'498);
    std::vector<std::uint32_t> values = HARD_CASES;
    std::mt19937 random(20261208);
    for (int i = 0; i < 300'000; ++i) {
        values.push_back(static_cast<std::uint32_t>(random()));
    }
    for (std::uint32_t p = 3; p < (1U << 16); p += 2) {
        std::uint32_t q = std::min(LIMIT - 1, std::numeric_limits<std::uint32_t>::max() / p);
        while (prime[p] && !prime[q]) {
            --q;
        }
        if (prime[p]) {
            values.push_back(p * q);
        }
    }
    std::vector<int> expected(values.size());
    std::transform(values.begin(), values.end(), expected.begin(),
                   [](std::uint32_t n) { return divides_nothing(n) ? 1 : 0; });
    for (int kernel = 0; kernel < kernel_count(); ++kernel) {
        if (kernel_runs_here(kernel) == 0) {
            std::printf("%s: this processor cannot run it; not tested\n", kernel_name(kernel));
            continue;
        }
        SCOPED_TRACE(kernel_name(kernel));
        force_kernel(kernel);
        for (std::uint32_t n = 0; n < LIMIT; ++n) {
            ASSERT_EQ(is_prime(n), prime[n] ? 1 : 0) << n;
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            ASSERT_EQ(is_prime(values[i]), expected[i]) << values[i];
        }
    }
    force_kernel(best_kernel());
}

// Once a write has failed, the output is over, also for a caller that calls
// again without clearing the error: the sweep must neither write nor test.
TEST(CountNonPrimes, WritesAndTestsNothingAfterAFailedWrite) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    std::FILE* const capture = std::tmpfile();
    ASSERT_NE(capture, nullptr);
    dup2(fileno(capture), STDOUT_FILENO);
    // Reading an output stream sets its error indicator.
    std::fgetc(stdout);
    ASSERT_NE(std::ferror(stdout), 0);
    const std::uint32_t numbers[] = {4, 9, 15};
    errno = 0;
    const std::uint32_t total = count_non_primes(numbers, 3);
    const int error = errno;
    std::clearerr(stdout);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ(total, 0U);
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(lseek(fileno(capture), 0, SEEK_END), 0) << "written after the failure";
    std::fclose(capture);
}

// A caller's own thread that prints while the sweep writes: no line of
// either may land inside a line of the other.
TEST(CountNonPrimes, KeepsLinesWholeBesideACallersOwnOutput) {
    constexpr std::uint32_t COUNT = 1'000'000;
    std::vector<std::uint32_t> evens(COUNT);
    for (std::uint32_t i = 0; i < COUNT; ++i) {
        evens[i] = 4 + 2 * i;
    }
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    std::FILE* const capture = std::tmpfile();
    ASSERT_NE(capture, nullptr);
    dup2(fileno(capture), STDOUT_FILENO);
    std::atomic<int> done{0};
    std::thread caller([&done] {
        for (int i = 0; done.load() == 0; ++i) {
            std::printf("caller line %d\n", i);
        }
    });
    const std::uint32_t total = count_non_primes(evens.data(), COUNT);
    done.store(1);
    caller.join();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ(total, COUNT);
    std::rewind(capture);
    std::uint32_t reports = 0;
    char line[64];
    while (std::fgets(line, sizeof line, capture) != nullptr) {
        const std::string text(line);
        const std::size_t digits = text.find_first_not_of("0123456789");
        if (text.starts_with("caller line ")) {
            EXPECT_EQ(text.find_first_not_of("0123456789", 12), text.size() - 1) << text;
        } else {
            ASSERT_GT(digits, 0U) << text;
            ASSERT_EQ(text.substr(digits), " is NOT prime!\n") << text;
            ++reports;
        }
    }
    EXPECT_EQ(reports, COUNT);
    std::fclose(capture);
}

// A worker on member 0's processor goes to another one, and its mask, the
// processors the user allows it, is the same afterwards; with only one
// allowed, it stays.
TEST(MoveOffProcessor, MovesWithinTheMaskAndKeepsIt) {
    std::thread([] {
        cpu_set_t allowed;
        ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
        cpu_set_t after;
        const int here = sched_getcpu();
        if (CPU_COUNT(&allowed) > 1) {
            EXPECT_EQ(move_off_processor(here, 1), 1);
            const int now = sched_getcpu();
            EXPECT_NE(now, here);
            EXPECT_TRUE(CPU_ISSET(now, &allowed));
            ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
            EXPECT_TRUE(CPU_EQUAL(&after, &allowed));
        }
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        EXPECT_EQ(move_off_processor(sched_getcpu(), 1), 0);
        ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
        EXPECT_TRUE(CPU_EQUAL(&after, &one));
    }).join();
}

TEST(StaticShare, WorkedExamples) {
    const auto ranges = [](std::uint32_t count, std::uint32_t team) {
        std::vector<std::uint32_t> bounds;
        for (std::uint32_t t = 0; t < team; ++t) {
            const index_range r = static_share(count, t, team);
            bounds.push_back(r.begin);
            bounds.push_back(r.end);
        }
        return bounds;
    };
    EXPECT_EQ(ranges(10, 4), (std::vector<std::uint32_t>{0, 3, 3, 6, 6, 8, 8, 10}));
    EXPECT_EQ(ranges(10, 3), (std::vector<std::uint32_t>{0, 4, 4, 7, 7, 10}));
    EXPECT_EQ(ranges(2, 4), (std::vector<std::uint32_t>{0, 1, 1, 2, 2, 2, 2, 2}));
}

TEST(StaticShare, SharesTileTheListInMemberOrderAndDifferByAtMostOne) {
    const std::uint32_t counts[] = {0, 1, 2, 7, 64, 99, 1000, 110'882, 4'294'967'295U};
    for (const std::uint32_t count : counts) {
        for (std::uint32_t team = 1; team <= 70; ++team) {
            std::uint32_t next = 0;
            std::uint32_t smallest = count;
            std::uint32_t largest = 0;
            for (std::uint32_t t = 0; t < team; ++t) {
                const index_range r = static_share(count, t, team);
                ASSERT_EQ(r.begin, next) << count << " on " << team << ", member " << t;
                ASSERT_LE(r.begin, r.end);
                smallest = std::min(smallest, r.end - r.begin);
                largest = std::max(largest, r.end - r.begin);
                next = r.end;
            }
            ASSERT_EQ(next, count) << count << " on " << team;
            ASSERT_LE(largest - smallest, 1U) << count << " on " << team;
        }
    }
}

} // namespace
