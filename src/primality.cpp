#include <primecheck/primality.hpp>

#include "thread_placement.hpp"
#include "trial_division.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
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

// A member tests this many entries of its share, then writes their lines.
// Written in a burst, the lines keep the lock and the stream's buffer in the
// writer's cache, where lines written one test at a time, on a list with
// many non-primes, pass both between the cores for almost every line. The
// non-primes of a run wait on the stack, 1 KiB.
constexpr std::uint32_t RUN_LENGTH = 256;

constexpr char REPORT_SUFFIX[] = " is NOT prime!\n";
constexpr std::size_t REPORT_LINE_MAX =
    std::numeric_limits<std::uint32_t>::digits10 + 1 + sizeof REPORT_SUFFIX - 1;

std::size_t format_report_line(char (&line)[REPORT_LINE_MAX], std::uint32_t value) {
    char* const end = std::to_chars(line, line + REPORT_LINE_MAX, value).ptr;
    std::memcpy(end, REPORT_SUFFIX, sizeof REPORT_SUFFIX - 1);
    return static_cast<std::size_t>(end - line) + sizeof REPORT_SUFFIX - 1;
}

// Every write to standard output during the sweep happens inside its one
// critical section, so taking the stream's own lock as well would be for
// nothing. 0, with errno set, when the line did not all go out; the stream
// can take a line whole and still fail to flush it, so its error indicator
// is asked too.
int write_report_line(const char* line, std::size_t length) {
    return fwrite_unlocked(line, 1, length, stdout) == length && ferror_unlocked(stdout) == 0 ? 1
                                                                                              : 0;
}

} // namespace

std::uint32_t count_non_primes(const std::uint32_t* numbers, std::uint32_t count) {
    // The output ended at an earlier failure; a line now would follow a gap.
    if (ferror_unlocked(stdout) != 0) {
        errno = EIO;
        return 0;
    }
    std::uint32_t non_prime_total = 0;
    // The first write that fails ends the output: once the stream has lost
    // part of it, a later write that succeeds would splice lines together.
    // Every member then stops at its next line or its next run.
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
        std::uint32_t found = 0;
        for (std::uint32_t run = share.begin; run < share.end;) {
            int stop = 0;
#pragma omp atomic read
            stop = write_failed;
            if (stop != 0) {
                break;
            }
            const std::uint32_t run_end =
                share.end - run > RUN_LENGTH ? run + RUN_LENGTH : share.end;
            std::uint32_t non_primes[RUN_LENGTH];
            std::uint32_t in_run = 0;
            for (; run < run_end; ++run) {
                if (is_prime(numbers[run]) == 0) {
                    non_primes[in_run++] = numbers[run];
                }
            }
            for (std::uint32_t k = 0; k < in_run && stop == 0; ++k) {
                char line[REPORT_LINE_MAX];
                const std::size_t length = format_report_line(line, non_primes[k]);
#pragma omp critical
                {
                    // Another member may have failed since this one looked.
                    stop = write_failed;
                    if (stop == 0 && write_report_line(line, length) == 0) {
                        write_error = errno;
#pragma omp atomic write
                        write_failed = 1;
                        stop = 1;
                    }
                }
                ++found;
            }
        }
#pragma omp atomic
        non_prime_total += found;
    }
    if (write_failed != 0) {
        errno = write_error;
    }
    return non_prime_total;
}

} // namespace primecheck
