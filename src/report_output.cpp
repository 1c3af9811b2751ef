// Why the report is written this way: after a failed write the program must
// leave a file with whole lines only, without reading it back (it may be
// open for writing only) and without touching a byte that someone else
// wrote. So the stream is only ever flushed here, between runs of whole
// lines, and each flush notes where its write begins. A failed write then
// left at most its own bytes at the end of the file, from a known place on,
// after a line end.

#include "report_output.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace primecheck {

namespace {

// The last write that flush_report saw fail. `begins_at` is -1 where none
// did, where the output is no regular file, or where writes of the stream's
// own came after.
struct write_record {
    off_t begins_at = -1;
    std::size_t length = 0;
};

// Touched only under the stream's lock, or after the sweep.
write_record failed_write;

// Where the next write to `fd` puts its first byte: under O_APPEND the end
// of the file, which other writers may have moved, else the offset.
off_t next_write_position(int fd) {
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return -1;
    }
    return (flags & O_APPEND) != 0 ? st.st_size : lseek(fd, 0, SEEK_CUR);
}

// A terminal shows the lines as they come, each in a write of its own, as
// printf would give it them. The stream takes a line whole even when its
// flush fails, so its error indicator is asked after each one: the next
// would go out after a gap.
int write_lines(const char* text, std::size_t length) {
    const char* const end = text + length;
    for (const char* line = text; line < end;) {
        const auto* const last =
            static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        const auto line_length = static_cast<std::size_t>(last + 1 - line);
        if (fwrite_unlocked(line, 1, line_length, stdout) != line_length ||
            ferror_unlocked(stdout) != 0) {
            return 0;
        }
        line += line_length;
    }
    return 1;
}

} // namespace

int flush_report() {
    flockfile(stdout);
    const std::size_t pending = __fpending(stdout);
    int result = 0;
    if (pending > 0) {
        const int error = errno;
        const write_record starting = {next_write_position(fileno_unlocked(stdout)), pending};
        errno = error;
        result = fflush_unlocked(stdout);
        failed_write = result != 0 ? starting : write_record{};
    }
    funlockfile(stdout);
    return result;
}

int write_report_run(const char* text, std::size_t length) {
    flockfile(stdout);
    int taken = 0;
    // A stream gets its buffer at its first write, and is line-buffered from
    // then on where it is a terminal; line by line suits it either way.
    if (__flbf(stdout) != 0 || __fbufsize(stdout) == 0) {
        failed_write = {};
        taken = write_lines(text, length);
    } else if (__fbufsize(stdout) - __fpending(stdout) >= length || flush_report() == 0) {
        // (flush_report takes the lock again; it is recursive.) A caller's
        // buffer too small for the run has the stream write parts of it on
        // its own.
        if (__fbufsize(stdout) < length) {
            failed_write = {};
        }
        taken = fwrite_unlocked(text, 1, length, stdout) == length ? 1 : 0;
    }
    taken = taken != 0 && ferror_unlocked(stdout) == 0 ? 1 : 0;
    funlockfile(stdout);
    return taken;
}

void take_back_failed_write() {
    const int error = errno;
    const write_record w = failed_write;
    const int fd = fileno(stdout);
    struct stat st = {};
    // A failed write leaves the offset at the end of what it did write, under
    // O_APPEND too. Only that many bytes, at most the write's own, that still
    // end the file, are cut.
    const off_t end = w.begins_at >= 0 ? lseek(fd, 0, SEEK_CUR) : -1;
    if (end > w.begins_at && static_cast<std::size_t>(end - w.begins_at) <= w.length &&
        fstat(fd, &st) == 0 && st.st_size == end && ftruncate(fd, w.begins_at) == 0) {
        lseek(fd, w.begins_at, SEEK_SET);
    }
    errno = error;
}

} // namespace primecheck
