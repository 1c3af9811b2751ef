// The vector floor: the trial divisions is_prime makes, done by division in
// bare lanes with nothing around them: no square root, no bound, no early
// exit, no choice of kernel per value.
#pragma once

#include <cstddef>
#include <cstdint>

// Divides values[k] by the odd numbers from 3, divisions[k] of them rounded
// up to whole vectors, for every k below `count`, in float lanes below 2^23
// and double lanes above, as is_prime does, on vectors of `double_lanes`
// doubles (2, 4 or 8 on x86-64, 2 elsewhere); returns how many values had a
// divisor among them.
std::size_t bare_lanes(int double_lanes, const std::uint32_t* values,
                       const std::uint32_t* divisions, std::size_t count);

// The odd trial divisors is_prime tries on n, counted by a plain scalar loop.
std::uint32_t trial_divisions(std::uint32_t n);
