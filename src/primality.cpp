#include <primecheck/primality.hpp>

#include "report_output.hpp"
#include "sweep_stop.hpp"
#include "thread_placement.hpp"
#include "trial_division.hpp"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <limits>

#include <omp.h>
#include <sched.h>

namespace primecheck {

int is_prime(std::uint32_t n) {
    if (n <= 1) {
        return 0;
    }
    if (n == 2) {
        return 1;
    }
    if (n % 2 == 0) {
        return 0;
    }
    // The bound is inclusive so that the root of an odd square is tried.
    return has_odd_divisor(n, std::sqrt(static_cast<double>(n))) == 0 ? 1 : 0;
}

index_range static_share(std::uint32_t count, std::uint32_t member, std::uint32_t team_size) {
    const std::uint32_t base = count / team_size;
    const std::uint32_t extra = count % team_size;
    if (member < extra) {
        const std::uint32_t begin = member * (base + 1);
        return {begin, begin + base + 1};
    }
    const std::uint32_t begin = extra + member * base;
    return {begin, begin + base};
}

namespace {

// A member tests this many entries of its share, then writes the lines of
// the run's non-primes, formatted meanwhile into 6.4 KiB of its stack, in
// one entry into the critical section. On a list of mostly non-primes an
// entry a line passed the lock and the stream's buffer between the cores
// for almost every line, which cost more than the tests; an entry a run
// passes them once every 256 lines. On a terminal the first lines wait for
// a run's tests: 256 primes near 2^32 take about 2 ms on SSE2, the slowest
// x86-64 kernel.
constexpr std::uint32_t RUN_LENGTH = 256;

constexpr char REPORT_SUFFIX[] = " is NOT prime!\n";
constexpr std::size_t REPORT_LINE_MAX =
    std::numeric_limits<std::uint32_t>::digits10 + 1 + sizeof REPORT_SUFFIX - 1;

// Writes the report line for `value` at `line`, which has room for
// REPORT_LINE_MAX bytes, and returns its length.
std::size_t format_report_line(char* line, std::uint32_t value) {
    char* const end = std::to_chars(line, line + REPORT_LINE_MAX, value).ptr;
    std::memcpy(end, REPORT_SUFFIX, sizeof REPORT_SUFFIX - 1);
    return static_cast<std::size_t>(end - line) + sizeof REPORT_SUFFIX - 1;
}

// Set from a signal handler, so it must need no lock.
std::atomic<int> stop{0};
static_assert(std::atomic<int>::is_always_lock_free);

} // namespace

void request_stop() {
    stop.store(1, std::memory_order_relaxed);
}

int stop_requested() {
    return stop.load(std::memory_order_relaxed);
}

std::uint32_t count_non_primes(const std::uint32_t* numbers, std::uint32_t count) {
    // The output ended at an earlier failure; a line now would follow a gap.
    if (std::ferror(stdout) != 0) {
        errno = EIO;
        return 0;
    }
    // A wide stream takes no bytes; the lines would be lost without a word.
    if (std::fwide(stdout, 0) > 0) {
        errno = EINVAL;
        return 0;
    }
    std::uint32_t non_prime_total = 0;
    // The first write that fails ends the output: once the stream has lost
    // part of it, a later write that succeeds would splice lines together.
    // Every member then stops at its next run.
    int write_failed = 0;
    int write_error = 0;
    int first_processor = sched_getcpu();
#pragma omp parallel default(none)                                                                 \
    shared(numbers, count, non_prime_total, write_failed, write_error, first_processor)
    {
        const auto member = static_cast<std::uint32_t>(omp_get_thread_num());
        settle_member(first_processor, member);
        const index_range share =
            static_share(count, member, static_cast<std::uint32_t>(omp_get_num_threads()));
        // The lines this member handed to the stream, the failed run's too.
        std::uint32_t found = 0;
        for (std::uint32_t run = share.begin; run < share.end;) {
            int failed = 0;
#pragma omp atomic read
            failed = write_failed;
            if (failed != 0 || stop_requested() != 0) {
                break;
            }
            const std::uint32_t run_end =
                share.end - run > RUN_LENGTH ? run + RUN_LENGTH : share.end;
            char text[RUN_LENGTH * REPORT_LINE_MAX];
            std::size_t length = 0;
            std::uint32_t in_run = 0;
            for (; run < run_end; ++run) {
                if (is_prime(numbers[run]) == 0) {
                    length += format_report_line(text + length, numbers[run]);
                    ++in_run;
                }
            }
            if (in_run == 0) {
                continue;
            }
#pragma omp critical
            {
                // Another member may have failed since this one looked.
                if (write_failed == 0 && stop_requested() == 0) {
                    found += in_run;
                    if (write_report_run(text, length) == 0) {
                        write_error = errno;
#pragma omp atomic write
                        write_failed = 1;
                    }
                }
            }
        }
#pragma omp atomic
        non_prime_total += found;
    }
    // What the report still gathers goes out before the caller's next line.
    if (write_failed == 0 && stop_requested() == 0 && flush_report() != 0) {
        write_error = errno;
        write_failed = 1;
    }
    if (write_failed != 0) {
        errno = write_error;
    }
    return non_prime_total;
}

} // namespace primecheck
