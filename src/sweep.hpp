// How the sweep cuts the list: the shares of the team, each cut into runs,
// the unit that a member tests and hands over lines for at once. Not
// installed: for the program's parts and the tests.
#pragma once

#include <cstdint>

namespace primecheck {

// The entries of a run.
inline constexpr std::uint32_t RUN_LENGTH = 256;

// The runs that a share of `entries` entries is cut into, the last one
// shorter where they do not divide evenly.
std::uint32_t runs_in(std::uint32_t entries);

// What testing entries [first, first + length) of `numbers` costs, about, in
// trial divisions: the measure by which the status line weighs the work done
// and left.
std::uint64_t run_cost(const std::uint32_t* numbers, std::uint32_t first, std::uint32_t length);

} // namespace primecheck
