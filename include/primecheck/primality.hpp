// Primality by trial division, and the parallel sweep that reports every
// entry of a number list that is not prime.
#pragma once

#include <primecheck/api.hpp>

#include <cstdint>

namespace primecheck {

// 1 when n is prime, 0 when it is not. Pure and thread-safe.
PRIMECHECK_API int is_prime(std::uint32_t n);

// The half-open index range [begin, end) of one team member's share.
struct index_range {
    std::uint32_t begin;
    std::uint32_t end;
};

// Member `member` of a team of `team_size` takes this contiguous share of
// `count` entries; the first count % team_size members take one more.
PRIMECHECK_API index_range static_share(std::uint32_t count, std::uint32_t member,
                                        std::uint32_t team_size);

// Tests numbers[0..count) on the OpenMP runtime's default team, writes
// "<n> is NOT prime!\n" to standard output for each entry that is not prime,
// and returns how many there were. It writes after what the stream holds,
// with write(2), and holds the stream's lock (flockfile) while it writes,
// so that a line another thread prints in one stdio call never lands inside
// one of its lines, nor its lines inside that one (a line printed in several
// calls can be split); the calling thread must not hold that lock. Its
// threads report through an OpenMP critical section of its own name,
// primecheck_report, which no caller's shares. A failed write ends the
// output: nothing more is written, the team stops
// soon after, standard output's error indicator is set, errno holds the
// first failure's reason, and the result is the number of lines it tried to
// write, not the total. Called while that indicator is set, it writes
// nothing, tests nothing, sets errno to EIO and returns 0; clearerr(stdout)
// lets it write again. On a wide-oriented standard output, which takes no
// bytes, it writes and tests nothing, sets errno to EINVAL and returns 0.
PRIMECHECK_API std::uint32_t count_non_primes(const std::uint32_t* numbers, std::uint32_t count);

} // namespace primecheck
