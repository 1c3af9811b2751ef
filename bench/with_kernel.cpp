// with_kernel KERNEL: the program's whole job on ./prime_numbers.txt (read,
// test, report, summary) with KERNEL forced, so that a unit the processor
// would not pick can be timed end to end beside the program itself.

#include "trial_division.hpp"

#include <primecheck/number_reader.hpp>
#include <primecheck/primality.hpp>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    using namespace primecheck;
    int kernel = 0;
    while (argc == 2 && kernel < kernel_count() &&
           std::strcmp(argv[1], kernel_at(kernel).name) != 0) {
        ++kernel;
    }
    if (argc != 2 || kernel == kernel_count() || kernel_at(kernel).runs_here() == 0) {
        std::fputs("usage: with_kernel KERNEL, one that runs here\n", stderr);
        return 2;
    }
    force_kernel(kernel);
    std::FILE* const file = std::fopen("prime_numbers.txt", "r");
    number_list list;
    if (file == nullptr || !allocate_number_list(list, 110'882)) {
        std::perror("with_kernel");
        return 1;
    }
    read_numbers(file, list);
    std::fclose(file);
    std::printf("Total non-prime numbers found: %u\n", count_non_primes(list.numbers, list.count));
    release_number_list(list);
    return 0;
}
