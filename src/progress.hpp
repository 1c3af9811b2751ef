// How far the reader and the sweep have come, for a caller that shows it,
// as the program's status line does: the library calls the hooks that the
// caller set, and none until it sets them, so that a caller that sets none
// pays a test of a pointer a run. Not installed.
#pragma once

#include <cstdint>

namespace primecheck {

// The entries of the sweep's run: what a member tests before it hands over
// their lines in one entry into the report's lock, and the unit by which
// the sweep tells how far it has come.
inline constexpr std::uint32_t RUN_LENGTH = 256;

struct progress_hooks {
    // The reader has read `bytes` of a file of `size` bytes (0 where that is
    // not known).
    void (*reading)(std::uint64_t bytes, std::uint64_t size) = nullptr;
    // A member of the sweep has tested `length` entries, `found` of them not
    // prime, worth `work` by the measure of list_work.
    void (*tested)(std::uint32_t length, std::uint32_t found, std::uint64_t work) = nullptr;
    // Around report lines that go to a terminal: before, while holding the
    // report's lock, and after.
    void (*before_lines)() = nullptr;
    void (*after_lines)() = nullptr;
};

// Set before the reader and the sweep run, from one thread.
void set_progress(const progress_hooks& hooks);

// What testing numbers[0..count) is worth, about, in trial divisions, each
// value weighed by the divisors a prime of its size takes, so that a large
// prime weighs more than a small one, and each run of RUN_LENGTH by two of
// its values: the measure by which a caller weighs the work done and left.
std::uint64_t list_work(const std::uint32_t* numbers, std::uint32_t count);

// For the library's own parts: the hooks, where set.
void progress_reading(std::uint64_t bytes, std::uint64_t size);
void progress_tested(const std::uint32_t* run, std::uint32_t length, std::uint32_t found);
void progress_before_lines();
void progress_after_lines();

} // namespace primecheck
