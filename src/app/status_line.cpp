// Why it works this way (doc/ALGORITHMS.md, "The status line"): the line must
// cost nothing where it is not shown, must never hold up the sweep, must never
// share a row with a report line, and must never land where the program does
// not own the screen. So it is shown only where standard error is a terminal
// that can erase a line (TERM set, and not dumb), where nothing else of ours
// can reach that terminal (standard output is a file, /dev/null or that very
// terminal, never a pipe or another device, whose reader may write there too),
// and only while the program is in the terminal's foreground, which every
// drawing asks again, so that a job sent to the background draws nothing and is
// never stopped for it. It has no thread and no timer of its own: whichever
// member finishes a run draws it when it is due, and only if nobody else is
// drawing it, by trying the line's lock and going on where that is taken. A
// report that goes to the same terminal takes that lock for real around its
// lines, takes the line away first and draws it again after. Each drawing is
// one write(2), composed anew for the terminal's width at that moment and kept
// short of its last column; where the full text does not fit, a shorter form
// does. A write that fails changes nothing else.
//
// A terminal that narrows reflows the line onto several rows (tmux and VTE
// do), and it tells its new width only a moment later. So a drawing leaves
// the cursor at the line's start, where a reflow keeps it, and each erase
// clears from there to the end of the screen, every row the line can now
// take; and the line is drawn with automatic margins off, so that one
// composed for a width that has just gone is cut at the margin rather
// than wrapped onto a second row. When
// it first shows and how often it is drawn are the caller's to say: the
// program's are PRIMECHECK_STATUS_AFTER_MS and _EVERY_MS in main.cpp.

#include "status_line.hpp"

#include "progress.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace primecheck {

namespace {

using clock_type = std::chrono::steady_clock;

std::atomic<bool> enabled{false};
// Standard output is the same terminal, so a report line must not share
// the status line's row.
int same_terminal = 0;
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
// Worked out at the first drawing, under `drawing`: no run too short to
// show the line pays for it.
std::uint64_t work_total = 0;

// What each member has tested, counted by itself on a cache line of its own
// after every run and summed by whoever draws: the line is never behind a
// member that has not drawn yet. Members past the last slot share it.
struct alignas(64) member_counts {
    std::atomic<std::uint64_t> tested{0};
    std::atomic<std::uint64_t> not_prime{0};
    std::atomic<std::uint64_t> work{0};
};
constexpr int SLOTS = 64;
member_counts counts[SLOTS];
std::atomic<int> slots_taken{0};

std::mutex drawing;
// Set under `drawing`, read also by a signal handler.
std::atomic<bool> shown{false};
// Set by a signal handler: nothing is drawn until the program goes on.
std::atomic<bool> held_back{false};

std::int64_t since(clock_type::time_point from) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - from).count();
}

// A text being put together in a fixed buffer, cut at its end.
struct text {
    char bytes[160];
    std::size_t length = 0;
};

void add(text& t, const char* part) {
    const std::size_t room = sizeof t.bytes - 1 - t.length;
    const std::size_t n = std::min(room, std::strlen(part));
    std::memcpy(t.bytes + t.length, part, n);
    t.length += n;
    t.bytes[t.length] = '\0';
}

// n with a comma between each group of three digits.
void add_grouped(text& t, std::uint64_t n) {
    char digits[24];
    const int length =
        std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(n));
    char grouped[32];
    std::size_t at = 0;
    for (int i = 0; i < length; ++i) {
        if (i > 0 && (length - i) % 3 == 0) {
            grouped[at++] = ',';
        }
        grouped[at++] = digits[i];
    }
    grouped[at] = '\0';
    add(t, grouped);
}

// "2 min" for the time left at the pace so far, where `done` of `total`
// took `elapsed_ns`; empty where that is not known or under a second.
text time_left(double elapsed_ns, double done, double total) {
    text t;
    if (done <= 0 || total <= done) {
        return t;
    }
    const double left = elapsed_ns / 1e9 * (total - done) / done;
    if (left < 1) {
        return t;
    }
    // Rounded to no more than a twentieth of it, so that the figure is as
    // good as the guess.
    const long seconds = left < 60    ? std::lround(left)
                         : left < 600 ? 10 * std::lround(left / 10)
                                      : 60 * std::lround(left / 60);
    if (seconds < 60) {
        std::snprintf(t.bytes, sizeof t.bytes, "%ld s", seconds);
    } else if (seconds < 600 && seconds % 60 != 0) {
        std::snprintf(t.bytes, sizeof t.bytes, "%ld min %ld s", seconds / 60, seconds % 60);
    } else if (seconds < 3600) {
        std::snprintf(t.bytes, sizeof t.bytes, "%ld min", seconds / 60);
    } else {
        std::snprintf(t.bytes, sizeof t.bytes, "%ld h %ld min", seconds / 3600,
                      seconds % 3600 / 60);
    }
    t.length = std::strlen(t.bytes);
    return t;
}

// What the line says in any of its forms: the share done, of how many
// values or bytes, how many are not prime so far, and the time left.
struct figures {
    unsigned percent = 0;
    text count;
    text left;
    const char* what = "read";
    bool known = true;
    bool testing = false;
    std::uint64_t found = 0;
};

figures testing_figures() {
    figures f{};
    if (work_total == 0) {
        work_total = list_work(tested_numbers, tested_count);
    }
    std::uint64_t done = 0;
    std::uint64_t work = 0;
    const int members = std::min(slots_taken.load(std::memory_order_relaxed), SLOTS);
    for (int m = 0; m < members; ++m) {
        done += counts[m].tested.load(std::memory_order_relaxed);
        f.found += counts[m].not_prime.load(std::memory_order_relaxed);
        work += counts[m].work.load(std::memory_order_relaxed);
    }
    f.percent = static_cast<unsigned>(100 * std::min<std::uint64_t>(done, tested_count) /
                                      std::max<std::uint64_t>(tested_count, 1));
    add_grouped(f.count, tested_count);
    add(f.count, " values");
    f.what = "tested";
    f.testing = true;
    f.left = time_left(static_cast<double>(since(testing_since)), static_cast<double>(work),
                       static_cast<double>(work_total));
    return f;
}

figures reading_figures() {
    figures f{};
    const std::uint64_t done = bytes_read.load(std::memory_order_relaxed);
    const std::uint64_t size = bytes_total.load(std::memory_order_relaxed);
    f.known = size > 0;
    f.percent = f.known ? static_cast<unsigned>(100 * std::min(done, size) / size) : 0;
    add_grouped(f.count, f.known ? size : done);
    add(f.count, " bytes");
    f.left = time_left(static_cast<double>(since(started)), static_cast<double>(done),
                       static_cast<double>(size));
    return f;
}

// The forms of the line, longest first: "primecheck: 18% of 203,280,221
// values tested, 0 not prime, about 2 min left" down to "18%". Each leaves
// out what the one before it had; `form` picks one.
text compose(int form) {
    const figures f =
        testing.load(std::memory_order_acquire) ? testing_figures() : reading_figures();
    text t;
    if (form <= 1) {
        add(t, "primecheck: ");
    }
    if (!f.known) {
        // Bytes alone, where the size is not known.
        add(t, f.count.bytes);
        add(t, form <= 2 ? " read" : "");
        return t;
    }
    char number[16];
    std::snprintf(number, sizeof number, "%u%%", f.percent);
    add(t, number);
    if (form == 0) {
        add(t, " of ");
        add(t, f.count.bytes);
    }
    if (form <= 2) {
        add(t, " ");
        add(t, f.what);
        if (f.testing) {
            add(t, ", ");
            add_grouped(t, f.found);
            add(t, " not prime");
        }
    }
    if (f.left.length > 0 && form <= 3) {
        add(t, form <= 1 ? ", about " : ", ");
        add(t, f.left.bytes);
        add(t, " left");
    }
    return t;
}

constexpr int FORMS = 5;

void write_to_terminal(const char* bytes, std::size_t length) {
    const ssize_t ignored = write(STDERR_FILENO, bytes, length);
    (void)ignored;
}

// From the line's start to the end of the screen, every row a reflow can
// have put it on: the row, then the rest from its second column, since tmux
// takes a clear from the screen's first cell for a clear of the whole
// screen, which it scrolls into its history.
constexpr char ERASE[] = "\r\x1b[K\x1b[C\x1b[J\r";
// Automatic margins off, and on again, around the line's text.
constexpr char NO_WRAP[] = "\x1b[?7l";
constexpr char WRAP[] = "\x1b[?7h";

// Whether the program may write to the terminal now: it is in the
// terminal's foreground, so a background job never draws, nor is stopped
// (SIGTTOU) for drawing.
int in_foreground() {
    return tcgetpgrp(STDERR_FILENO) == getpgrp() ? 1 : 0;
}

// Under `drawing`: draws the line as it stands, in the longest form that
// stays short of the terminal's last column; takes it away where none does.
void draw() {
    winsize size = {};
    const int columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
    for (int form = 0; form < FORMS; ++form) {
        const text t = compose(form);
        // A width of 0 is a terminal that does not say: the full line.
        if (columns == 0 || static_cast<int>(t.length) < columns) {
            char line[sizeof t.bytes + 32];
            const int length =
                std::snprintf(line, sizeof line, "%s%s%s%s\r", ERASE, NO_WRAP, t.bytes, WRAP);
            write_to_terminal(line, static_cast<std::size_t>(length));
            shown.store(true, std::memory_order_relaxed);
            return;
        }
    }
    if (shown.exchange(false, std::memory_order_relaxed)) {
        write_to_terminal(ERASE, sizeof ERASE - 1);
    }
}

// Draws the line where it is due, standard error is free, and the program
// owns the screen.
void draw_when_due() {
    const std::int64_t now = since(started);
    if (now < next_draw_ns.load(std::memory_order_relaxed) || !drawing.try_lock()) {
        return;
    }
    if (now >= next_draw_ns.load(std::memory_order_relaxed) &&
        enabled.load(std::memory_order_relaxed) && !held_back.load(std::memory_order_relaxed)) {
        next_draw_ns.store(now + every_ns, std::memory_order_relaxed);
        if (in_foreground() != 0) {
            draw();
        }
    }
    drawing.unlock();
}

// The terminal that standard error is, where standard output can show
// nothing but through it: a regular file, /dev/null, or that terminal.
int owns_the_screen() {
    const char* const term = std::getenv("TERM");
    struct stat err = {};
    struct stat out = {};
    struct stat null = {};
    if (isatty(STDERR_FILENO) == 0 || term == nullptr || *term == '\0' ||
        std::strcmp(term, "dumb") == 0 || fstat(STDERR_FILENO, &err) != 0 ||
        fstat(STDOUT_FILENO, &out) != 0) {
        return 0;
    }
    same_terminal = static_cast<int>(S_ISCHR(out.st_mode) && out.st_rdev == err.st_rdev);
    return S_ISREG(out.st_mode) || same_terminal != 0 ||
                   (S_ISCHR(out.st_mode) && stat("/dev/null", &null) == 0 &&
                    out.st_rdev == null.st_rdev)
               ? 1
               : 0;
}

} // namespace

int start_status(int after_ms, int every_ms) {
    if (owns_the_screen() == 0) {
        return 0;
    }
    started = clock_type::now();
    every_ns = std::int64_t{every_ms} * 1'000'000;
    next_draw_ns.store(std::int64_t{after_ms} * 1'000'000, std::memory_order_relaxed);
    enabled.store(true, std::memory_order_release);
    set_progress({.reading = status_reading,
                  .tested = status_tested,
                  .before_lines = status_before_report,
                  .after_lines = status_after_report});
    return 1;
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

void status_tested(std::uint32_t length, std::uint32_t found, std::uint64_t work) {
    if (!enabled.load(std::memory_order_relaxed)) {
        return;
    }
    thread_local member_counts* own = nullptr;
    if (own == nullptr) {
        own = &counts[std::min(slots_taken.fetch_add(1, std::memory_order_relaxed), SLOTS - 1)];
    }
    own->tested.fetch_add(length, std::memory_order_relaxed);
    own->not_prime.fetch_add(found, std::memory_order_relaxed);
    own->work.fetch_add(work, std::memory_order_relaxed);
    draw_when_due();
}

void status_before_report() {
    if (enabled.load(std::memory_order_relaxed) && same_terminal != 0) {
        drawing.lock();
        if (shown.load(std::memory_order_relaxed) && in_foreground() != 0) {
            write_to_terminal(ERASE, sizeof ERASE - 1);
        }
    }
}

void status_after_report() {
    if (enabled.load(std::memory_order_relaxed) && same_terminal != 0) {
        // Composed anew: the terminal may have another width by now.
        if (shown.load(std::memory_order_relaxed) && in_foreground() != 0) {
            draw();
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
    if (shown.exchange(false, std::memory_order_relaxed) && in_foreground() != 0) {
        write_to_terminal(ERASE, sizeof ERASE - 1);
    }
}

void erase_status_now() {
    held_back.store(true, std::memory_order_relaxed);
    if (shown.exchange(false, std::memory_order_relaxed)) {
        write_to_terminal(ERASE, sizeof ERASE - 1);
    }
}

void redraw_status_soon() {
    next_draw_ns.store(0, std::memory_order_relaxed);
    held_back.store(false, std::memory_order_relaxed);
}

} // namespace primecheck
