#include <primecheck/primality.hpp>

#include "report_output.hpp"
#include "status_line.hpp"
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
#include <map>
#include <memory>
#include <string>

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

// A member tests this many entries of a share, then hands over the lines of
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

// How the team shares the work. Each member owns the share that static
// partitioning gives it, cut into runs, and its lines come out in the
// share's index order. But equal counts are not equal work: on a sorted
// list the last share holds the largest values and costs the most. So a
// member that has finished its own share takes the next untested run of the
// share with the most runs left, as its owner does, by one atomic step on
// that share's counter. A run tested before the runs ahead of it in its
// share are written waits, formatted, until they are: whoever writes the
// run before it writes it too, in the same entry into the critical section.
// Nobody waits for anybody. Helpers take runs from the front, right behind
// the owner, rather than from the far end: then a run waits only while the
// few runs ahead of it are tested, and on a sorted list those cost about as
// much as it does, so the lines held back stay a few runs' worth instead of
// growing to half a share.

// A run tested out of its share's turn.
struct tested_run {
    // cppcheck-suppress unusedStructMember ; read through the map
    std::string text;
    std::uint32_t lines = 0;
};

struct alignas(64) share_runs {
    index_range range{0, 0};
    std::uint32_t runs = 0;
    // The next run to test, by its owner or a helper.
    std::atomic<std::uint32_t> next{0};
    // In the critical section only: the runs written, and those waiting.
    std::uint32_t written = 0;
    std::map<std::uint32_t, tested_run> waiting;
};

constexpr std::uint32_t NO_RUN = std::numeric_limits<std::uint32_t>::max();

std::uint32_t claim(share_runs& share) {
    std::uint32_t run = share.next.load(std::memory_order_relaxed);
    while (run < share.runs &&
           !share.next.compare_exchange_weak(run, run + 1, std::memory_order_relaxed)) {
    }
    return run < share.runs ? run : NO_RUN;
}

struct sweep_state {
    const std::uint32_t* numbers = nullptr;
    std::uint32_t count = 0;
    std::uint32_t team = 0;
    std::unique_ptr<share_runs[]> shares;
    // The first write that fails ends the output: once the stream has lost
    // part of it, a later write that succeeds would splice lines together.
    // Every member then stops at its next run.
    std::atomic<int> failed{0};
    // In the critical section only: the lines handed to the stream, the
    // failed run's too, and the first failure's errno.
    std::uint32_t tried = 0;
    int error = 0;
};

// The share with the most runs left, or nullptr where none has any.
share_runs* most_left(sweep_state& sweep) {
    share_runs* busiest = nullptr;
    std::uint32_t most = 0;
    for (std::uint32_t t = 0; t < sweep.team; ++t) {
        share_runs& share = sweep.shares[t];
        const std::uint32_t next = share.next.load(std::memory_order_relaxed);
        if (next < share.runs && share.runs - next > most) {
            most = share.runs - next;
            busiest = &share;
        }
    }
    return busiest;
}

// In the critical section: writes a run's lines, unless the output is over.
void write_run(sweep_state& sweep, const char* text, std::size_t length, std::uint32_t lines) {
    if (lines == 0 || sweep.failed.load(std::memory_order_relaxed) != 0 || stop_requested() != 0) {
        return;
    }
    sweep.tried += lines;
    if (write_report_run(text, length) == 0) {
        sweep.error = errno;
        sweep.failed.store(1, std::memory_order_relaxed);
    }
}

// In the critical section: run `run` of `share` is tested. Its lines go out
// where every run before it in the share has gone out, and so do those of
// the runs after it that were waiting; else they wait.
void hand_over(sweep_state& sweep, share_runs& share, std::uint32_t run, const char* text,
               std::size_t length, std::uint32_t lines) {
    if (run != share.written) {
        share.waiting.emplace(run, tested_run{std::string(text, length), lines});
        return;
    }
    write_run(sweep, text, length, lines);
    ++share.written;
    for (auto next = share.waiting.begin();
         next != share.waiting.end() && next->first == share.written;
         next = share.waiting.erase(next)) {
        write_run(sweep, next->second.text.data(), next->second.text.size(), next->second.lines);
        ++share.written;
    }
}

// Tests runs, its own share's first, until no share has any left.
void test_runs(sweep_state& sweep, std::uint32_t member) {
    share_runs* share = &sweep.shares[member];
    char text[RUN_LENGTH * REPORT_LINE_MAX];
    while (sweep.failed.load(std::memory_order_relaxed) == 0 && stop_requested() == 0) {
        const std::uint32_t run = claim(*share);
        if (run == NO_RUN) {
            share = most_left(sweep);
            if (share == nullptr) {
                return;
            }
            continue;
        }
        const std::uint32_t first = share->range.begin + run * RUN_LENGTH;
        const std::uint32_t end =
            share->range.end - first > RUN_LENGTH ? first + RUN_LENGTH : share->range.end;
        std::size_t length = 0;
        std::uint32_t lines = 0;
        for (std::uint32_t i = first; i < end; ++i) {
            if (is_prime(sweep.numbers[i]) == 0) {
                length += format_report_line(text + length, sweep.numbers[i]);
                ++lines;
            }
        }
#pragma omp critical
        hand_over(sweep, *share, run, text, length, lines);
        status_tested(first, end - first, lines);
    }
}

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
    sweep_state sweep;
    sweep.numbers = numbers;
    sweep.count = count;
    int first_processor = sched_getcpu();
#pragma omp parallel default(none) shared(sweep, first_processor)
    {
        const auto member = static_cast<std::uint32_t>(omp_get_thread_num());
        settle_member(first_processor, member);
#pragma omp single
        {
            sweep.team = static_cast<std::uint32_t>(omp_get_num_threads());
            sweep.shares = std::make_unique<share_runs[]>(sweep.team);
            for (std::uint32_t t = 0; t < sweep.team; ++t) {
                share_runs& share = sweep.shares[t];
                share.range = static_share(sweep.count, t, sweep.team);
                share.runs = (share.range.end - share.range.begin + RUN_LENGTH - 1) / RUN_LENGTH;
            }
        }
        test_runs(sweep, member);
    }
    // What the report still gathers goes out before the caller's next line.
    if (sweep.failed.load() == 0 && stop_requested() == 0 && flush_report() != 0) {
        sweep.error = errno;
        sweep.failed.store(1);
    }
    if (sweep.failed.load() != 0) {
        errno = sweep.error;
    }
    return sweep.tried;
}

} // namespace primecheck
