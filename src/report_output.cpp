// Why the report is written this way: after a failed write the program must
// leave a file with whole lines only, without touching a byte that someone
// else wrote. So the report gathers its own lines and writes them itself
// with write(2), in writes of whole lines, and learns from each call how
// many of its bytes went out. A write that fails can then have left only
// part of one line, the bytes after the last line end that the calls before
// it reported, and a short call is followed at once by a look at where the
// descriptor's offset ends: those bytes lie right before it. They are cut
// as soon as the failure is seen, while the file still ends with them, and
// the offset moves back with them, so that whoever writes next through the
// same open file goes on after the last whole line.
//
// What remains: another process that writes to the same open file (a shared
// offset, as in `{ primecheck & echo x; } > log`) in the microseconds
// between a short write of ours and the look that follows it would be taken
// for ours, where the file cannot be read back to check; and one that
// appends in the microseconds between the check that the file still ends
// with our bytes and the cut loses what it appended. No system call cuts a
// file only where it still ends at a given size.

#include "report_output.hpp"

#include "status_line.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace primecheck {

namespace {

// As large as the stream's own buffer was: a long report costs few system
// calls. Touched only under the stream's lock.
char gathered[std::size_t{1} << 16];
std::size_t gathered_length = 0;

// 1 where standard output shows each line as it comes, a terminal or a
// line-buffered stream; -1 until the report's first write looks.
int line_by_line = -1;

// Why the last failure left a cut line behind: a text, or else an errno.
const char* left_text = nullptr;
int left_error = 0;

constexpr std::size_t CHECKED_MAX = 128;

// The part of a line, `tail`, that a failed write to `fd` left from
// `begins_at` to `ends_at` in the file (begins_at -1 where that is not
// known) is cut off, where the file still ends with it.
void take_back(int fd, const char* tail, std::size_t length, off_t begins_at, off_t ends_at) {
    struct stat st = {};
    left_text = nullptr;
    left_error = 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        left_text = "not a regular file";
        return;
    }
    char found[CHECKED_MAX];
    // Where the file can be read, its last bytes must be ours too.
    if (begins_at < 0 || lseek(fd, 0, SEEK_CUR) != ends_at ||
        (length <= CHECKED_MAX &&
         pread(fd, found, length, begins_at) == static_cast<ssize_t>(length) &&
         std::memcmp(found, tail, length) != 0)) {
        left_text = "the file changed after the failed write";
    } else if (st.st_size != ends_at) {
        left_text = "other bytes follow it in the file";
    } else if (ftruncate(fd, begins_at) != 0) {
        left_error = errno;
    } else {
        lseek(fd, begins_at, SEEK_SET);
    }
}

// Writes all of `data`, whole lines, to `fd`. 1, or 0 with errno set when
// a write failed, after taking back what it left.
int write_whole(int fd, const char* data, std::size_t length) {
    std::size_t done = 0;
    // Where the last line that went out begins, in `data` and in the file.
    std::size_t line = 0;
    off_t line_at = -1;
    off_t end = -1;
    while (done < length) {
        const ssize_t wrote = write(fd, data + done, length - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            const int error = wrote == 0 ? EIO : errno;
            if (done > line) {
                take_back(fd, data + line, done - line, line_at, end);
            }
            errno = error;
            return 0;
        }
        const std::size_t from = done;
        done += static_cast<std::size_t>(wrote);
        if (done == length) {
            break;
        }
        const off_t before = end;
        end = lseek(fd, 0, SEEK_CUR);
        const auto* const line_end =
            static_cast<const char*>(memrchr(data + from, '\n', done - from));
        if (line_end != nullptr) {
            line = static_cast<std::size_t>(line_end + 1 - data);
        }
        if (end >= 0 && line >= from) {
            line_at = end - static_cast<off_t>(done - line);
        } else if (end < 0 || before != end - wrote) {
            // Not known, or the line began in a write before and these
            // bytes do not follow those.
            line_at = -1;
        }
    }
    return 1;
}

int stream_fails(int error) {
    // The stream's error indicator says so to its other users, as a write
    // of its own would.
    stdout->_flags |= _IO_ERR_SEEN;
    errno = error;
    return 0;
}

// Writes the stream's own bytes, then what the report gathered.
int flush_locked() {
    if (fflush_unlocked(stdout) != 0) {
        return 0;
    }
    const std::size_t length = gathered_length;
    gathered_length = 0;
    return length == 0 || write_whole(fileno_unlocked(stdout), gathered, length) != 0
               ? 1
               : stream_fails(errno);
}

// A terminal shows the lines as they come, each in a write of its own, and
// none on the row of the status line, which goes away meanwhile.
int write_lines(const char* text, std::size_t length) {
    const char* const end = text + length;
    int written = 1;
    status_before_report();
    for (const char* line = text; line < end && written != 0;) {
        const auto* const last =
            static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        const auto line_length = static_cast<std::size_t>(last + 1 - line);
        written = write_whole(fileno_unlocked(stdout), line, line_length);
        line += line_length;
    }
    const int error = errno;
    status_after_report();
    return written != 0 ? 1 : stream_fails(error);
}

} // namespace

void begin_report() {
    flockfile(stdout);
    line_by_line = -1;
    funlockfile(stdout);
}

int write_report_run(const char* text, std::size_t length) {
    flockfile(stdout);
    int taken = 0;
    if (line_by_line < 0) {
        line_by_line = __flbf(stdout) != 0 || isatty(fileno_unlocked(stdout)) != 0 ? 1 : 0;
    }
    if (line_by_line != 0) {
        taken = flush_locked() != 0 ? write_lines(text, length) : 0;
    } else if (sizeof gathered - gathered_length >= length) {
        std::memcpy(gathered + gathered_length, text, length);
        gathered_length += length;
        taken = 1;
    } else if (flush_locked() != 0) {
        if (length <= sizeof gathered) {
            std::memcpy(gathered, text, length);
            gathered_length = length;
            taken = 1;
        } else {
            taken =
                write_whole(fileno_unlocked(stdout), text, length) != 0 ? 1 : stream_fails(errno);
        }
    }
    funlockfile(stdout);
    return taken;
}

int flush_report() {
    flockfile(stdout);
    const int flushed = flush_locked();
    funlockfile(stdout);
    return flushed != 0 ? 0 : EOF;
}

void discard_report() {
    flockfile(stdout);
    gathered_length = 0;
    __fpurge(stdout);
    funlockfile(stdout);
}

const char* cut_line_left() {
    return left_text != nullptr ? left_text : left_error != 0 ? std::strerror(left_error) : nullptr;
}

void report_failure(const char* what, const char* reason) {
    char line[256];
    const int length = std::snprintf(line, sizeof line, "%s: %s\n", what, reason);
    // Standard error may be the very file that just filled up: what the
    // limit cuts of this line goes as a report line's would.
    const char* const kept_text = left_text;
    const int kept_error = left_error;
    std::fflush(stderr);
    write_whole(STDERR_FILENO, line, std::min(sizeof line - 1, static_cast<std::size_t>(length)));
    left_text = kept_text;
    left_error = kept_error;
}

} // namespace primecheck
