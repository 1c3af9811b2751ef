// The parallel sweep: a team of threads tests a number list a run at a time
// and reports each entry that is not prime. Its run length and its measure
// of a run's cost are what the status line counts by; the program's signal
// handlers ask it to stop. Not installed: for the program's parts and the
// tests.
#pragma once

#include "report_output.hpp"

#include <cstdint>

namespace primecheck {

// The entries of a run: what a member tests before it hands over their
// lines in one entry into the critical section.
inline constexpr std::uint32_t RUN_LENGTH = 256;

// The runs that a share of `entries` entries is cut into, the last one
// shorter where they do not divide evenly.
std::uint32_t runs_in(std::uint32_t entries);

// What testing entries [first, first + length) of `numbers` costs, about, in
// trial divisions: the measure by which the status line weighs the work done
// and left.
std::uint64_t run_cost(const std::uint32_t* numbers, std::uint32_t first, std::uint32_t length);

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
