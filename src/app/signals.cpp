// What a signal does at each stage of a run. Before testing, nothing is
// found, so nothing is lost: the run ends at once, also where open or read
// waits on a FIFO. While testing, the first stop signal (SIGINT, SIGTERM,
// SIGHUP) stops the sweep after the runs under way, and the program then
// dies of it once what was found has gone out. Any other signal whose
// default action ends the program, or a second one, ends it, but never
// inside a write to a regular file, which cannot block for long: the writer
// ends it once that write returns. A write to a pipe, a terminal or a socket
// may wait forever for its reader, so there a second signal ends it at once.

#include "signals.hpp"

#include "report_output.hpp"
#include "status_line.hpp"
#include "sweep.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

#include <signal.h>

namespace primecheck {

namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The stop signal that came while testing; 1 once testing began; and how
// many signals came since.
volatile std::sig_atomic_t stop_signal = 0;
volatile std::sig_atomic_t testing = 0;
std::atomic<int> signals_taken{0};
static_assert(std::atomic<int>::is_always_lock_free);

int is_stop_signal(int signal) {
    return std::find(std::begin(STOP_SIGNALS), std::end(STOP_SIGNALS), signal) !=
                   std::end(STOP_SIGNALS)
               ? 1
               : 0;
}

extern "C" void on_ending_signal(int signal) {
    if (testing == 0) {
        erase_status_now();
        die_of(signal);
    }
    const int taken = signals_taken.fetch_add(1) + 1;
    if (taken == 1 && is_stop_signal(signal) != 0) {
        stop_signal = signal;
        request_stop();
        return;
    }
    erase_status_now();
    request_stop();
    const int writing = end_after_write(signal);
    if (writing == 0 || (writing == 2 && taken > 1)) {
        die_of(signal);
    }
}

// The status line goes away before the program stops for Ctrl-Z, or dies
// of a closed pipe, and comes back once it goes on.
extern "C" void on_terminal_signal(int signal) {
    const int error = errno;
    erase_status_now();
    if (signal != SIGTSTP) {
        die_of(signal);
    }
    take_default_action(SIGTSTP);
    // Stopped here until SIGCONT.
    std::signal(SIGTSTP, on_terminal_signal);
    redraw_status_soon();
    errno = error;
}

// Catches `signal` with `handler`, unless the caller ignores it (nohup, a
// background job of a script): then it stays ignored. The handler holds
// back the signals in `held`, so that two never interleave.
void catch_signal(int signal, void (*handler)(int), const sigset_t& held) {
    struct sigaction action = {};
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
        action = {};
        action.sa_handler = handler;
        action.sa_mask = held;
        action.sa_flags = SA_RESTART;
        sigaction(signal, &action, nullptr);
    }
}

} // namespace

void catch_signals(int status_shows) {
    // Past a file size limit a write then fails with EFBIG, and the output
    // ends whole like after any other failed write, instead of the program
    // dying mid-line of SIGXFSZ.
    std::signal(SIGXFSZ, SIG_IGN);
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : ENDING_SIGNALS) {
        sigaddset(&held, signal);
    }
    for (const int signal : ENDING_SIGNALS) {
        catch_signal(signal, on_ending_signal, held);
    }
    if (status_shows != 0) {
        sigset_t none;
        sigemptyset(&none);
        catch_signal(SIGTSTP, on_terminal_signal, none);
        catch_signal(SIGPIPE, on_terminal_signal, none);
    }
}

void begin_testing() {
    testing = 1;
}

int stop_signal_taken() {
    return stop_signal;
}

} // namespace primecheck
