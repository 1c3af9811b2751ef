#include "oracle.hpp"
#include "report_output.hpp"
#include "run_batch.hpp"
#include "sweep.hpp"
#include "thread_placement.hpp"
#include "trial_division.hpp"

#include <gtest/gtest.h>
#include <primecheck/primality.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <omp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace primecheck;

// The divisor table's test, which every kernel makes in each lane, against
// the remainder, for every odd d below 2^16: at the smallest and largest
// multiples k*d that 32 bits hold, and beside them.
TEST(DivisorTable, AgreesWithTheRemainderAtBothEndsOfEveryDivisor) {
    constexpr std::uint64_t ALL = std::uint64_t{1} << 32;
    for (std::uint32_t d = 3; d < (1U << 16); d += 2) {
        const std::uint64_t last = (ALL - 1) / d;
        for (const std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, last - 1, last}) {
            for (const std::uint64_t n : {k * d - 1, k * d, k * d + 1}) {
                if (n < ALL) {
                    const auto n32 = static_cast<std::uint32_t>(n);
                    ASSERT_EQ(table_says_divides(n32, d), n32 % d == 0 ? 1 : 0) << n << " by " << d;
                }
            }
        }
    }
}

// Every kernel this processor runs is forced in turn, read back, and held to
// a sieve below 2^23, itself held to pi(10^6) = 78,498, and to plain integer
// trial division on hard cases, seeded random values, every odd prime square
// below 2^32 (only the last divisor decides), the semiprimes p*q with q
// the largest prime that 32 bits allow: p, each odd prime below 2^16, is then
// the one divisor that decides, and those where q is (2^32 - 1) / p, whose
// test meets its limit exactly. Between them they put the deciding divisor
// in every lane of every step and of the tail. Last, p * q for every 16th
// prime p from 4,099 on and q the next prime: both factors lie where AVX-512
// tests by a bound that more than one lane of a step may pass without
// dividing n, such as 29,249,579 = 4,153 * 7,043. Then the choice where none
// is forced: the kernel with the most lanes, and on AVX-512 the one for the
// processor's family.
TEST(IsPrime, EveryKernelAgreesWithIndependentOracles) {
    constexpr std::uint32_t LIMIT = 1U << 23;
    const std::vector<bool> prime = sieve(LIMIT);
    ASSERT_EQ(std::count(prime.begin(), prime.begin() + 1'000'000, true), 78'498);
    std::vector<std::uint32_t> values = HARD_CASES;
    std::mt19937 random(20261208);
    std::generate_n(std::back_inserter(values), 300'000, [&random] { return random(); });
    for (std::uint32_t p = 3; p < (1U << 16); p += 2) {
        if (!prime[p]) {
            continue;
        }
        std::uint32_t q = std::numeric_limits<std::uint32_t>::max() / p;
        while (!(q < LIMIT ? prime[q] : divides_nothing(q))) {
            --q;
        }
        values.push_back(p * p);
        values.push_back(p * q);
    }
    values.push_back(29'249'579);
    const std::vector<std::uint32_t> at_the_limit = quotient_at_the_limit();
    values.insert(values.end(), at_the_limit.begin(), at_the_limit.end());
    std::uint32_t primes_past_4096 = 0;
    for (std::uint32_t p = 4099; p < (1U << 16); p += 2) {
        if (prime[p] && primes_past_4096++ % 16 == 0) {
            std::uint32_t q = p + 2;
            while (!prime[q]) {
                q += 2;
            }
            values.push_back(p * q);
        }
    }
    std::vector<int> expected(values.size());
    std::transform(values.begin(), values.end(), expected.begin(),
                   [](std::uint32_t n) { return divides_nothing(n) ? 1 : 0; });
    int most_lanes = 0;
    for (int kernel = 0; kernel < kernel_count(); ++kernel) {
        if (kernel_at(kernel).runs_here() == 0) {
            std::printf("%s: this processor cannot run it; not tested\n", kernel_at(kernel).name);
            continue;
        }
        SCOPED_TRACE(kernel_at(kernel).name);
        most_lanes = std::max(most_lanes, kernel_at(kernel).lanes);
        force_kernel(kernel);
        ASSERT_EQ(kernel_in_use(), kernel) << "another kernel runs";
        for (std::uint32_t n = 0; n < LIMIT; ++n) {
            ASSERT_EQ(is_prime(n), prime[n] ? 1 : 0) << n;
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            ASSERT_EQ(is_prime(values[i]), expected[i]) << values[i];
        }
    }
    EXPECT_EQ(kernel_at(best_kernel()).lanes, most_lanes) << kernel_at(best_kernel()).name;
#ifdef __x86_64__
    // Among the AVX-512 kernels, the one for a unit of two halves on AMD's
    // families 25 and 26 (Zen 4 and Zen 5), and the one with chained masks
    // on Intel's, as the kernel's own processor describes itself to Linux.
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    std::string vendor;
    std::string family;
    bool avx512 = false;
    while (std::getline(cpuinfo, line) && line.find_first_not_of(" \t") != std::string::npos) {
        const std::string value = line.substr(line.find(':') + 1);
        vendor = line.rfind("vendor_id", 0) == 0 ? value : vendor;
        family = line.rfind("cpu family", 0) == 0 ? value : family;
        avx512 = avx512 || (line.rfind("flags", 0) == 0 &&
                            (value + ' ').find(" avx512f ") != std::string::npos);
    }
    if (avx512) {
        const bool zen = vendor == " AuthenticAMD" && (family == " 25" || family == " 26");
        EXPECT_STREQ(kernel_at(best_kernel()).name, zen                         ? "avx512-split"
                                                    : vendor == " GenuineIntel" ? "avx512-chain"
                                                                                : "avx512");
    }
#endif
    force_kernel(best_kernel());
}

// A run tested as the sweep tests it, on every kernel this processor runs,
// in groups and one value at a time, against plain trial division, for the
// runs a group can get wrong: small primes up to 65,537 and primes of every
// size from 2^22 between the largest ones, so that bounds differ from lane
// to lane; prime squares, which only
// their last divisor decides, at a group's edges; a composite whose least
// factor is near the table's top; runs shorter than a group; one value all
// along; and composites whose test meets its limit exactly at the first and
// last lanes of groups, whole or a quarter short.
TEST(TestRun, AgreesWithPlainTrialDivisionOnEveryKindOfRun) {
    std::vector<std::uint32_t> largest;
    for (std::uint32_t n = 4'294'967'295U; largest.size() < 256; n -= 2) {
        if (divides_nothing(n)) {
            largest.insert(largest.begin(), n);
        }
    }
    std::vector<std::vector<std::uint32_t>> runs(4, largest);
    for (std::uint32_t i = 0; i < 256; i += 2) {
        // Small primes here, and primes of every size from 2^22 on there.
        std::uint32_t n = i % 4 == 0 ? 65'537 - i * 200 : 4'200'001 + i * 16'000'000;
        while (!divides_nothing(n)) {
            n += 2;
        }
        runs[0][i] = n;
    }
    // 65,521 and 65,519 squared, and 65,519 * 65,521.
    for (const std::size_t edge : {0, 15, 16, 47, 48, 63, 64, 127, 128, 191, 192, 255}) {
        runs[1][edge] = edge % 2 == 0 ? 4'293'001'441U : 4'292'739'361U;
        runs[2][edge] = 4'292'870'399U;
    }
    runs[3].assign(256, 4'294'967'291U);
    runs.emplace_back(256, 4'293'001'441U);
    runs.emplace_back(largest.begin(), largest.begin() + 50);
    runs.emplace_back(largest.begin(), largest.begin() + 20);
    runs.push_back(HARD_CASES);
    // Whole groups and a last one a quarter short on AVX-512, which must
    // still test its last lanes.
    runs.push_back(limits_at_group_edges(256));
    runs.push_back(limits_at_group_edges(114));
    for (int kernel = 0; kernel < kernel_count(); ++kernel) {
        const int grouped = batch_kernel(kernel);
        for (const int batch : {0, 1}) {
            if (kernel_at(kernel).runs_here() == 0) {
                continue;
            }
            SCOPED_TRACE(std::string(kernel_at(kernel).name) + (batch != 0 ? ", grouped" : ""));
            force_kernel(kernel);
            set_batch(kernel, batch);
            for (const std::vector<std::uint32_t>& run : runs) {
                unsigned char prime[256];
                test_run(run.data(), static_cast<std::uint32_t>(run.size()), prime);
                for (std::size_t i = 0; i < run.size(); ++i) {
                    ASSERT_EQ(prime[i], divides_nothing(run[i]) ? 1 : 0) << run[i] << " at " << i;
                }
            }
        }
        set_batch(kernel, grouped);
    }
    force_kernel(best_kernel());
}

// Runs `body` with standard output sent to a file of its own, and returns
// what reached it; the stream's error indicator is cleared after.
template <typename BODY> std::string stdout_of(BODY body) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    std::FILE* const capture = std::tmpfile();
    dup2(fileno(capture), STDOUT_FILENO);
    body();
    std::clearerr(stdout);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text(static_cast<std::size_t>(lseek(fileno(capture), 0, SEEK_END)), '\0');
    const ssize_t got = pread(fileno(capture), text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    std::fclose(capture);
    return text;
}

// Once a write has failed, the output is over, also for a caller that calls
// again without clearing the error: the sweep must neither write nor test.
TEST(CountNonPrimes, WritesAndTestsNothingAfterAFailedWrite) {
    const std::uint32_t numbers[] = {4, 9, 15};
    std::uint32_t total = 1;
    int error = 0;
    EXPECT_EQ(stdout_of([&] {
                  // Reading an output stream sets its error indicator.
                  std::fgetc(stdout);
                  errno = 0;
                  total = count_non_primes(numbers, 3);
                  error = errno;
              }),
              "")
        << "written after the failure";
    EXPECT_EQ(total, 0U);
    EXPECT_EQ(error, EIO);
}

// A failed write's count: on /dev/full the report gathers 64 KiB of lines
// (4,096 of these), whose write fails when the next run's 256 lines would
// not fit beside them; the lines it tried to write are both.
TEST(CountNonPrimes, CountsTheLinesOfTheFailedWrite) {
    const std::vector<std::uint32_t> fours(20'000, 4);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int full = open("/dev/full", O_WRONLY);
    dup2(full, STDOUT_FILENO);
    errno = 0;
    const std::uint32_t tried = count_non_primes(fours.data(), 20'000);
    const int error = errno;
    std::clearerr(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(full);
    EXPECT_EQ(tried, 4096U + 256U);
    EXPECT_EQ(error, ENOSPC);
}

// The caller's own text, still in the stream's buffer, goes out first and
// moves where the report begins: that is no other writer, so the report
// fills the file to its last whole line under the size limit.
TEST(CountNonPrimes, FillsToTheSizeLimitAfterACallersOwnText) {
    const std::vector<std::uint32_t> fours(1'000, 4);
    rlimit saved = {};
    getrlimit(RLIMIT_FSIZE, &saved);
    const std::string text = stdout_of([&] {
        std::printf("caller ");
        void (*const before)(int) = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = 10'000;
        setrlimit(RLIMIT_FSIZE, &limit);
        count_non_primes(fours.data(), 1'000);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, before);
    });
    std::string expected = "caller ";
    while (expected.size() + 16 <= 10'000) {
        expected += "4 is NOT prime!\n";
    }
    EXPECT_EQ(text, expected);
}

// Once another writer is seen in a log under a size limit, every later
// write leaves it a page of room, also after writes at which it wrote
// nothing: the report ends a page short of the limit, as close as whole
// lines come.
TEST(ReportOutput, KeepsRoomForAnotherWriterOnceSeen) {
    constexpr std::size_t LIMIT = 200'000;
    std::string lines;
    while (lines.size() < 25'000) {
        lines += "4000000002 is NOT prime!\n";
    }
    char path[] = "/tmp/primecheck-log-XXXXXX";
    const int log = mkstemp(path);
    ASSERT_GE(log, 0);
    const int ours = open(path, O_WRONLY | O_APPEND);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(ours, STDOUT_FILENO);
    rlimit before = {};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit limit = before;
    limit.rlim_cur = LIMIT;
    setrlimit(RLIMIT_FSIZE, &limit);
    void (*const handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    begin_report();
    write_outcome wrote = write_report_run(lines.data(), lines.size());
    if (wrote.error == 0) {
        wrote = flush_report();
    }
    // The other writer's one line, between our first write and our second.
    const int other = open(path, O_WRONLY | O_APPEND);
    ASSERT_EQ(write(other, "other\n", 6), 6);
    close(other);
    while (wrote.error == 0) {
        wrote = write_report_run(lines.data(), lines.size());
        wrote = wrote.error == 0 ? flush_report() : wrote;
    }
    std::signal(SIGXFSZ, handler);
    setrlimit(RLIMIT_FSIZE, &before);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(ours);
    struct stat st = {};
    fstat(log, &st);
    close(log);
    unlink(path);
    EXPECT_EQ(wrote.error, EFBIG);
    EXPECT_LE(static_cast<std::size_t>(st.st_size), LIMIT - 4096);
    EXPECT_GT(static_cast<std::size_t>(st.st_size), LIMIT - 4096 - 25);
}

// A caller's own thread that prints while the sweep writes: no line of
// either may land inside a line of the other.
TEST(CountNonPrimes, KeepsLinesWholeBesideACallersOwnOutput) {
    constexpr std::uint32_t COUNT = 1'000'000;
    std::vector<std::uint32_t> evens(COUNT);
    std::generate(evens.begin(), evens.end(), [n = 2U]() mutable { return n += 2; });
    std::uint32_t total = 0;
    std::istringstream lines(stdout_of([&] {
        std::atomic<int> done{0};
        std::thread caller([&done] {
            for (int i = 0; done.load() == 0; ++i) {
                std::printf("caller line %d\n", i);
            }
        });
        total = count_non_primes(evens.data(), COUNT);
        done.store(1);
        caller.join();
    }));
    EXPECT_EQ(total, COUNT);
    std::uint32_t reports = 0;
    for (std::string line; std::getline(lines, line);) {
        const bool own = line.starts_with("caller line ");
        const std::size_t digits =
            std::min(line.find_first_not_of("0123456789", own ? 12 : 0), line.size());
        ASSERT_EQ(line.substr(digits), own ? "" : " is NOT prime!") << line;
        ASSERT_GT(digits, own ? 12U : 0U) << line;
        reports += own ? 0 : 1;
    }
    EXPECT_EQ(reports, COUNT);
}

// A caller's own threads and its own parallel region call the sweep at
// once: each call reports and counts its own list, and under the race
// detector nothing of the report's own state is seen to race.
TEST(CountNonPrimes, CalledFromSeveralThreadsAtOnce) {
    const std::vector<std::uint32_t> evens(50'000, 4);
    std::uint32_t totals[4] = {};
    const std::string out = stdout_of([&] {
        const auto sweep = [&evens](std::uint32_t& total) {
            total = count_non_primes(evens.data(), static_cast<std::uint32_t>(evens.size()));
        };
        std::thread first(sweep, std::ref(totals[0]));
        std::thread second(sweep, std::ref(totals[1]));
#pragma omp parallel num_threads(2)
        sweep(totals[2 + omp_get_thread_num()]);
        first.join();
        second.join();
    });
    std::string expected;
    for (int line = 0; line < 4 * 50'000; ++line) {
        expected += "4 is NOT prime!\n";
    }
    EXPECT_EQ(out, expected);
    for (const std::uint32_t total : totals) {
        EXPECT_EQ(total, 50'000U);
    }
}

// A caller that calls the sweep inside an unnamed critical section of its
// own: the report's lock is a critical section of its own name, so the
// call completes, with every line and the total. A watchdog tells a call
// that waits for itself.
TEST(CountNonPrimes, CompletesInsideACallersOwnCriticalSection) {
    // Kept past the test, for a caller that never returns.
    static const std::vector<std::uint32_t> values = {4, 9, 7, 15, 4'294'967'291U, 25};
    static std::promise<std::string> finished;
    std::future<std::string> out = finished.get_future();
    std::fflush(stdout);
    const int original = dup(STDOUT_FILENO);
    std::thread caller([] {
        std::uint32_t total = 0;
        std::string lines = stdout_of([&] {
#pragma omp critical
            total = count_non_primes(values.data(), static_cast<std::uint32_t>(values.size()));
        });
        finished.set_value(std::to_string(total) + " total\n" + lines);
    });
    if (out.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        caller.detach();
        // Standard output back from the capture that never ended.
        dup2(original, STDOUT_FILENO);
        FAIL() << "the call waits for itself";
    }
    caller.join();
    close(original);
    const std::vector<std::string> expected = {"15 is NOT prime!", "25 is NOT prime!",
                                               "4 is NOT prime!", "4 total", "9 is NOT prime!"};
    std::istringstream lines(out.get());
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);) {
        got.push_back(line);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
}

// A worker on member 0's processor goes to another one, whichever processor
// that is, and its mask, the processors the user allows it, is the same
// afterwards; with only one allowed, it stays.
TEST(MoveOffProcessor, MovesWithinTheMaskAndKeepsIt) {
    std::thread([] {
        cpu_set_t allowed;
        ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
        cpu_set_t after;
        cpu_set_t one;
        for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&allowed) > 1; ++cpu) {
            if (!CPU_ISSET(cpu, &allowed)) {
                continue;
            }
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
            ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
            move_off_processor(cpu, 1);
            EXPECT_NE(sched_getcpu(), cpu);
            EXPECT_TRUE(CPU_ISSET(sched_getcpu(), &allowed));
            ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
            EXPECT_TRUE(CPU_EQUAL(&after, &allowed));
        }
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        EXPECT_EQ(move_off_processor(sched_getcpu(), 1), 0);
        ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
        EXPECT_TRUE(CPU_EQUAL(&after, &one));
    }).join();
}

// A wide-oriented standard output takes no bytes: the sweep must say so
// rather than count lines that never went out. In a child, since a stream's
// orientation is for good.
TEST(CountNonPrimes, RefusesAWideStandardOutput) {
    int results[2];
    ASSERT_EQ(pipe(results), 0);
    const pid_t child = fork();
    if (child == 0) {
        // Reopening clears the orientation that the test's own output gave
        // it; the alarm ends a child that went on into the sweep.
        alarm(10);
        if (std::freopen("/dev/null", "w", stdout) == nullptr || std::fwide(stdout, 1) <= 0) {
            _exit(2);
        }
        const std::uint32_t numbers[] = {4, 9};
        errno = 0;
        const int got[2] = {static_cast<int>(count_non_primes(numbers, 2)), errno};
        _exit(write(results[1], got, sizeof got) == sizeof got ? 0 : 1);
    }
    close(results[1]);
    int got[2] = {-1, -1};
    EXPECT_EQ(read(results[0], got, sizeof got), static_cast<ssize_t>(sizeof got));
    close(results[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(got[0], 0);
    EXPECT_EQ(got[1], EINVAL);
}

// A share's runs near the 32-bit count's end, where adding the run length
// before dividing would wrap: a share of 2^32 - 1 entries and one of
// 2^32 - 255, the largest with a last run of one entry.
TEST(RunsIn, CountsEveryRunOfTheLargestShares) {
    EXPECT_EQ(runs_in(0), 0U);
    EXPECT_EQ(runs_in(1), 1U);
    EXPECT_EQ(runs_in(RUN_LENGTH), 1U);
    EXPECT_EQ(runs_in(RUN_LENGTH + 1), 2U);
    EXPECT_EQ(runs_in(4'294'967'295U), 16'777'216U);
    EXPECT_EQ(runs_in(4'294'967'041U), 16'777'216U);
    EXPECT_EQ(runs_in(4'294'967'040U), 16'777'215U);
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
