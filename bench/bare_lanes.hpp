// The vector floor: the trial divisions is_prime makes, by the divisor
// table's test in bare lanes with nothing around them: no square root, no
// bound, no early exit, no choice of kernel per value.
#pragma once

#include <cstddef>
#include <cstdint>

// Tests values[k] against the odd numbers from 3, divisions[k] of them
// rounded up to whole vectors, for every k below `count`, each lane taking
// n * inv(d) mod 2^32 <= lim(d) from a table of its own, on vectors of
// `lanes` 32-bit lanes (4, 8 or 16 on x86-64, 4 elsewhere); returns how
// many values had a divisor among them.
std::size_t bare_lanes(int lanes, const std::uint32_t* values, const std::uint32_t* divisions,
                       std::size_t count);

// The unit's limit: `divisors` rounds of a 32-bit multiply and, with
// `with_compare`, an unsigned compare to a mask, on each of 128 lanes (8
// AVX-512 vectors), with nothing else; only on a processor with AVX-512.
std::uint64_t unit_limit(std::uint32_t seed, std::size_t divisors, int with_compare);

// The odd trial divisors is_prime tries on n, counted by a plain scalar loop.
std::uint32_t trial_divisions(std::uint32_t n);
