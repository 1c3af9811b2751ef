// primecheck: names every entry of a list that is not prime, and the total
// of them; the list is ./prime_numbers.txt unless the command line names
// another file, or - for standard input. Here are its command line, what a
// stop signal does at each stage, when the status line first shows and how
// often, and what is said after a failed write: the sweep and the report
// path tell what happened, and this file alone decides what the user reads.

#include <primecheck/number_reader.hpp>
#include <primecheck/primality.hpp>
#include <primecheck/version.hpp>

#include "report_output.hpp"
#include "status_line.hpp"
#include "sweep.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

namespace {

using namespace primecheck;

constexpr const char* INPUT_PATH = "./prime_numbers.txt";
// The list is allocated once for this many values before reading; only a
// longer file makes it grow.
constexpr std::uint32_t MAX_NUMBERS = 110'882;

constexpr char USAGE[] =
    "Usage: primecheck [OPTION] [FILE]\n"
    "Name every entry of the list in FILE that is not prime, and end with the total.\n"
    "With no FILE, read ./prime_numbers.txt in the current folder; with FILE -, read\n"
    "standard input.\n"
    "\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "OMP_NUM_THREADS sets how many threads test the list; by default, one a core.\n"
    "Exit status: 0 when every value read was tested and reported, 1 on a failure.\n";

// The signals that stop a run and keep what it found; the program then dies
// of the signal, as of any other.
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// How long a run goes on before a terminal sees a status line, and how
// often that is drawn again. A test build shows it at once, every run.
#ifndef PRIMECHECK_STATUS_AFTER_MS
#define PRIMECHECK_STATUS_AFTER_MS 1000
#endif
#ifndef PRIMECHECK_STATUS_EVERY_MS
#define PRIMECHECK_STATUS_EVERY_MS 250
#endif

// The stop signal that came while testing; 1 once testing began, before
// which a signal ends the run at once; and how many signals came since.
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

// Before testing, nothing is found, so nothing is lost: the run ends at
// once, also where open or read waits on a FIFO. While testing, the first
// stop signal stops the sweep after the runs under way. Any other signal,
// or a second one, ends the program, but never inside a write to a regular
// file, which cannot block for long: the writer ends it once that write
// returns. A write to a pipe, a terminal or a socket may wait forever for
// its reader, so a second signal ends it at once.
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
// back the other signals it catches, so that two never interleave.
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

// A file's name as a message shows it: bytes outside printable ASCII, the
// quote and the backslash as \xHH, so that no byte of it reaches a terminal
// raw.
std::string shown_name(const char* name) {
    std::string shown;
    for (const char* c = name; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        char escaped[8];
        const bool plain = byte >= 0x20 && byte < 0x7f && byte != '\'' && byte != '\\';
        std::snprintf(escaped, sizeof escaped, plain ? "%c" : "\\x%02X", byte);
        shown += escaped;
    }
    return shown;
}

// The command line: --help or --version, or at most one operand, the
// list's file, which `operand` is left at. -1 where the run goes on, else
// the exit status. Anything else is refused, never ignored: an answer about
// another file than the one named would pass for success.
int read_command_line(int argc, char** argv, const char*& operand) {
    static const option options[] = {
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'v'}, {}};
    opterr = 0;
    for (int option = 0; (option = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        if (option == 'h' || option == 'v') {
            const int written = option == 'h' ? std::fputs(USAGE, stdout)
                                              : std::printf("primecheck %s\n", PRIMECHECK_VERSION);
            if (written < 0 || std::fflush(stdout) != 0) {
                report_failure("Failed to write output", std::strerror(errno));
                return 1;
            }
            return 0;
        }
        const char* const given = argv[optind - 1];
        if (std::strncmp(given, "--", 2) != 0) {
            std::fprintf(stderr, "primecheck: invalid option -- '%c'\n", optopt);
        } else if (optopt != 0) {
            std::fprintf(stderr, "primecheck: option '%.*s' doesn't allow an argument\n",
                         static_cast<int>(std::strcspn(given, "=")), given);
        } else {
            std::fprintf(stderr, "primecheck: unrecognized option '%s'\n", given);
        }
        std::fputs("Try 'primecheck --help' for more information.\n", stderr);
        return 1;
    }
    if (argc - optind > 1) {
        std::fprintf(stderr,
                     "primecheck: extra operand '%s'\n"
                     "Try 'primecheck --help' for more information.\n",
                     shown_name(argv[optind + 1]).c_str());
        return 1;
    }
    operand = optind < argc ? argv[optind] : nullptr;
    return -1;
}

// Catches the signals: every one whose default action ends the program,
// and, where the status line may show, those it must go away for. Past a
// file size limit a write then fails with EFBIG, and the output ends whole
// like after any other failed write, instead of the program dying mid-line
// of SIGXFSZ.
void catch_signals() {
    std::signal(SIGXFSZ, SIG_IGN);
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : ENDING_SIGNALS) {
        sigaddset(&held, signal);
    }
    for (const int signal : ENDING_SIGNALS) {
        catch_signal(signal, on_ending_signal, held);
    }
    if (start_status(PRIMECHECK_STATUS_AFTER_MS, PRIMECHECK_STATUS_EVERY_MS) != 0) {
        sigset_t none;
        sigemptyset(&none);
        catch_signal(SIGTSTP, on_terminal_signal, none);
        catch_signal(SIGPIPE, on_terminal_signal, none);
    }
}

// Says that the list could not be opened or read: as perror says it for
// INPUT_PATH, and with the name for a file named on the command line.
void report_list_failure(const char* what, const char* operand, int error) {
    if (operand == nullptr) {
        errno = error;
        std::perror(what);
    } else {
        std::fprintf(stderr, "%s '%s': %s\n", what, shown_name(operand).c_str(),
                     std::strerror(error));
    }
}

// Reads the list: from the file named, from standard input for "-", or
// from INPUT_PATH where none is. 0, or the exit status 1 after the message.
int load_list(const char* operand, number_list& list, read_result& result) {
    std::FILE* const file = operand == nullptr               ? std::fopen(INPUT_PATH, "r")
                            : std::strcmp(operand, "-") == 0 ? stdin
                                                             : std::fopen(operand, "r");
    if (file == nullptr) {
        report_list_failure("Failed to open file", operand, errno);
        return 1;
    }
    if (!allocate_number_list(list, MAX_NUMBERS)) {
        std::perror("Failed to allocate memory");
        std::fclose(file);
        return 1;
    }
    result = read_numbers(file, list);
    const int failed =
        result.stop == read_stop::read_error || result.stop == read_stop::no_memory ? 1 : 0;
    // The list is whole: from here on a stop signal keeps what is found.
    testing = failed == 0 ? 1 : 0;
    std::fclose(file);
    if (failed != 0) {
        end_status();
        if (result.stop == read_stop::read_error) {
            report_list_failure("Failed to read file", operand, result.error);
        } else {
            errno = result.error;
            std::perror("Failed to allocate memory");
        }
        release_number_list(list);
    }
    return failed;
}

// After the report: the summary, in a write of its own, which a pipe takes
// whole, unless a write failed, after which the total would claim lines that
// never went out; and what a failed write came to.
int end_report(std::uint32_t non_prime_total, write_outcome outcome) {
    if (outcome.error == 0) {
        char summary[64];
        const int length = std::snprintf(summary, sizeof summary,
                                         "Total non-prime numbers found: %u\n", non_prime_total);
        outcome = write_report_run(summary, static_cast<std::size_t>(length));
        if (outcome.error == 0) {
            outcome = flush_report();
        }
    }
    if (outcome.error != 0) {
        // Nothing more goes out, not even at exit.
        discard_report();
        report_failure("Failed to write output", std::strerror(outcome.error));
        if (outcome.cut_line != nullptr) {
            report_failure("The output ends with a cut line, not taken back", outcome.cut_line);
        }
    }
    return outcome.error == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const char* operand = nullptr;
    if (const int status = read_command_line(argc, argv, operand); status >= 0) {
        return status;
    }
    catch_signals();
    number_list list;
    read_result result;
    if (load_list(operand, list, result) != 0) {
        return 1;
    }
    status_testing(list.numbers, list.count);
    write_outcome outcome;
    const std::uint32_t non_prime_total =
        stop_signal == 0 ? sweep_list(list.numbers, list.count, outcome) : 0;
    end_status();
    if (stop_signal != 0) {
        // What was handed to the report goes out whole: each share's lines
        // end at a run that was done, and the runs that waited behind one
        // that was not stay out. There is no summary, whose total would be
        // false.
        flush_report();
        release_number_list(list);
        die_of(stop_signal);
    }
    const int status = end_report(non_prime_total, outcome);
    // Last, so that on a terminal it is what the user reads: part of the
    // list was never tested.
    if (result.stop == read_stop::bad_token || result.stop == read_stop::list_full) {
        const std::string warning = stop_message(result, list.count);
        write_message(warning.data(), warning.size());
    }
    release_number_list(list);
    // A stop signal after the last run still ends the program as it would.
    if (stop_signal != 0) {
        die_of(stop_signal);
    }
    return status;
}
