// The hooks by which progress leaves the library, and the measure of a
// run's work that they report it by.

#include "progress.hpp"

#include "trial_division.hpp"

#include <algorithm>

namespace primecheck {

namespace {

progress_hooks set_hooks;

// A value's weight: the odd divisors up to its root that a prime there
// takes, and about as much again as a few of them for the call around them;
// an even value, or one below 9, takes none.
std::uint64_t value_work(std::uint32_t n) {
    constexpr std::uint64_t CALL = 16;
    return n % 2 == 0 || n < 9 ? 1 : odd_divisors_of(n) + CALL;
}

// A run's, by its first and middle entries: a sorted list's runs hold values
// of a size.
std::uint64_t run_work(const std::uint32_t* run, std::uint32_t length) {
    return length == 0 ? 0 : (value_work(run[0]) + value_work(run[length / 2])) * length / 2;
}

} // namespace

void set_progress(const progress_hooks& hooks) {
    set_hooks = hooks;
}

std::uint64_t list_work(const std::uint32_t* numbers, std::uint32_t count) {
    std::uint64_t work = 0;
    for (std::uint64_t first = 0; first < count; first += RUN_LENGTH) {
        work += run_work(numbers + first, static_cast<std::uint32_t>(
                                              std::min<std::uint64_t>(RUN_LENGTH, count - first)));
    }
    return work;
}

void progress_reading(std::uint64_t bytes, std::uint64_t size) {
    if (set_hooks.reading != nullptr) {
        set_hooks.reading(bytes, size);
    }
}

void progress_tested(const std::uint32_t* run, std::uint32_t length, std::uint32_t found) {
    if (set_hooks.tested != nullptr) {
        set_hooks.tested(length, found, run_work(run, length));
    }
}

void progress_before_lines() {
    if (set_hooks.before_lines != nullptr) {
        set_hooks.before_lines();
    }
}

void progress_after_lines() {
    if (set_hooks.after_lines != nullptr) {
        set_hooks.after_lines();
    }
}

} // namespace primecheck
