#include <primecheck/primality.hpp>
#include <primecheck/version.hpp>

#include <cstdint>
#include <cstdio>

int main() {
    const std::uint32_t numbers[] = {2, 3, 4, 9, 4'294'967'291U};
    const std::uint32_t total = primecheck::count_non_primes(numbers, 5);
    std::printf("largest 32-bit prime: %d, total: %u, version %s\n",
                primecheck::is_prime(4'294'967'291U), total, PRIMECHECK_VERSION);
    return 0;
}
