// primecheck: names every entry of ./prime_numbers.txt that is not prime, and
// the total of them.

#include <primecheck/number_reader.hpp>
#include <primecheck/primality.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
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

// The longest line the program writes, the summary with a 10-digit total.
constexpr off_t LINE_MAX_BYTES = sizeof "Total non-prime numbers found: 4294967295\n" - 1;

// Where this program's output begins in standard output, when that is a
// regular file; -1 otherwise.
off_t output_start() {
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    return flags >= 0 && (flags & O_APPEND) != 0 ? st.st_size : lseek(STDOUT_FILENO, 0, SEEK_CUR);
}

// After a failed write, cuts a regular file on standard output back to the
// last line end this program wrote, so that every line in it is whole: a
// report line or the summary, never the start of one. Only where the file
// still ends where this program's writes left it, so that no byte of
// anyone else's is lost, and where it can be read back; errno is kept.
void take_back_cut_line(off_t start) {
    const int error = errno;
    struct stat st {};
    const off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    if (start < 0 || end <= start || fstat(STDOUT_FILENO, &st) != 0 || st.st_size != end) {
        errno = error;
        return;
    }
    // Standard output may be open for writing only.
    const int file = open("/proc/self/fd/1", O_RDONLY | O_CLOEXEC);
    char tail[LINE_MAX_BYTES];
    const off_t from = std::max(start, end - LINE_MAX_BYTES);
    if (file >= 0 && pread(file, tail, static_cast<std::size_t>(end - from), from) == end - from) {
        const void* const line_end = memrchr(tail, '\n', static_cast<std::size_t>(end - from));
        // A cut line is shorter than any whole one, so it began at `start`
        // when no line end is in sight.
        const off_t keep = line_end != nullptr
                               ? from + (static_cast<const char*>(line_end) - tail) + 1
                           : from == start ? start
                                           : end;
        // A file that cannot be cut keeps its cut line; the failure is
        // reported all the same.
        if (keep < end && ftruncate(STDOUT_FILENO, keep) != 0) {
            errno = error;
        }
    }
    if (file >= 0) {
        close(file);
    }
    errno = error;
}

} // namespace

int main() {
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
    const off_t start = output_start();
    const std::uint32_t non_prime_total = count_non_primes(list.numbers, list.count);
    // After a failed write the sweep has written nothing more and left the
    // reason in errno; the total would claim lines that never went out. The
    // report goes out before the summary, so that the summary has a write of
    // its own, which a pipe takes whole.
    bool written = std::ferror(stdout) == 0 && std::fflush(stdout) == 0;
    if (written) {
        std::printf("Total non-prime numbers found: %u\n", non_prime_total);
        written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    }
    if (!written) {
        // Nothing more goes out, not even at exit.
        const int error = errno;
        __fpurge(stdout);
        take_back_cut_line(start);
        errno = error;
        std::perror("Failed to write output");
    }
    release_number_list(list);
    return written ? 0 : 1;
}
