// The real reader on a string, for the unit tests and the fuzzer.
#pragma once

#include <primecheck/number_reader.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct reading {
    std::vector<std::uint32_t> values;
    primecheck::read_result result;
};

// Reads `text` through a buffer of `buffer_size` bytes into a list that
// starts with room for `capacity` values.
inline reading read_text(const std::string& text, std::size_t buffer_size, std::size_t capacity) {
    // "r" only reads the text, so the cast takes nothing.
    std::FILE* const file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    primecheck::number_list list;
    if (file == nullptr || !primecheck::allocate_number_list(list, capacity)) {
        std::perror("read_text");
        std::abort();
    }
    reading r;
    r.result = primecheck::read_numbers(file, list, buffer_size);
    std::fclose(file);
    r.values.assign(list.numbers, list.numbers + list.count);
    primecheck::release_number_list(list);
    return r;
}
