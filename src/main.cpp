// primecheck: names every entry of ./prime_numbers.txt that is not prime, and
// the total of them.

#include <primecheck/number_reader.hpp>
#include <primecheck/primality.hpp>

#include "report_output.hpp"
#include "status_line.hpp"
#include "sweep_stop.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace {

using namespace primecheck;

constexpr const char* INPUT_PATH = "./prime_numbers.txt";
// The list is allocated once for this many values before reading; only a
// longer file makes it grow.
constexpr std::uint32_t MAX_NUMBERS = 110'882;

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// How long a run goes on before a terminal sees a status line, and how
// often that is drawn again. A test build shows it at once, every run.
#ifndef PRIMECHECK_STATUS_AFTER_MS
#define PRIMECHECK_STATUS_AFTER_MS 1000
#endif
#ifndef PRIMECHECK_STATUS_EVERY_MS
#define PRIMECHECK_STATUS_EVERY_MS 250
#endif

// The signal that asked the run to stop.
volatile std::sig_atomic_t caught = 0;

extern "C" void on_stop_signal(int signal) {
    caught = signal;
    request_stop();
}

// Ctrl-C, a hang-up or a plain kill lets the write under way end whole
// instead of cutting it at a page. A signal the caller ignores (nohup, a
// background job) stays ignored.
void catch_stop_signals() {
    for (const int signal : STOP_SIGNALS) {
        struct sigaction action = {};
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
            action = {};
            action.sa_handler = on_stop_signal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            sigaction(signal, &action, nullptr);
        }
    }
}

// Ends the process as the signal would have, so that the shell sees
// 128 + its number, as from any other tool.
[[noreturn]] void die_of(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    // Only if the signal could not end it.
    // cppcheck-suppress unreachableCode
    _exit(128 + signal);
}

} // namespace

int main() {
    // Past a file size limit a write then fails with EFBIG, and the output
    // ends whole like after any other failed write, instead of the program
    // dying mid-line of SIGXFSZ.
    std::signal(SIGXFSZ, SIG_IGN);
    catch_stop_signals();
    start_status(PRIMECHECK_STATUS_AFTER_MS, PRIMECHECK_STATUS_EVERY_MS);
    std::FILE* const file = std::fopen(INPUT_PATH, "r");
    if (file == nullptr) {
        std::perror("Failed to open file");
        return 1;
    }
    number_list list;
    if (!allocate_number_list(list, MAX_NUMBERS)) {
        std::perror("Failed to allocate memory");
        std::fclose(file);
        return 1;
    }
    const read_result result = read_numbers(file, list);
    std::fclose(file);
    if (result.stop == read_stop::read_error || result.stop == read_stop::no_memory) {
        end_status();
        errno = result.error;
        std::perror(result.stop == read_stop::read_error ? "Failed to read file"
                                                         : "Failed to allocate memory");
        release_number_list(list);
        return 1;
    }

    status_testing(list.numbers, list.count);
    const std::uint32_t non_prime_total =
        caught == 0 ? count_non_primes(list.numbers, list.count) : 0;
    end_status();
    // After a failed write the sweep has written nothing more and left the
    // reason in errno; the total would claim lines that never went out. The
    // report has gone out before the summary, so that the summary has a
    // write of its own, which a pipe takes whole. After a stop signal the
    // total would be false.
    bool written = std::ferror(stdout) == 0;
    if (written && caught == 0) {
        char summary[64];
        const int length = std::snprintf(summary, sizeof summary,
                                         "Total non-prime numbers found: %u\n", non_prime_total);
        written =
            write_report_run(summary, static_cast<std::size_t>(length)) != 0 && flush_report() == 0;
    }
    if (!written) {
        // Nothing more goes out, not even at exit.
        const int error = errno;
        discard_report();
        report_failure("Failed to write output", std::strerror(error));
        if (const char* const why = cut_line_left()) {
            report_failure("The output ends with a cut line, not taken back", why);
        }
    }
    // Last, so that on a terminal it is what the user reads: part of the
    // list was never tested.
    if (caught == 0 &&
        (result.stop == read_stop::bad_token || result.stop == read_stop::list_full)) {
        const std::string warning = stop_message(result, list.count);
        write_message(warning.data(), warning.size());
    }
    release_number_list(list);
    if (caught != 0) {
        discard_report();
        die_of(caught);
    }
    return written ? 0 : 1;
}
