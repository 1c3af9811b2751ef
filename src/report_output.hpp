// The way report lines reach standard output: a run of them at a time,
// under the stream's own lock, in kernel writes that end where a run ends,
// and the one write that failed taken back from a file afterwards. Not
// installed: for the sweep and the program.
#pragma once

#include <cstddef>

namespace primecheck {

// Writes `text`, whole report lines, to standard output while holding the
// stream's lock, so that no other thread's output lands inside a line. A
// fully buffered stream only takes a copy, flushed first where the text
// would not fit beside what it holds: so every write that reaches the
// kernel ends at a line end. A line-buffered one, a terminal, gets a write
// per line, as printf would give it. 1 when the text was taken whole, 0
// with errno set when a write failed.
int write_report_run(const char* text, std::size_t length);

// Flushes standard output, noting where in the file that write begins and
// how long it is. 0, or EOF with errno set, as fflush.
int flush_report();

// After a failed flush_report: where standard output is a regular file
// that still ends with that write's bytes, cuts them off, so that the file
// ends at the last line end before them, and moves the offset there for
// whoever writes next through the same open file. Bytes that anyone else
// wrote, before or after, stay. errno is kept.
void take_back_failed_write();

} // namespace primecheck
