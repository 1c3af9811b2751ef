// The program as most people would first write it: fscanf for every value,
// printf inside the critical section, OpenMP's own static schedule. Same
// input, same lines, same total. It exists only to be measured against.

#include <cmath>
#include <cstdio>
#include <cstdlib>

static int is_prime(unsigned n) {
    if (n <= 1) {
        return 0;
    }
    if (n == 2) {
        return 1;
    }
    if (n % 2 == 0) {
        return 0;
    }
    for (unsigned i = 3; (double)i <= std::sqrt((double)n); i += 2) {
        if (n % i == 0) {
            return 0;
        }
    }
    return 1;
}

int main() {
    FILE* file = std::fopen("./prime_numbers.txt", "r");
    if (file == nullptr) {
        std::perror("Failed to open file");
        return 1;
    }
    unsigned capacity = 110882;
    unsigned* numbers = static_cast<unsigned*>(std::malloc(capacity * sizeof(unsigned)));
    unsigned count = 0;
    unsigned value = 0;
    while (std::fscanf(file, "%u", &value) == 1) {
        if (count == capacity) {
            capacity *= 2;
            numbers = static_cast<unsigned*>(std::realloc(numbers, capacity * sizeof(unsigned)));
        }
        numbers[count++] = value;
    }
    std::fclose(file);
    unsigned total = 0;
#pragma omp parallel for schedule(static) reduction(+ : total)
    for (unsigned i = 0; i < count; ++i) {
        if (!is_prime(numbers[i])) {
#pragma omp critical
            std::printf("%u is NOT prime!\n", numbers[i]);
            ++total;
        }
    }
    std::printf("Total non-prime numbers found: %u\n", total);
    std::free(numbers);
    return 0;
}
