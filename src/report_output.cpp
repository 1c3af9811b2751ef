// Why the report is written this way (doc/ALGORITHMS.md, "The write path"):
// after a failed write the program must leave a file with whole lines only,
// without touching a byte that someone else wrote. So the report gathers its
// own lines and writes them itself with write(2), in writes of whole lines.
// Before each write to a regular file it reserves the write's room: the file
// size limit (RLIMIT_FSIZE) against where the write begins decides how many
// whole lines go out, and fallocate(FALLOC_FL_KEEP_SIZE) claims the blocks for
// exactly those bytes, so that a full disk or quota refuses the write before
// any of it goes out. Either way the output ends after the last whole line, and
// no line is cut.
//
// Another process that writes to the same file moves where our write
// lands, between the look at where it begins and the write. Once it is
// seen (the place has moved since our last write), every write must leave
// a page more of room, so that the other's lines meanwhile cannot push ours
// past the end.
//
// What a reservation cannot foresee is taken back. That is a file system that
// cannot reserve (EOPNOTSUPP: ZFS, FUSE and older NFS among them), a
// copy-on-write one whose reserved blocks are no promise, an I/O error part
// way, and another writer that has not been seen yet or that writes more than
// a page between our look and our write. For those, each call's result says
// how many bytes went out, and a short call is followed at once by a look at
// where the descriptor's offset ends: the bytes after the last line end lie
// right before it. They are cut as soon as the failure is seen, while the
// file still ends with them, and the offset moves back with them, so that
// whoever writes next through the same open file goes on after the last whole
// line. Another process that writes to the same open file in the microseconds
// between a short write of ours and that look would be taken for ours, where
// the file cannot be read back to check; and one that appends between the
// check that the file still ends with our bytes and the cut loses what it
// appended: no system call cuts a file only where it still ends at a given
// size.
//
// Nor may a signal cut a line. A write to a regular file holds back every
// signal that would end the program until it returns, the take-back
// included; a handler that runs meanwhile on another thread asks, through
// end_after_write, that the writer end the program once its write is
// done. The writer says that a write is under way before it looks whether
// the end was asked, and the handler asks before it looks whether a write
// is under way, both in one total order (seq_cst): so either the handler
// sees the write and leaves the end to the writer, or the writer sees the
// end and writes nothing more. A write to a pipe, a terminal or a socket
// can wait forever for its reader, so there the program leaves a second
// signal free to end it at once.

#include "report_output.hpp"

#include "progress.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio_ext.h>
#ifdef __has_feature
#if __has_feature(thread_sanitizer)
#define PRIMECHECK_TSAN 1
#endif
#elif defined(__SANITIZE_THREAD__)
#define PRIMECHECK_TSAN 1
#endif
#ifdef PRIMECHECK_TSAN
#include <sanitizer/tsan_interface.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace primecheck {

namespace {

// The lines gathered for the next write, touched only under the stream's
// lock: a long report costs few system calls.
char gathered[std::size_t{1} << 20];
std::size_t gathered_length = 0;
// How much the report gathers before it writes: as much as a pipe holds,
// but a regular file takes more at once, which pays for the room that each
// write reserves first.
std::size_t gathered_most = std::size_t{1} << 16;

// How the report's lines reach standard output: each line as it comes, on
// a terminal or a line-buffered stream, or gathered into larger writes.
enum class delivery : unsigned char { not_looked_at, line_by_line, gathered };
delivery report_delivery = delivery::not_looked_at;

// The room a write leaves below the file's end, the size limit or the
// disk's last free block, once another writer is seen in the same file: a
// page, more than a writer of lines puts out while a descheduled thread
// waits between its look at where its write begins and the write.
constexpr off_t ROOM_FOR_ANOTHER_WRITER = 4096;

// What a write to a descriptor must reserve, looked up once a report; and
// whether it is a pipe or a socket, whose reader sees nothing of the lines
// gathered for it.
struct output_file {
    int regular = 0;
    int stream = 0;
    int append = 0;
    rlim_t size_limit = RLIM_INFINITY;
    // Where the next write begins if no one else writes to the file, -1
    // where that is not known; once it is seen to have moved, another
    // writer shares the file for the rest of the report.
    off_t next_at = -1;
    int shared = 0;
};

// Where a write to `fd`, the file `file`, begins: the file's end under
// O_APPEND, the descriptor's offset otherwise; -1 where not known.
off_t write_begins_at(int fd, const output_file& file) {
    struct stat st = {};
    return file.append != 0 ? (fstat(fd, &st) == 0 ? st.st_size : -1) : lseek(fd, 0, SEEK_CUR);
}

output_file output_file_of(int fd) {
    output_file file;
    struct stat st = {};
    rlimit limit = {};
    const int known = fstat(fd, &st) == 0 ? 1 : 0;
    file.regular = static_cast<int>(known != 0 && S_ISREG(st.st_mode));
    file.stream = static_cast<int>(known != 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)));
    file.append = static_cast<int>((fcntl(fd, F_GETFL) & O_APPEND) != 0);
    file.size_limit = getrlimit(RLIMIT_FSIZE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
    file.next_at = file.regular != 0 ? write_begins_at(fd, file) : -1;
    return file;
}

// Standard output's, for the report under way; touched under the stream's
// lock.
output_file report_file;

// Sets `stream`'s error indicator, which no standard call sets, as gnulib's
// fseterr does, by what each C library keeps: musl's __fseterr, or glibc's
// own flag in the stream's flags, _IO_ERR_SEEN, written by hand.
void set_error_indicator(std::FILE* stream) {
#if defined(PRIMECHECK_HAVE_FSETERR)
    __fseterr(stream);
#elif defined(__GLIBC__)
    stream->_flags |= _IO_ERR_SEEN;
#else
#error "this C library has no known way to set a stream's error indicator"
#endif
}

// On a pipe or a socket the report looks this often whether lines wait,
// which it then writes, so that the reader sees each line within about a
// second of its turn, and else whether the reader is still there, so that
// `primecheck | head -1` ends soon after head does, as after a write.
constexpr std::int64_t LOOK_EVERY_NS = 500'000'000;
// When it looks next, on CLOCK_MONOTONIC; 0 where it never does. Read
// without the stream's lock, to see whether a look is due.
std::atomic<std::int64_t> next_look_ns{0};

std::int64_t monotonic_ns() {
    timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// The stream's own lock guards the report's state too, so that a line that
// another thread prints in one stdio call never lands inside the report's
// lines. ThreadSanitizer does not see that lock (clang 14's does not
// intercept flockfile), so a caller's race detector is told of it.
void lock_stream() {
    flockfile(stdout);
#ifdef PRIMECHECK_TSAN
    __tsan_acquire(&gathered_length);
#endif
}

void unlock_stream() {
#ifdef PRIMECHECK_TSAN
    __tsan_release(&gathered_length);
#endif
    funlockfile(stdout);
}

// The line ends in `data` of `length` bytes that end in '\n': the last one
// after `from` and no further than `upto`, or else the first one after
// `upto` and before `length`; `length` where there is neither.
std::size_t line_end_near(const char* data, std::size_t from, std::size_t upto,
                          std::size_t length) {
    const auto* const before = static_cast<const char*>(memrchr(data + from, '\n', upto - from));
    if (before != nullptr) {
        return static_cast<std::size_t>(before + 1 - data);
    }
    const auto* const after =
        upto + 1 < length
            ? static_cast<const char*>(std::memchr(data + upto, '\n', length - 1 - upto))
            : nullptr;
    return after == nullptr ? length : static_cast<std::size_t>(after + 1 - data);
}

// The most whole lines of `data`, up to `fits` bytes, whose blocks the disk
// or quota lets `fd` reserve from `at` on, with `margin` bytes more: by
// bisection over the line ends, since a line that fits may follow a longer
// request that does not (the room left in a file's last block, say).
std::size_t reservable(int fd, off_t at, off_t margin, const char* data, std::size_t fits,
                       int& refused) {
    const auto reserved = [&](std::size_t bytes) {
        return fallocate(fd, FALLOC_FL_KEEP_SIZE, at, static_cast<off_t>(bytes) + margin) == 0 ||
               (errno != ENOSPC && errno != EDQUOT);
    };
    if (fits == 0 || reserved(fits)) {
        return fits;
    }
    refused = errno;
    // `good` bytes are known to fit and `bad` not; both are line ends.
    std::size_t good = 0;
    std::size_t bad = fits;
    while (bad - good > 1) {
        const std::size_t middle = good + (bad - good) / 2;
        const std::size_t next = line_end_near(data, good, middle, bad);
        if (next == bad) {
            break;
        }
        (reserved(next) ? good : bad) = next;
    }
    return good;
}

// The first bytes of `data`, whole lines, that `file` (open as `fd`) takes
// where the next write begins: as many whole lines as its size limit leaves
// room for and their blocks can be reserved for. Where that is fewer than
// `length`, `refused` says why. Where another writer shares the file, a
// page more must fit, so that its write between this look and ours cannot
// push ours past the end and cut it.
std::size_t reserve(int fd, output_file& file, const char* data, std::size_t length, int& refused) {
    if (file.regular == 0) {
        return length;
    }
    const off_t at = write_begins_at(fd, file);
    if (at < 0) {
        return length;
    }
    if (file.next_at >= 0 && at != file.next_at) {
        file.shared = 1;
    }
    const off_t margin = file.shared != 0 ? ROOM_FOR_ANOTHER_WRITER : 0;
    std::size_t fits = length;
    const auto ends = static_cast<rlim_t>(at + margin);
    const rlim_t room = file.size_limit > ends ? file.size_limit - ends : 0;
    if (file.size_limit != RLIM_INFINITY && room < length) {
        const auto* const last = static_cast<const char*>(memrchr(data, '\n', room));
        fits = last == nullptr ? 0 : static_cast<std::size_t>(last + 1 - data);
        refused = EFBIG;
    }
    // Where the file system cannot reserve, the write goes ahead as it is.
    fits = reservable(fd, at, margin, data, fits, refused);
    file.next_at = at + static_cast<off_t>(fits);
    return fits;
}

constexpr std::size_t CHECKED_MAX = 128;

// The take-back: the part of a line, `tail`, that a failed write to `fd`
// left from `begins_at` to `ends_at` in the file (begins_at -1 where that is
// not known) is cut off, where the file still ends with it. nullptr where
// it was, else why not.
const char* take_back(int fd, const char* tail, std::size_t length, off_t begins_at,
                      off_t ends_at) {
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return "not a regular file";
    }
    char found[CHECKED_MAX];
    // Where the file can be read, its last bytes must be ours too.
    if (begins_at < 0 ||
        (length <= CHECKED_MAX &&
         pread(fd, found, length, begins_at) == static_cast<ssize_t>(length) &&
         std::memcmp(found, tail, length) != 0) ||
        lseek(fd, 0, SEEK_CUR) != ends_at) {
        return "the file changed after the failed write";
    }
    // The last look, the cut and the offset's move back follow each other
    // at once, which leaves another writer the least time between them.
    if (fstat(fd, &st) != 0 || st.st_size != ends_at) {
        return "other bytes follow it in the file";
    }
    if (ftruncate(fd, begins_at) != 0) {
        return std::strerror(errno);
    }
    lseek(fd, begins_at, SEEK_SET);
    return nullptr;
}

// Writes all of `data`, whole lines that a file took room for, to `fd`;
// after a write that fails, takes back what it left.
write_outcome write_reserved(int fd, const char* data, std::size_t length) {
    std::size_t done = 0;
    // Where this try ends: at the end, unless the disk refused that much.
    std::size_t try_end = length;
    // Where the last line that went out begins, in `data` and in the file.
    std::size_t line = 0;
    off_t line_at = -1;
    off_t end = -1;
    while (done < length) {
        const ssize_t wrote = write(fd, data + done, try_end - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        // A file system that reserves nothing refuses a write whose first
        // page needs more blocks than are free, where fewer lines may still
        // fit: it is tried with half as many, down to the one under way.
        if (wrote < 0 && (errno == ENOSPC || errno == EDQUOT)) {
            const std::size_t shorter =
                line_end_near(data, done, done + (try_end - done) / 2, try_end);
            if (shorter < try_end) {
                try_end = shorter;
                continue;
            }
        }
        if (wrote <= 0) {
            const int error = wrote == 0 ? EIO : errno;
            return {error,
                    done > line ? take_back(fd, data + line, done - line, line_at, end) : nullptr};
        }
        const std::size_t from = done;
        done += static_cast<std::size_t>(wrote);
        if (done == length) {
            break;
        }
        if (done == try_end) {
            // The next try as long as the last one that went through.
            try_end = line_end_near(data, done, std::min(length, 2 * done - from), length);
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
    return {};
}

// The writes under way, to regular files and elsewhere, and the signal
// that is to end the program once they return.
std::atomic<int> file_writes{0};
std::atomic<int> other_writes{0};
std::atomic<int> ending_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void end_if_asked() {
    if (const int signal = ending_signal.load(); signal != 0) {
        die_of(signal);
    }
}

// write_reserved, with no signal cutting it where `fd` is a regular file.
write_outcome write_unbroken(int fd, int regular, const char* data, std::size_t length) {
    sigset_t held;
    sigset_t before;
    sigemptyset(&held);
    for (const int signal : ENDING_SIGNALS) {
        sigaddset(&held, signal);
    }
    std::atomic<int>& writes = regular != 0 ? file_writes : other_writes;
    if (regular != 0) {
        pthread_sigmask(SIG_BLOCK, &held, &before);
    }
    writes.fetch_add(1);
    end_if_asked();
    const write_outcome wrote = write_reserved(fd, data, length);
    writes.fetch_sub(1);
    end_if_asked();
    if (regular != 0) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    return wrote;
}

// Writes all of `data`, whole lines, to `fd`, the file `file`, as much at a
// time as it has room for; fails with the reason the file gave where it had
// room for no more lines.
write_outcome write_whole(int fd, output_file& file, const char* data, std::size_t length) {
    for (std::size_t done = 0; done < length;) {
        int refused = 0;
        const std::size_t room = reserve(fd, file, data + done, length - done, refused);
        if (room == 0) {
            return {refused, nullptr};
        }
        const write_outcome wrote = write_unbroken(fd, file.regular, data + done, room);
        if (wrote.error != 0) {
            return wrote;
        }
        done += room;
    }
    return {};
}

// Writes the stream's own bytes, then what the report gathered.
write_outcome flush_locked() {
    // The stream's own bytes move where the report's next write begins.
    const std::size_t pending = __fpending(stdout);
    if (fflush_unlocked(stdout) != 0) {
        return {errno, nullptr};
    }
    if (report_file.next_at >= 0) {
        report_file.next_at += static_cast<off_t>(pending);
    }
    const std::size_t length = gathered_length;
    gathered_length = 0;
    return length == 0 ? write_outcome{}
                       : write_whole(fileno_unlocked(stdout), report_file, gathered, length);
}

// A terminal shows the lines as they come, each in a write of its own, and
// none on the row of the status line, which goes away meanwhile.
write_outcome write_lines(const char* text, std::size_t length) {
    const char* const end = text + length;
    write_outcome wrote;
    progress_before_lines();
    for (const char* line = text; line < end && wrote.error == 0;) {
        const auto* const last =
            static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        const auto line_length = static_cast<std::size_t>(last + 1 - line);
        wrote = write_whole(fileno_unlocked(stdout), report_file, line, line_length);
        line += line_length;
    }
    progress_after_lines();
    return wrote;
}

// A pipe or a socket whose reader has gone takes no more: the report ends
// as a write would find it, by SIGPIPE, or with EPIPE where that is ignored.
write_outcome look_for_the_reader() {
    pollfd out = {fileno_unlocked(stdout), POLLOUT, 0};
    if (poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0) {
        std::raise(SIGPIPE);
        return {EPIPE, nullptr};
    }
    return {};
}

// Under the stream's lock: the look at a pipe or a socket, where it is due.
write_outcome look_when_due() {
    const std::int64_t due = next_look_ns.load(std::memory_order_relaxed);
    const std::int64_t now = due == 0 ? 0 : monotonic_ns();
    if (due == 0 || now < due) {
        return {};
    }
    next_look_ns.store(now + LOOK_EVERY_NS, std::memory_order_relaxed);
    return gathered_length > 0 ? flush_locked() : look_for_the_reader();
}

} // namespace

void begin_report() {
    lock_stream();
    report_delivery = delivery::not_looked_at;
    report_file = output_file_of(fileno_unlocked(stdout));
    gathered_most = report_file.regular != 0 ? sizeof gathered : std::size_t{1} << 16;
    next_look_ns.store(report_file.stream != 0 ? monotonic_ns() + LOOK_EVERY_NS : 0,
                       std::memory_order_relaxed);
    unlock_stream();
}

write_outcome look_at_report() {
    const std::int64_t due = next_look_ns.load(std::memory_order_relaxed);
    if (due == 0 || monotonic_ns() < due) {
        return {};
    }
    lock_stream();
    const write_outcome wrote = look_when_due();
    unlock_stream();
    return wrote;
}

write_outcome write_report_run(const char* text, std::size_t length) {
    lock_stream();
    if (report_delivery == delivery::not_looked_at) {
        report_delivery = __flbf(stdout) != 0 || isatty(fileno_unlocked(stdout)) != 0
                              ? delivery::line_by_line
                              : delivery::gathered;
    }
    write_outcome wrote;
    if (report_delivery == delivery::line_by_line) {
        wrote = flush_locked();
        if (wrote.error == 0) {
            wrote = write_lines(text, length);
        }
    } else if (gathered_most - gathered_length >= length) {
        std::memcpy(gathered + gathered_length, text, length);
        gathered_length += length;
    } else {
        wrote = flush_locked();
        if (wrote.error == 0 && length <= gathered_most) {
            std::memcpy(gathered, text, length);
            gathered_length = length;
        } else if (wrote.error == 0) {
            wrote = write_whole(fileno_unlocked(stdout), report_file, text, length);
        }
    }
    if (wrote.error == 0) {
        wrote = look_when_due();
    }
    unlock_stream();
    return wrote;
}

write_outcome flush_report() {
    lock_stream();
    const write_outcome wrote = flush_locked();
    unlock_stream();
    return wrote;
}

void mark_stream_failed() {
    // The report writes with write(2), past the stream, so the stream's own
    // error indicator does not know of a failure. It is set here, as a
    // failed write of the stream's own would, for the stream's other users:
    // ferror(stdout) then tells, and a later sweep writes nothing after the
    // gap.
    flockfile(stdout);
    set_error_indicator(stdout);
    funlockfile(stdout);
}

void discard_report() {
    lock_stream();
    gathered_length = 0;
    __fpurge(stdout);
    unlock_stream();
}

void report_failure(const char* what, const char* reason) {
    char line[256];
    const int length = std::snprintf(line, sizeof line, "%s: %s\n", what, reason);
    write_message(line, std::min(sizeof line - 1, static_cast<std::size_t>(length)));
}

int end_after_write(int signal) {
    ending_signal.store(signal);
    return file_writes.load() > 0 ? 1 : other_writes.load() > 0 ? 2 : 0;
}

void take_default_action(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
}

void die_of(int signal) {
    take_default_action(signal);
    // Only if the signal could not end it.
    // cppcheck-suppress unreachableCode
    _exit(128 + signal);
}

void write_message(const char* text, std::size_t length) {
    // Standard error may be the very file that just filled up: the message
    // goes in whole or not at all, as a report line would.
    std::fflush(stderr);
    output_file file = output_file_of(STDERR_FILENO);
    write_whole(STDERR_FILENO, file, text, length);
}

} // namespace primecheck
