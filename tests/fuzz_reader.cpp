// libFuzzer target: the reader, through buffers of several sizes, must agree
// with the plain model on every input, and its warning must never carry a
// raw byte that is not printable ASCII.

#include <primecheck/number_reader.hpp>

#include "reading_model.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace primecheck;

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "reader and model disagree: %s\n", what);
        std::abort();
    }
}

} // namespace

// NOLINTNEXTLINE(readability-identifier-naming): libFuzzer calls it by this name
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const modelled_reading expected = model_read(text);
    for (const std::size_t buffer_size : {1, 2, 3, 5, 16, 4096}) {
        std::FILE* const file = fmemopen(text.data(), size, "r");
        check(file != nullptr, "fmemopen");
        number_list list;
        check(allocate_number_list(list, 4), "allocation");
        const read_result got = read_numbers(file, list, buffer_size);
        std::fclose(file);
        check(list.count == expected.values.size(), "count");
        for (std::size_t i = 0; i < list.count; ++i) {
            check(list.numbers[i] == expected.values[i], "value");
        }
        check((got.stop == read_stop::bad_token) == expected.stopped, "where reading stops");
        if (expected.stopped) {
            check(got.line == expected.line, "line");
            check(got.token == expected.token.substr(0, TOKEN_SHOWN_MAX + 1), "token");
            const std::string message = stop_message(got, list.count);
            for (std::size_t i = 0; i + 1 < message.size(); ++i) {
                const auto c = static_cast<unsigned char>(message[i]);
                check(c >= 0x20 && c <= 0x7e, "raw byte in the warning");
            }
            check(message.back() == '\n', "line end");
        }
        release_number_list(list);
    }
    return 0;
}
