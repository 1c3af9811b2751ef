// Reading the list of unsigned 32-bit numbers from a text stream.
//
// The rules are those of scanf's "%u" with range checking: the six C
// white-space bytes separate values, a value is an optional '+' followed by
// decimal digits, and the list ends at end of file or at the first text that
// is not such a number. A '-' sign or a value above 4,294,967,295 ends the
// list too, rather than being stored wrapped.
#pragma once

#include <primecheck/api.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace primecheck {

// The values read, in file order: one heap block that grows when full.
struct number_list {
    std::uint32_t* numbers = nullptr;
    std::uint32_t count = 0;
    std::size_t capacity = 0;
};

inline constexpr std::size_t READ_BUFFER_SIZE = std::size_t{1} << 16;

// How much of an offending token a warning shows.
inline constexpr std::size_t TOKEN_SHOWN_MAX = 32;

// Its size is part of the shared library's ABI.
enum class read_stop { // NOLINT(performance-enum-size)
    end_of_file,       // every value was read
    bad_token,         // text that is not an unsigned 32-bit number
    list_full,         // the count would no longer fit in 32 bits
    read_error,        // the stream failed; `error` holds errno
    no_memory,         // the list could not grow; `error` holds errno
};

struct read_result {
    read_stop stop = read_stop::end_of_file;
    // The 1-based line where the offending text begins.
    std::uint64_t line = 1;
    // The offending text's first bytes, up to the next white space; one byte
    // more than is shown tells that it was longer.
    std::string token;
    int error = 0;
};

// Allocates room for `capacity` values. False, with errno set, on failure:
// EINVAL for more than 4,294,967,295 values, which a 32-bit count cannot
// count, ENOMEM where the memory is not there.
PRIMECHECK_API bool allocate_number_list(number_list& list, std::size_t capacity);
PRIMECHECK_API void release_number_list(number_list& list);

// Appends the values in `file` to `list`, reading it through a buffer of
// `buffer_size` bytes (at least 1).
PRIMECHECK_API read_result read_numbers(std::FILE* file, number_list& list,
                                        std::size_t buffer_size = READ_BUFFER_SIZE);

// The one-line warning, ending in '\n', for a result that stopped at text
// that is not a number; `count` is the number of values read.
PRIMECHECK_API std::string stop_message(const read_result& result, std::uint32_t count);

} // namespace primecheck
