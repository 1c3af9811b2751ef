// primecheck: names every entry of a list that is not prime, and the total
// of them; the list is ./prime_numbers.txt unless the command line names
// another file, or - for standard input. Here is the run, load, sweep,
// summary, release, and when the status line first shows and how often;
// what is said after a failed write is decided here too: the sweep and the
// report path tell what happened, and the program alone decides what the
// user reads. Its command line, its signals and its status line have files
// of their own beside this one.

#include <primecheck/number_reader.hpp>

#include "command_line.hpp"
#include "report_output.hpp"
#include "signals.hpp"
#include "status_line.hpp"
#include "sweep.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace primecheck;

constexpr const char* INPUT_PATH = "./prime_numbers.txt";
// The list is allocated once for this many values before reading; only a
// longer file makes it grow.
constexpr std::uint32_t MAX_NUMBERS = 110'882;

// How long a run goes on before a terminal sees a status line, and how
// often that is drawn again. A test build shows it at once, every run.
#ifndef PRIMECHECK_STATUS_AFTER_MS
#define PRIMECHECK_STATUS_AFTER_MS 1000
#endif
#ifndef PRIMECHECK_STATUS_EVERY_MS
#define PRIMECHECK_STATUS_EVERY_MS 250
#endif

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
    if (failed == 0) {
        begin_testing();
    }
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
// never went out; standard output closed, whose failure is a failed write
// too; and what a failed write came to.
int end_report(std::uint32_t non_prime_total, write_outcome outcome) {
    if (outcome.error == 0) {
        char summary[64];
        const int length = std::snprintf(summary, sizeof summary,
                                         "Total non-prime numbers found: %u\n", non_prime_total);
        outcome = write_report_run(summary, static_cast<std::size_t>(length));
        if (outcome.error == 0) {
            outcome = flush_report();
        }
        if (outcome.error == 0) {
            outcome.error = close_standard_output();
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
    catch_signals(start_status(PRIMECHECK_STATUS_AFTER_MS, PRIMECHECK_STATUS_EVERY_MS));
    number_list list;
    read_result result;
    if (load_list(operand, list, result) != 0) {
        return 1;
    }
    status_testing(list.numbers, list.count);
    write_outcome outcome;
    const std::uint32_t non_prime_total =
        stop_signal_taken() == 0 ? sweep_list(list.numbers, list.count, outcome) : 0;
    end_status();
    if (stop_signal_taken() != 0) {
        // What was handed to the report goes out whole: each share's lines
        // end at a run that was done, and the runs that waited behind one
        // that was not stay out. There is no summary, whose total would be
        // false.
        flush_report();
        release_number_list(list);
        die_of(stop_signal_taken());
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
    if (stop_signal_taken() != 0) {
        die_of(stop_signal_taken());
    }
    return status;
}
