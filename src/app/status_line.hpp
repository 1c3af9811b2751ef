// The status line that a long run shows on a terminal: how much is read or
// tested, and about how long is left. It is the program's: it learns how
// far the reader and the sweep have come through the library's progress
// hooks, which it sets once it may show. Not installed.
#pragma once

#include <cstdint>

namespace primecheck {

// Shows the status line from now on, and sets the progress hooks to draw
// it, where the program owns the screen
// (standard error a terminal that can erase a line, and standard output a
// file, /dev/null or that terminal): first once the run has lasted
// `after_ms`, then at most every `every_ms`, while the program is in the
// terminal's foreground. 1 where it may show, else 0.
int start_status(int after_ms, int every_ms);

// Reading: `bytes` of a file of `size` bytes (0 where that is not known).
void status_reading(std::uint64_t bytes, std::uint64_t size);

// Testing begins on numbers[0..count).
void status_testing(const std::uint32_t* numbers, std::uint32_t count);

// A member tested a run of `length` entries, `found` of them not prime,
// worth `work` by list_work's measure. Draws the line when it is due and
// nobody else draws it; never waits to.
void status_tested(std::uint32_t length, std::uint32_t found, std::uint64_t work);

// Before a run of report lines on standard output: where that is the same
// terminal, takes the line away and holds it back until status_after_report,
// which draws it again.
void status_before_report();
void status_after_report();

// Takes the line away for good, before the summary or a message.
void end_status();

// For a signal handler, and safe there: takes the line off the screen now,
// before the program stops or dies, and draws it no more; and has it drawn
// again at the next chance, once the program goes on.
void erase_status_now();
void redraw_status_soon();

} // namespace primecheck
