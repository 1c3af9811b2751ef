// The vector floor: the trial divisions is_prime makes, done in bare double
// lanes with nothing around them: no square root, no bound, no dispatch per
// value. Built for every instruction set, like the library.
#pragma once

#include <cstddef>
#include <cstdint>

// Divides values[k] by the odd numbers from 3, divisions[k] of them rounded
// up to whole vectors, for every k below `count`, in float lanes below 2^23
// and double lanes above, as is_prime does; returns how many values had a
// divisor among them.
std::size_t bare_lanes(const std::uint32_t* values, const std::uint32_t* divisions,
                       std::size_t count);

// The number of double lanes the chosen instruction set works on.
std::size_t double_lanes();

// The odd trial divisors is_prime tries on n, counted by a plain scalar loop.
std::uint32_t trial_divisions(std::uint32_t n);
