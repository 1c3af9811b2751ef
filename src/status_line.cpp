// Why it works this way: the line must cost nothing where it is not shown,
// must never hold up the sweep, and must never share a row with a report
// line. So it has no thread and no timer of its own: whichever member
// finishes a run draws it when it is due, and only if nobody else is
// drawing it, by trying the line's lock and going on where that is taken. A
// report that goes to the same terminal takes that lock for real around its
// lines, takes the line away first and draws it again after. Each drawing
// is one write(2) of a carriage return, the line and an erase to its end,
// so that a terminal ends exactly as without it once the line is erased; a
// write that fails changes nothing else.

#include "status_line.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace primecheck {

namespace {

using clock_type = std::chrono::steady_clock;

std::atomic<bool> enabled{false};
// Standard output is the same terminal, so a report line must not share
// the status line's row.
bool same_terminal = false;
clock_type::time_point started;
clock_type::time_point testing_since;
std::int64_t every_ns = 0;
// When the line may be drawn next, in nanoseconds from the start.
std::atomic<std::int64_t> next_draw_ns{0};

std::atomic<std::uint64_t> bytes_read{0};
std::atomic<std::uint64_t> bytes_total{0};

std::atomic<bool> testing{false};
const std::uint32_t* tested_numbers = nullptr;
std::uint32_t tested_count = 0;
std::atomic<std::uint64_t> tested{0};
std::atomic<std::uint64_t> not_prime{0};
// A run's cost, for the time left: its length times the root of its first
// value, the trial divisions a prime there takes.
std::atomic<std::uint64_t> work_done{0};

std::mutex drawing;
// Touched only under `drawing`.
std::uint64_t work_total = 0;
bool shown = false;
char line[160];
std::size_t line_length = 0;

std::int64_t since(clock_type::time_point from) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - from).count();
}

std::uint64_t run_work(std::uint32_t first, std::uint32_t length) {
    return static_cast<std::uint64_t>(length) *
           static_cast<std::uint64_t>(std::sqrt(static_cast<double>(tested_numbers[first])) + 1);
}

// n with a comma between each group of three digits.
void append_grouped(std::uint64_t n, char*& at, const char* end) {
    char digits[32];
    const int length =
        std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(n));
    for (int i = 0; i < length && at < end; ++i) {
        if (i > 0 && (length - i) % 3 == 0 && at < end) {
            *at++ = ',';
        }
        if (at < end) {
            *at++ = digits[i];
        }
    }
}

void append(const char* text, char*& at, const char* end) {
    for (; *text != '\0' && at < end; ++text) {
        *at++ = *text;
    }
}

// ", about N s left" from `elapsed_ns` for `done` of `total`.
void append_time_left(double elapsed_ns, double done, double total, char*& at, const char* end) {
    if (done <= 0 || total <= done) {
        return;
    }
    const double left = elapsed_ns / 1e9 * (total - done) / done;
    char text[48];
    if (left < 1) {
        return;
    }
    if (left < 60) {
        std::snprintf(text, sizeof text, ", about %.0f s left", std::ceil(left));
    } else if (left < 3600) {
        std::snprintf(text, sizeof text, ", about %.0f min left", std::ceil(left / 60));
    } else {
        std::snprintf(text, sizeof text, ", about %.0f h %.0f min left", std::floor(left / 3600),
                      std::floor(std::fmod(left, 3600) / 60));
    }
    append(text, at, end);
}

// The line as it stands now, into `line`.
void compose() {
    char* at = line;
    const char* const end = line + sizeof line - 4;
    append("\rprimecheck: ", at, end);
    if (testing.load(std::memory_order_relaxed)) {
        if (work_total == 0) {
            for (std::uint64_t first = 0; first < tested_count; first += 256) {
                work_total += run_work(
                    static_cast<std::uint32_t>(first),
                    static_cast<std::uint32_t>(std::min<std::uint64_t>(256, tested_count - first)));
            }
        }
        const std::uint64_t done = tested.load(std::memory_order_relaxed);
        char percent[16];
        std::snprintf(percent, sizeof percent, "%u%% of ",
                      static_cast<unsigned>(100 * done / std::max<std::uint64_t>(tested_count, 1)));
        append(percent, at, end);
        append_grouped(tested_count, at, end);
        append(" values tested, ", at, end);
        append_grouped(not_prime.load(std::memory_order_relaxed), at, end);
        append(" not prime", at, end);
        append_time_left(static_cast<double>(since(testing_since)),
                         static_cast<double>(work_done.load(std::memory_order_relaxed)),
                         static_cast<double>(work_total), at, end);
    } else {
        const std::uint64_t done = bytes_read.load(std::memory_order_relaxed);
        const std::uint64_t size = bytes_total.load(std::memory_order_relaxed);
        if (size > 0) {
            char percent[16];
            std::snprintf(percent, sizeof percent, "%u%% of ",
                          static_cast<unsigned>(100 * std::min(done, size) / size));
            append(percent, at, end);
            append_grouped(size, at, end);
        } else {
            append_grouped(done, at, end);
        }
        append(" bytes read", at, end);
        append_time_left(static_cast<double>(since(started)), static_cast<double>(done),
                         static_cast<double>(size), at, end);
    }
    // A line longer than the terminal is wide would wrap, and the carriage
    // return would then erase only its last row.
    winsize size = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
        at = std::min(at, line + size.ws_col);
    }
    append("\x1b[K", at, line + sizeof line);
    line_length = static_cast<std::size_t>(at - line);
}

void put(const char* text, std::size_t length) {
    const ssize_t ignored = write(STDERR_FILENO, text, length);
    (void)ignored;
}

constexpr char ERASE[] = "\r\x1b[K";

// Draws the line where it is due and standard error is free.
void draw_when_due() {
    const std::int64_t now = since(started);
    if (now < next_draw_ns.load(std::memory_order_relaxed) || !drawing.try_lock()) {
        return;
    }
    if (now >= next_draw_ns.load(std::memory_order_relaxed) &&
        enabled.load(std::memory_order_relaxed)) {
        next_draw_ns.store(now + every_ns, std::memory_order_relaxed);
        compose();
        put(line, line_length);
        shown = true;
    }
    drawing.unlock();
}

bool is_same_file(int a, int b) {
    struct stat sa = {};
    struct stat sb = {};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino && sa.st_rdev == sb.st_rdev;
}

} // namespace

void start_status(int after_ms, int every_ms) {
    if (isatty(STDERR_FILENO) == 0) {
        return;
    }
    started = clock_type::now();
    every_ns = std::int64_t{every_ms} * 1'000'000;
    next_draw_ns.store(std::int64_t{after_ms} * 1'000'000, std::memory_order_relaxed);
    same_terminal = isatty(STDOUT_FILENO) != 0 && is_same_file(STDOUT_FILENO, STDERR_FILENO);
    enabled.store(true, std::memory_order_release);
}

void status_reading(std::uint64_t bytes, std::uint64_t size) {
    if (!enabled.load(std::memory_order_relaxed)) {
        return;
    }
    bytes_read.store(bytes, std::memory_order_relaxed);
    bytes_total.store(size, std::memory_order_relaxed);
    draw_when_due();
}

void status_testing(const std::uint32_t* numbers, std::uint32_t count) {
    if (!enabled.load(std::memory_order_relaxed)) {
        return;
    }
    tested_numbers = numbers;
    tested_count = count;
    testing_since = clock_type::now();
    testing.store(true, std::memory_order_release);
}

void status_tested(std::uint32_t first, std::uint32_t length, std::uint32_t found) {
    if (!enabled.load(std::memory_order_relaxed)) {
        return;
    }
    // Each member counts on its own, and adds to the shared counts only when
    // the line may be due: the members share no cache line a run.
    thread_local std::uint64_t own_tested = 0;
    thread_local std::uint64_t own_not_prime = 0;
    thread_local std::uint64_t own_work = 0;
    own_tested += length;
    own_not_prime += found;
    own_work += run_work(first, length);
    if (since(started) >= next_draw_ns.load(std::memory_order_relaxed)) {
        tested.fetch_add(std::exchange(own_tested, 0), std::memory_order_relaxed);
        not_prime.fetch_add(std::exchange(own_not_prime, 0), std::memory_order_relaxed);
        work_done.fetch_add(std::exchange(own_work, 0), std::memory_order_relaxed);
        draw_when_due();
    }
}

void status_before_report() {
    if (enabled.load(std::memory_order_relaxed) && same_terminal) {
        drawing.lock();
        if (shown) {
            put(ERASE, sizeof ERASE - 1);
        }
    }
}

void status_after_report() {
    if (enabled.load(std::memory_order_relaxed) && same_terminal) {
        if (shown) {
            put(line, line_length);
        }
        drawing.unlock();
    }
}

void end_status() {
    if (!enabled.load(std::memory_order_relaxed)) {
        return;
    }
    const std::lock_guard<std::mutex> held(drawing);
    enabled.store(false, std::memory_order_relaxed);
    if (shown) {
        put(ERASE, sizeof ERASE - 1);
        shown = false;
    }
}

} // namespace primecheck
