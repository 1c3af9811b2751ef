// The status line that a long run shows on a terminal: how much is read or
// tested, and about how long is left. Only the program turns it on; until
// then every call here returns at once, so the library's callers never see
// it. Not installed.
#pragma once

#include <cstdint>

namespace primecheck {

// Shows the status line from now on, where standard error is a terminal:
// first once the run has lasted `after_ms`, then at most every `every_ms`.
void start_status(int after_ms, int every_ms);

// Reading: `bytes` of a file of `size` bytes (0 where that is not known).
void status_reading(std::uint64_t bytes, std::uint64_t size);

// Testing begins on numbers[0..count).
void status_testing(const std::uint32_t* numbers, std::uint32_t count);

// A run of `length` entries from `first` was tested, `found` of them not
// prime. Draws the line when it is due and nobody else draws it; never
// waits to.
void status_tested(std::uint32_t first, std::uint32_t length, std::uint32_t found);

// Before a run of report lines on standard output: where that is the same
// terminal, takes the line away and holds it back until status_after_report.
void status_before_report();
void status_after_report();

// Takes the line away for good, before the summary.
void end_status();

} // namespace primecheck
