#include "oracle.hpp"

#include <gtest/gtest.h>
#include <hwy/targets.h>
#include <primecheck/primality.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using namespace primecheck;

// Every instruction set the library was built for is tried in turn, each
// against a sieve below 2^23, itself held to pi(10^6) = 78,498, and against
// plain integer trial division on hard cases and seeded random values.
TEST(IsPrime, EveryInstructionSetAgreesWithIndependentOracles) {
    constexpr std::uint32_t LIMIT = 1U << 23;
    const std::vector<bool> prime = sieve(LIMIT);
    ASSERT_EQ(std::count(prime.begin(), prime.begin() + 1'000'000, true), 78'498);
    std::vector<std::uint32_t> values = HARD_CASES;
    std::mt19937 random(20261208);
    for (int i = 0; i < 300'000; ++i) {
        values.push_back(static_cast<std::uint32_t>(random()));
    }
    std::vector<int> expected(values.size());
    std::transform(values.begin(), values.end(), expected.begin(),
                   [](std::uint32_t n) { return divides_nothing(n) ? 1 : 0; });
    const std::int64_t supported = hwy::SupportedTargets();
    for (std::int64_t left = HWY_TARGETS; left != 0; left &= left - 1) {
        const std::int64_t target = left & -left;
        if ((supported & target) == 0) {
            std::printf("%s: this processor cannot run it; not tested\n", hwy::TargetName(target));
            continue;
        }
        SCOPED_TRACE(hwy::TargetName(target));
        hwy::SetSupportedTargetsForTest(target);
        for (std::uint32_t n = 0; n < LIMIT; ++n) {
            ASSERT_EQ(is_prime(n), prime[n] ? 1 : 0) << n;
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            ASSERT_EQ(is_prime(values[i]), expected[i]) << values[i];
        }
    }
    hwy::SetSupportedTargetsForTest(0);
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
