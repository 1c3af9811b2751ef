#include <primecheck/primality.hpp>

#include "report_output.hpp"
#include "status_line.hpp"
#include "sweep.hpp"
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
#include <utility>
#include <vector>

#include <omp.h>
#include <sched.h>
#include <time.h>

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

std::uint32_t runs_in(std::uint32_t entries) {
    // In 64 bits: a share of more than 2^32 - 256 entries would wrap.
    return static_cast<std::uint32_t>((std::uint64_t{entries} + RUN_LENGTH - 1) / RUN_LENGTH);
}

namespace {

// A value's cost: the odd divisors up to its root that a prime there takes,
// and about as much again as a few of them for the call around them; an
// even value, or one below 9, takes none.
std::uint64_t entry_cost(std::uint32_t n) {
    constexpr std::uint64_t CALL = 16;
    return n % 2 == 0 || n < 9
               ? 1
               : static_cast<std::uint64_t>(std::sqrt(static_cast<double>(n))) / 2 + CALL;
}

} // namespace

std::uint64_t run_cost(const std::uint32_t* numbers, std::uint32_t first, std::uint32_t length) {
    // By the run's first and middle entries: a sorted list's runs hold values of a size.
    return length == 0 ? 0
                       : (entry_cost(numbers[first]) + entry_cost(numbers[first + length / 2])) *
                             length / 2;
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
// member that has finished its own share takes runs of the share with the
// most runs left, from its far end, while the owner goes on from the front;
// both claim by one atomic step on the share's two ends. The owner's lines
// go out as it tests them. A helper's run waits, formatted, until the runs
// before it in the share have gone out, and then whoever writes the run
// before it writes it too, in the same entry into the critical section:
// nobody waits for anybody. Helping from the far end, rather than right
// behind the owner, keeps the owner's lines going out whatever happens to
// the helpers (a helper descheduled among more threads than cores holds
// back only its own runs), and what waits is at most the part of a share
// that helpers took, which a cap bounds: past it they stop helping.

// A run tested out of its share's turn.
struct tested_run {
    // cppcheck-suppress unusedStructMember ; read through the map
    std::string text;
    std::uint32_t lines = 0;
};

struct alignas(64) share_runs {
    index_range range{0, 0};
    // The runs not yet claimed: from the high half, the front, to below the
    // low half, the back.
    std::atomic<std::uint64_t> unclaimed{0};
    // In the critical section only: the runs written, and those waiting.
    std::uint32_t written = 0;
    std::map<std::uint32_t, tested_run> waiting;
};

constexpr std::uint32_t NO_RUN = std::numeric_limits<std::uint32_t>::max();
// The bytes of lines that may wait, formatted, for the runs before them, in
// all shares together; past it, members stop helping.
constexpr std::size_t WAITING_MAX = std::size_t{64} << 20;

std::uint64_t runs_between(std::uint32_t front, std::uint32_t back) {
    return (std::uint64_t{front} << 32) | back;
}

// The next run from the front of the share (its owner) or from its back (a
// helper), or NO_RUN where none is left.
std::uint32_t claim(share_runs& share, bool from_back) {
    std::uint64_t runs = share.unclaimed.load(std::memory_order_relaxed);
    for (;;) {
        const auto front = static_cast<std::uint32_t>(runs >> 32);
        const auto back = static_cast<std::uint32_t>(runs);
        if (front >= back) {
            return NO_RUN;
        }
        const std::uint64_t left =
            from_back ? runs_between(front, back - 1) : runs_between(front + 1, back);
        if (share.unclaimed.compare_exchange_weak(runs, left, std::memory_order_relaxed)) {
            return from_back ? back - 1 : front;
        }
    }
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
    // Bytes of lines that helpers hold or that wait, all helpers' together.
    std::atomic<std::size_t> waiting{0};
    // In the critical section only: the lines handed to the stream, the
    // failed run's too, and the first failure's errno.
    std::uint32_t tried = 0;
    int error = 0;
};

// The share with the most runs left, and how many in `most`; nullptr where
// none has any.
share_runs* most_left(sweep_state& sweep, std::uint32_t& most) {
    share_runs* busiest = nullptr;
    most = 0;
    for (std::uint32_t t = 0; t < sweep.team; ++t) {
        share_runs& share = sweep.shares[t];
        const std::uint64_t runs = share.unclaimed.load(std::memory_order_relaxed);
        const auto front = static_cast<std::uint32_t>(runs >> 32);
        const auto back = static_cast<std::uint32_t>(runs);
        if (front < back && back - front > most) {
            most = back - front;
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

// In the critical section: the runs of `share` that wait and follow every
// run written so far go out.
void write_waiting(sweep_state& sweep, share_runs& share) {
    for (auto next = share.waiting.begin();
         next != share.waiting.end() && next->first == share.written;
         next = share.waiting.erase(next)) {
        write_run(sweep, next->second.text.data(), next->second.text.size(), next->second.lines);
        sweep.waiting.fetch_sub(next->second.text.size(), std::memory_order_relaxed);
        ++share.written;
    }
}

// The runs a helper tested of another member's share, in one entry into the
// critical section for all of them.
using held_runs = std::vector<std::pair<std::uint32_t, tested_run>>;

void hand_over_held(sweep_state& sweep, share_runs& share, held_runs& held) {
    if (held.empty()) {
        return;
    }
#pragma omp critical
    {
        for (auto& [run, tested] : held) {
            share.waiting.emplace(run, std::move(tested));
        }
        write_waiting(sweep, share);
    }
    held.clear();
}

// The processor time the calling thread has used, in nanoseconds.
std::int64_t thread_time_ns() {
    timespec t = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// A share whose runs left would take less than this, at the pace of the
// runs a member has tested, is not worth helping: a helper's lines take new
// memory, whose pages fault in one by one, which on cheap runs full of
// lines (even values on more threads than cores) costs more than it saves.
constexpr std::int64_t HELP_MIN_NS = 5'000'000;

// The share that the calling member, done with its own, should help: the one
// with the most runs left, where those are worth it; else nullptr.
share_runs* share_to_help(sweep_state& sweep, std::int64_t busy_ns, std::uint32_t runs_done) {
    std::uint32_t left = 0;
    share_runs* const busiest = most_left(sweep, left);
    if (busiest == nullptr || sweep.waiting.load(std::memory_order_relaxed) > WAITING_MAX ||
        static_cast<double>(left) * static_cast<double>(busy_ns) <
            static_cast<double>(HELP_MIN_NS) * runs_done) {
        return nullptr;
    }
    return busiest;
}

// Tests runs, its own share's first, until no share has any left worth
// helping or too many lines wait. The owner's runs come in the share's
// order, so each goes out at once; a helper keeps the runs it takes of a
// share until that share has none left, and then hands them over together.
void test_runs(sweep_state& sweep, std::uint32_t member) {
    share_runs* const own = &sweep.shares[member];
    share_runs* share = own;
    held_runs held;
    const std::int64_t started_ns = thread_time_ns();
    std::uint32_t runs_done = 0;
    char text[RUN_LENGTH * REPORT_LINE_MAX];
    while (sweep.failed.load(std::memory_order_relaxed) == 0 && stop_requested() == 0) {
        const bool helping = share != own;
        const std::uint32_t run =
            helping && sweep.waiting.load(std::memory_order_relaxed) > WAITING_MAX
                ? NO_RUN
                : claim(*share, helping);
        if (run == NO_RUN) {
            hand_over_held(sweep, *share, held);
            share = share_to_help(sweep, thread_time_ns() - started_ns, runs_done);
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
        unsigned char prime[RUN_LENGTH];
        test_run(sweep.numbers + first, end - first, prime);
        for (std::uint32_t i = first; i < end; ++i) {
            if (prime[i - first] == 0) {
                length += format_report_line(text + length, sweep.numbers[i]);
                ++lines;
            }
        }
        if (helping) {
            held.emplace_back(run, tested_run{std::string(text, length), lines});
            sweep.waiting.fetch_add(length, std::memory_order_relaxed);
        } else {
#pragma omp critical
            {
                write_run(sweep, text, length, lines);
                ++share->written;
                write_waiting(sweep, *share);
            }
        }
        status_tested(end - first, lines, run_cost(sweep.numbers, first, end - first));
        ++runs_done;
    }
}

// Cuts the list into the shares of a team of `team`.
void cut_shares(sweep_state& sweep, std::uint32_t team) {
    sweep.team = team;
    sweep.shares = std::make_unique<share_runs[]>(team);
    for (std::uint32_t t = 0; t < team; ++t) {
        share_runs& share = sweep.shares[t];
        share.range = static_share(sweep.count, t, team);
        share.unclaimed.store(runs_between(0, runs_in(share.range.end - share.range.begin)),
                              std::memory_order_relaxed);
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
    begin_report();
    sweep_state sweep;
    sweep.numbers = numbers;
    sweep.count = count;
    // The shares are cut before the team forms, for the team the runtime
    // says it will form, so that no member waits for another to start: a
    // barrier there costs a scheduler tick where threads outnumber cores.
    const auto expected = static_cast<std::uint32_t>(omp_get_max_threads());
    cut_shares(sweep, expected);
    int first_processor = sched_getcpu();
#pragma omp parallel default(none) shared(sweep, first_processor) firstprivate(expected)
    {
        const auto member = static_cast<std::uint32_t>(omp_get_thread_num());
        settle_member(first_processor, member);
        const auto team = static_cast<std::uint32_t>(omp_get_num_threads());
        // A runtime that formed a smaller team (OMP_DYNAMIC, a thread
        // limit) cuts them again, once all are in.
        if (team != expected) {
#pragma omp barrier
#pragma omp single
            cut_shares(sweep, team);
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
