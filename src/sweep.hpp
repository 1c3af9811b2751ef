// The parallel sweep: a team of threads tests a number list a run of
// RUN_LENGTH entries at a time and reports each entry that is not prime; it
// tells how far it has come through the progress hooks, and a program's
// signal handlers ask it to stop. Not installed: for the program and the
// tests.
#pragma once

#include "progress.hpp"
#include "report_output.hpp"

#include <cstdint>

namespace primecheck {

// The runs that a share of `entries` entries is cut into, the last one
// shorter where they do not divide evenly.
std::uint32_t runs_in(std::uint32_t entries);

// Tests numbers[0..count) and reports each entry that is not prime, as
// count_non_primes does, but says what the report came to in `outcome`: the
// first write that failed, if one did. Returns the lines handed to the
// report.
std::uint32_t sweep_list(const std::uint32_t* numbers, std::uint32_t count, write_outcome& outcome);

// The sweep tests no more and writes no more runs; a write under way ends
// whole. Safe to call from a signal handler: the program's handlers do, so
// that an interrupted run ends with whole lines. The library itself
// installs no handler.
void request_stop();

// 1 once a stop was requested, else 0.
int stop_requested();

} // namespace primecheck
