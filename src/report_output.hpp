// The way report lines reach standard output: a run of them at a time,
// under the stream's own lock, gathered in a buffer of the report's own and
// written with write(2), in writes that end where a run ends and whose room
// in a file is reserved first; and the cut line a failed write left, taken
// back from a file at once. Not installed: for the sweep and the program.
#pragma once

#include <csignal>
#include <cstddef>

namespace primecheck {

// What writing report lines came to: error 0 where every line went out,
// else the errno of the write that failed; and where that write left part
// of a line that could not be taken back, why, in a few words.
struct write_outcome {
    int error = 0;
    const char* cut_line = nullptr;
};

// A report begins: the next write looks again at what standard output is.
void begin_report();

// Writes `text`, whole report lines, to standard output while holding the
// stream's lock, after whatever the stream itself holds, so that no other
// thread's output lands inside a line. On a terminal each line goes out at
// once, in a write of its own; elsewhere the report gathers lines and
// writes them when the next run would not fit beside them, and on a pipe or
// a socket also once they have waited about half a second.
write_outcome write_report_run(const char* text, std::size_t length);

// Writes out what the report and the stream hold.
write_outcome flush_report();

// For a caller between runs of lines, and cheap where nothing is due: on a
// pipe or a socket, writes the lines that have waited about half a second,
// or else looks whether the reader is still there.
write_outcome look_at_report();

// Drops what the report and the stream hold, unwritten.
void discard_report();

// Sets standard output's error indicator, as a failed write of the
// stream's own would, for the stream's other users.
void mark_stream_failed();

// Writes `text`, whole lines, to standard error as the report writes its
// lines: in one write, where a file takes it whole, and taken back where
// that write is cut, as when standard error is the file that standard
// output filled.
void write_message(const char* text, std::size_t length);

// Writes "<what>: <reason>\n" as a message.
void report_failure(const char* what, const char* reason);

// The signals whose default action ends the program and that a handler can
// catch. A write to a regular file holds them back until it returns, so
// that none of them cuts a line: such a write cannot block for long. SIGPIPE
// is not among them: it comes when no reader is left.
inline constexpr int ENDING_SIGNALS[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                                         SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPOLL, SIGPWR};

// For a signal handler, and safe there: the program is to end by `signal`.
// Where a write is under way, the writer ends it once that write returns,
// and the result says where the write goes: 1 a regular file, 2 a pipe, a
// terminal or a socket, whose write may wait forever. 0 where no write is
// under way and none will begin: the caller ends the program itself.
int end_after_write(int signal);

// Ends the process as `signal` would have, dying of it (or, for a signal
// that stops, stopping and then going on), so that its parent sees what it
// would see of any other tool. Safe in a signal handler.
void take_default_action(int signal);
[[noreturn]] void die_of(int signal);

} // namespace primecheck
