// Primality worked out apart from the code under test, for the tests to
// check it against.
#pragma once

#include <cstdint>
#include <vector>

// The two largest 32-bit primes; 3 * 5 * 17 * 257 * 65537; 9241 * 464773;
// 65535 squared; 65521 squared, which only its root divides; 65519 * 65521;
// 65521; Carmichael numbers; strong pseudoprimes to base 2, to 2 and 3, to
// 2, 3 and 5, and to 2 to 7; the largest prime below 2^23 and 2^23 - 1.
inline const std::vector<std::uint32_t> HARD_CASES = {
    4'294'967'291U, 4'294'967'279U, 4'294'967'295U, 4'294'967'293U, 4'294'836'225U, 4'293'001'441U,
    4'292'870'399U, 65'521U,        561U,           41'041U,        825'265U,       2'047U,
    1'373'653U,     25'326'001U,    3'215'031'751U, 8'388'593U,     8'388'607U};

// The sieve of Eratosthenes: prime[n] for every n below `limit`.
inline std::vector<bool> sieve(std::uint32_t limit) {
    std::vector<bool> prime(limit, true);
    prime[0] = false;
    prime[1] = false;
    for (std::uint32_t p = 2; p * p < limit; ++p) {
        if (prime[p]) {
            for (std::uint32_t m = p * p; m < limit; m += p) {
                prime[m] = false;
            }
        }
    }
    return prime;
}

// Plain trial division in integers, with no square root and no floating
// point: the bound is i * i <= n, worked out in 64 bits.
inline bool divides_nothing(std::uint32_t n) {
    if (n < 2 || (n % 2 == 0 && n != 2)) {
        return false;
    }
    for (std::uint32_t i = 3; std::uint64_t{i} * i <= n; i += 2) {
        if (n % i == 0) {
            return false;
        }
    }
    return true;
}

// The composites p * q with p prime from 263 on (past the divisors that a
// run tries one value at a time first) and q = (2^32 - 1) / p, the largest
// multiple's quotient, itself prime and at least p: for the divisor p the
// divisibility test's quotient n * inv(p) is then q, which meets its limit
// exactly.
inline std::vector<std::uint32_t> quotient_at_the_limit() {
    std::vector<std::uint32_t> values;
    for (std::uint32_t p = 263; p < (1U << 16); p += 2) {
        const std::uint32_t q = 0xFFFFFFFFU / p;
        if (q >= p && divides_nothing(p) && divides_nothing(q)) {
            values.push_back(p * q);
        }
    }
    return values;
}

// The 256 largest 32-bit primes, ascending, with the first `count` of
// them, or all, and those composites at the first and last lane of every
// eight, the edges of every group of 16, 24, 48 and 64 values that a kernel
// tests together: all of them take the same divisors, so a group keeps
// their order.
inline std::vector<std::uint32_t> limits_at_group_edges(std::size_t count = 256) {
    std::vector<std::uint32_t> run;
    for (std::uint32_t n = 0xFFFFFFFFU; run.size() < 256; n -= 2) {
        if (divides_nothing(n)) {
            run.insert(run.begin(), n);
        }
    }
    run.resize(count);
    const std::vector<std::uint32_t> composites = quotient_at_the_limit();
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 8 == 0 || i % 8 == 7 || i + 1 == count) {
            run[i] = composites[composites.size() - 1 - i % composites.size()];
        }
    }
    return run;
}
