// compute_floor FILE TEAM_SIZE REPEATS: the least time any implementation of
// this algorithm can take on FILE with TEAM_SIZE threads. That is the time
// one core takes to run is_prime over the costliest static share, with no
// reading and no writing, best of REPEATS. Prints that time in nanoseconds,
// the share's exact number of trial divisions, and its index range.

#include "number_reader.hpp"
#include "primality.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// The trial divisions is_prime makes on n, counted the slow way.
std::uint64_t divisions(std::uint32_t n) {
    if (n <= 2 || n % 2 == 0) {
        return 0;
    }
    const double bound = std::sqrt(static_cast<double>(n));
    std::uint64_t made = 0;
    for (std::uint32_t i = 3; static_cast<double>(i) <= bound; i += 2) {
        ++made;
        if (n % i == 0) {
            break;
        }
    }
    return made;
}

long long time_share(const number_list& list, index_range share) {
    const auto start = std::chrono::steady_clock::now();
    std::uint32_t composite = 0;
    for (std::uint32_t i = share.begin; i < share.end; ++i) {
        composite += static_cast<std::uint32_t>(is_prime(list.numbers[i]) == 0);
    }
    const auto stop = std::chrono::steady_clock::now();
    // Keeps the calls from being optimised away.
    if (composite == 0xFFFFFFFFU) {
        std::puts("");
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: compute_floor FILE TEAM_SIZE REPEATS\n", stderr);
        return 2;
    }
    std::FILE* const file = std::fopen(argv[1], "r");
    number_list list;
    if (file == nullptr || !allocate_number_list(list, 110'882)) {
        std::perror("compute_floor");
        return 1;
    }
    read_numbers(file, list);
    std::fclose(file);
    const auto team = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const int repeats = std::atoi(argv[3]);

    long long floor_ns = 0;
    index_range costliest{0, 0};
    for (std::uint32_t member = 0; member < team; ++member) {
        const index_range share = static_share(list.count, member, team);
        long long best = -1;
        for (int r = 0; r < repeats; ++r) {
            const long long t = time_share(list, share);
            best = best < 0 || t < best ? t : best;
        }
        if (best > floor_ns) {
            floor_ns = best;
            costliest = share;
        }
    }
    std::uint64_t made = 0;
    for (std::uint32_t i = costliest.begin; i < costliest.end; ++i) {
        made += divisions(list.numbers[i]);
    }
    std::printf("%lld %llu %u %u\n", floor_ns, static_cast<unsigned long long>(made),
                costliest.begin, costliest.end);
    release_number_list(list);
    return 0;
}
