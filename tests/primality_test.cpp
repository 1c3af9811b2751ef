#include "primality.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// An independent oracle: the sieve of Eratosthenes.
std::vector<bool> sieve(std::uint32_t limit) {
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

TEST(IsPrime, AgreesWithASieveBelowTwoToTheTwenty) {
    constexpr std::uint32_t LIMIT = 1U << 20;
    const std::vector<bool> prime = sieve(LIMIT);
    std::uint32_t below_million = 0;
    for (std::uint32_t n = 0; n < LIMIT; ++n) {
        ASSERT_EQ(is_prime(n), prime[n] ? 1 : 0) << n;
        below_million += static_cast<std::uint32_t>(n < 1'000'000 && is_prime(n) == 1);
    }
    EXPECT_EQ(below_million, 78'498U);
}

TEST(IsPrime, HardCasesNearTheTopOfTheRange) {
    struct known {
        std::uint32_t n;
        int prime;
    };
    const known cases[] = {
        {4'294'967'291U, 1},                      // the largest 32-bit prime
        {4'294'967'279U, 1}, {4'294'967'295U, 0}, // 3 * 5 * 17 * 257 * 65537
        {4'294'967'293U, 0},                      // 9241 * 464773
        {4'294'836'225U, 0},                      // 65535 squared
        {4'293'001'441U, 0},                      // 65521 squared: only its root divides it
        {4'292'870'399U, 0},                      // 65519 * 65521
        {65'521U, 1},        {561U, 0},           // Carmichael numbers
        {41'041U, 0},        {825'265U, 0},
        {2'047U, 0}, // strong pseudoprimes: to base 2; 2 and 3; 2, 3 and 5; 2 to 7
        {1'373'653U, 0},     {25'326'001U, 0},
        {3'215'031'751U, 0},
    };
    for (const known& k : cases) {
        EXPECT_EQ(is_prime(k.n), k.prime) << k.n;
    }
}

TEST(StaticShare, WorkedExamples) {
    const auto ranges = [](std::uint32_t count, std::uint32_t team) {
        std::vector<std::uint32_t> bounds;
        for (std::uint32_t t = 0; t < team; ++t) {
            const index_range r = static_share(count, t, team);
            bounds.push_back(r.begin);
            bounds.push_back(r.end);
        }
        return bounds;
    };
    EXPECT_EQ(ranges(10, 4), (std::vector<std::uint32_t>{0, 3, 3, 6, 6, 8, 8, 10}));
    EXPECT_EQ(ranges(10, 3), (std::vector<std::uint32_t>{0, 4, 4, 7, 7, 10}));
    EXPECT_EQ(ranges(2, 4), (std::vector<std::uint32_t>{0, 1, 1, 2, 2, 2, 2, 2}));
}

TEST(StaticShare, SharesTileTheListInMemberOrderAndDifferByAtMostOne) {
    const std::uint32_t counts[] = {0, 1, 2, 7, 64, 99, 1000, 110'882, 4'294'967'295U};
    for (const std::uint32_t count : counts) {
        for (std::uint32_t team = 1; team <= 70; ++team) {
            std::uint32_t next = 0;
            std::uint32_t smallest = count;
            std::uint32_t largest = 0;
            for (std::uint32_t t = 0; t < team; ++t) {
                const index_range r = static_share(count, t, team);
                ASSERT_EQ(r.begin, next) << count << " on " << team << ", member " << t;
                ASSERT_LE(r.begin, r.end);
                smallest = std::min(smallest, r.end - r.begin);
                largest = std::max(largest, r.end - r.begin);
                next = r.end;
            }
            ASSERT_EQ(next, count) << count << " on " << team;
            ASSERT_LE(largest - smallest, 1U) << count << " on " << team;
        }
    }
}

} // namespace
