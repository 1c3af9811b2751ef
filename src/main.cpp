// primecheck: names every entry of ./prime_numbers.txt that is not prime, and
// the total of them.

#include <primecheck/number_reader.hpp>
#include <primecheck/primality.hpp>

#include "report_output.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>

#include <stdio_ext.h>
#include <unistd.h>

namespace {

using namespace primecheck;

constexpr const char* INPUT_PATH = "./prime_numbers.txt";
// The list is allocated once for this many values before reading; only a
// longer file makes it grow.
constexpr std::uint32_t MAX_NUMBERS = 110'882;

// Large enough that a long report costs few system calls. Static, because
// the stream still uses it when exit() flushes it.
char stdout_buffer[std::size_t{1} << 16];

} // namespace

int main() {
    // Past a file size limit a write then fails with EFBIG, and the output
    // ends whole like after any other failed write, instead of the program
    // dying mid-line of SIGXFSZ.
    std::signal(SIGXFSZ, SIG_IGN);
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
    switch (result.stop) {
    case read_stop::end_of_file:
        break;
    case read_stop::bad_token:
    case read_stop::list_full:
        std::fputs(stop_message(result, list.count).c_str(), stderr);
        break;
    case read_stop::read_error:
    case read_stop::no_memory:
        errno = result.error;
        std::perror(result.stop == read_stop::read_error ? "Failed to read file"
                                                         : "Failed to allocate memory");
        release_number_list(list);
        return 1;
    }

    // A terminal keeps its line buffering, so that lines show as they come.
    if (isatty(STDOUT_FILENO) == 0) {
        std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
    }
    const std::uint32_t non_prime_total = count_non_primes(list.numbers, list.count);
    // After a failed write the sweep has written nothing more and left the
    // reason in errno; the total would claim lines that never went out. The
    // report goes out before the summary, so that the summary has a write of
    // its own, which a pipe takes whole.
    bool written = std::ferror(stdout) == 0 && flush_report() == 0;
    if (written) {
        std::printf("Total non-prime numbers found: %u\n", non_prime_total);
        written = flush_report() == 0 && std::ferror(stdout) == 0;
    }
    if (!written) {
        // Nothing more goes out, not even at exit.
        const int error = errno;
        __fpurge(stdout);
        take_back_failed_write();
        errno = error;
        std::perror("Failed to write output");
    }
    release_number_list(list);
    return written ? 0 : 1;
}
