#include <primecheck/primality.hpp>

#include "trial_division.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>

#include <omp.h>

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
    // Every member then stops at its next entry.
    int write_failed = 0;
    int write_error = 0;
#pragma omp parallel default(none)                                                                 \
    shared(numbers, count, non_prime_total, write_failed, write_error)
    {
        const index_range share =
            static_share(count, static_cast<std::uint32_t>(omp_get_thread_num()),
                         static_cast<std::uint32_t>(omp_get_num_threads()));
        std::uint32_t found = 0;
        for (std::uint32_t i = share.begin; i < share.end; ++i) {
            int stop = 0;
#pragma omp atomic read
            stop = write_failed;
            if (stop != 0) {
                break;
            }
            if (is_prime(numbers[i]) == 0) {
                char line[REPORT_LINE_MAX];
                const std::size_t length = format_report_line(line, numbers[i]);
                // Another member may have failed since the check above.
#pragma omp critical
                // cppcheck-suppress knownConditionTrueFalse
                if (write_failed == 0 && write_report_line(line, length) == 0) {
                    write_error = errno;
#pragma omp atomic write
                    write_failed = 1;
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
