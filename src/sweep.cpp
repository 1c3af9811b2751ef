// The sweep: how a team of threads shares the list and keeps each share's
// lines in order (doc/ALGORITHMS.md, "The sweep").
//
// The list is divided by static partitioning, as OpenMP's schedule(static)
// divides a loop: member t owns the t-th contiguous share. Each share is cut
// into runs of RUN_LENGTH entries, the unit of work and of output. But equal
// counts are not equal work (on a sorted list the last share holds the
// largest values), so the team balances it by work stealing from the far
// end, as a work-stealing deque does (Arora, Blumofe and Plaxton, "Thread
// scheduling for multiprogrammed multiprocessors", 1998): the owner claims
// runs from the front of its share, and a member done with its own share
// claims runs from the back of the share with the most runs left. Both ends
// live in one 64-bit word, and a claim is one compare-and-swap on it.
//
// The owner's lines go out as it tests each run. A thief's lines go into a
// reorder buffer of the share's own, the `waiting` map, as a processor's
// reorder buffer retires out-of-order work in program order: a run waits
// there until every run before it in the share has gone out, and whoever
// writes the run before it writes it too, in the same entry into the
// critical section. Nobody waits for anybody, and the owner's lines go out
// whatever happens to the thieves (one descheduled among more threads than
// cores holds back only its own runs).
//
// Invariants, each kept under the report's lock, a critical section of its
// own name, but the first; they are checked where PRIMECHECK_INVARIANTS is
// set (the Debug and sanitizer builds), and compiled out elsewhere:
// - a run is claimed once: a claim moves one end of the share's unclaimed
//   range inward, and the range only shrinks;
// - `written`, the runs of a share gone out, only grows, one run at a time,
//   and a run goes out only when its index equals it, so a share's lines
//   come in index order;
// - every key in `waiting` is at least `written`, and none equals it once
//   the critical section is left;
// - the bytes of lines that thieves hold or that wait, all shares together,
//   pass the cap by at most a run a thief, and past it nobody steals.
//
// When to steal is the helping rule: only where the runs left would take
// longer than HELP_MIN_NS at the thief's own pace, since a thief's lines
// take fresh memory, whose pages fault in one by one.

#include "sweep.hpp"

#include <primecheck/primality.hpp>

#include "run_batch.hpp"
#include "thread_placement.hpp"
#include "trial_division.hpp"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
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

namespace {

#ifdef PRIMECHECK_INVARIANTS
#define INVARIANT(condition) ((condition) ? void(0) : invariant_broken(#condition, __LINE__))
[[noreturn]] void invariant_broken(const char* condition, int line) {
    std::fprintf(stderr, "sweep.cpp:%d: invariant broken: %s\n", line, condition);
    std::abort();
}
#else
#define INVARIANT(condition) void(0)
#endif

// A run's lines are formatted into a member's stack, then handed over in
// one entry into the critical section: an entry a line passed the lock and
// the stream's buffer between the cores for almost every line of a list of
// mostly non-primes (see BENCHMARKS.md).
constexpr char REPORT_SUFFIX[] = " is NOT prime!\n";
constexpr std::size_t REPORT_LINE_MAX =
    std::numeric_limits<std::uint32_t>::digits10 + 1 + sizeof REPORT_SUFFIX - 1;
static_assert(RUN_LENGTH <= TEST_RUN_MOST);

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

// A run tested out of its share's turn.
struct tested_run {
    // cppcheck-suppress unusedStructMember ; read through the map
    std::string text;
    std::uint32_t lines = 0;
};

// The runs of a share not yet claimed, [front, back), in one word, so that
// one compare-and-swap claims from either end.
std::uint64_t pack_runs(std::uint32_t front, std::uint32_t back) {
    return (std::uint64_t{front} << 32) | back;
}
std::uint32_t front_of(std::uint64_t runs) {
    return static_cast<std::uint32_t>(runs >> 32);
}
std::uint32_t back_of(std::uint64_t runs) {
    return static_cast<std::uint32_t>(runs);
}

struct alignas(64) share_runs {
    index_range range{0, 0};
    std::atomic<std::uint64_t> unclaimed{0};
    // In the critical section only: the runs written, and the reorder
    // buffer of those that wait.
    std::uint32_t written = 0;
    std::map<std::uint32_t, tested_run> waiting;
};

constexpr std::uint32_t NO_RUN = std::numeric_limits<std::uint32_t>::max();
// The bytes of lines that may wait, formatted, for the runs before them, in
// all shares together; past it, members stop helping.
constexpr std::size_t WAITING_MAX = std::size_t{64} << 20;

// The helping rule: a share whose runs left would take less than this, at
// the pace of the runs a member has tested, is not worth helping.
constexpr std::int64_t HELP_MIN_NS = 5'000'000;

// The next run from the front of the share (its owner) or from its back (a
// helper), or NO_RUN where none is left.
std::uint32_t claim(share_runs& share, int from_back) {
    std::uint64_t runs = share.unclaimed.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint32_t front = front_of(runs);
        const std::uint32_t back = back_of(runs);
        if (front >= back) {
            return NO_RUN;
        }
        const std::uint64_t left =
            from_back != 0 ? pack_runs(front, back - 1) : pack_runs(front + 1, back);
        if (share.unclaimed.compare_exchange_weak(runs, left, std::memory_order_relaxed)) {
            // The range only shrank, by the run claimed.
            INVARIANT(front_of(left) <= back_of(left) &&
                      back_of(left) - front_of(left) + 1 == back - front);
            return from_back != 0 ? back - 1 : front;
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
    // In the critical section only: the lines handed to the report, the
    // failed run's too, and what the first failed write came to.
    std::uint32_t lines_handed_over = 0;
    write_outcome first_failure;
};

// The share with the most runs left, and how many.
struct busiest_share {
    share_runs* share = nullptr;
    std::uint32_t runs_left = 0;
};

busiest_share find_busiest_share(sweep_state& sweep) {
    busiest_share busiest;
    for (std::uint32_t t = 0; t < sweep.team; ++t) {
        share_runs& share = sweep.shares[t];
        const std::uint64_t runs = share.unclaimed.load(std::memory_order_relaxed);
        if (front_of(runs) < back_of(runs) && back_of(runs) - front_of(runs) > busiest.runs_left) {
            busiest = {&share, back_of(runs) - front_of(runs)};
        }
    }
    return busiest;
}

// In the critical section: writes a run's lines, unless the output is over;
// a run with none lets lines that wait for a pipe go out.
void write_run(sweep_state& sweep, const char* text, std::size_t length, std::uint32_t lines) {
    if (sweep.failed.load(std::memory_order_relaxed) != 0 || stop_requested() != 0) {
        return;
    }
    sweep.lines_handed_over += lines;
    const write_outcome wrote = lines == 0 ? look_at_report() : write_report_run(text, length);
    if (wrote.error != 0) {
        sweep.first_failure = wrote;
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
    // What waits comes after what went out, and none of it is due.
    INVARIANT(share.waiting.empty() || share.waiting.begin()->first > share.written);
}

// The runs a helper tested of another member's share, in one entry into the
// critical section for all of them.
using held_runs = std::vector<std::pair<std::uint32_t, tested_run>>;

void hand_over_held(sweep_state& sweep, share_runs& share, held_runs& held) {
    if (held.empty()) {
        return;
    }
#pragma omp critical(primecheck_report)
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

// The share that the calling member, done with its own, should help: the one
// with the most runs left, where those are worth it; else nullptr.
share_runs* share_to_help(sweep_state& sweep, std::int64_t busy_ns, std::uint32_t runs_done) {
    const busiest_share busiest = find_busiest_share(sweep);
    if (busiest.share == nullptr || sweep.waiting.load(std::memory_order_relaxed) > WAITING_MAX ||
        static_cast<double>(busiest.runs_left) * static_cast<double>(busy_ns) <
            static_cast<double>(HELP_MIN_NS) * runs_done) {
        return nullptr;
    }
    return busiest.share;
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
        const int helping = share != own ? 1 : 0;
        const std::uint32_t run =
            helping != 0 && sweep.waiting.load(std::memory_order_relaxed) > WAITING_MAX
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
        if (helping != 0) {
            held.emplace_back(run, tested_run{std::string(text, length), lines});
            const std::size_t waited = sweep.waiting.fetch_add(length, std::memory_order_relaxed);
            // Past the cap by a run a helper at most.
            INVARIANT(waited <= WAITING_MAX + sweep.team * sizeof text);
            (void)waited;
        } else {
#pragma omp critical(primecheck_report)
            {
                // The owner's runs go out in the share's order.
                INVARIANT(run == share->written);
                write_run(sweep, text, length, lines);
                ++share->written;
                write_waiting(sweep, *share);
            }
        }
        progress_tested(sweep.numbers + first, end - first, lines);
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
        share.unclaimed.store(pack_runs(0, runs_in(share.range.end - share.range.begin)),
                              std::memory_order_relaxed);
    }
}

} // namespace

std::uint32_t runs_in(std::uint32_t entries) {
    // In 64 bits: a share of more than 2^32 - 256 entries would wrap.
    return static_cast<std::uint32_t>((std::uint64_t{entries} + RUN_LENGTH - 1) / RUN_LENGTH);
}

void request_stop() {
    stop.store(1, std::memory_order_relaxed);
}

int stop_requested() {
    return stop.load(std::memory_order_relaxed);
}

std::uint32_t sweep_list(const std::uint32_t* numbers, std::uint32_t count,
                         write_outcome& outcome) {
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
    if (sweep.failed.load() == 0 && stop_requested() == 0) {
        sweep.first_failure = flush_report();
    }
    outcome = sweep.first_failure;
    return sweep.lines_handed_over;
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
    write_outcome outcome;
    const std::uint32_t handed_over = sweep_list(numbers, count, outcome);
    if (outcome.error != 0) {
        mark_stream_failed();
        errno = outcome.error;
    }
    return handed_over;
}

} // namespace primecheck
