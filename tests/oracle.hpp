// Primality worked out apart from the code under test, for the tests to
// check it against.
#pragma once

#include <cstdint>
#include <vector>

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
