// libFuzzer target: the reader, through buffers of several sizes, must agree
// with the plain model on every input, and its warning must never carry a
// raw byte that is not printable ASCII.

#include "read_text.hpp"
#include "reading_model.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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
    const std::string text(reinterpret_cast<const char*>(data), size);
    const modelled_reading expected = model_read(text);
    for (const std::size_t buffer_size : {1, 2, 3, 5, 16, 4096}) {
        const reading got = read_text(text, buffer_size, 3);
        check(got.values == expected.values, "values");
        check((got.result.stop == primecheck::read_stop::bad_token) == expected.stopped,
              "where reading stops");
        if (expected.stopped) {
            check(got.result.line == expected.line, "line");
            check(got.result.token == expected.token.substr(0, primecheck::TOKEN_SHOWN_MAX + 1),
                  "token");
            const std::string message =
                primecheck::stop_message(got.result, static_cast<std::uint32_t>(got.values.size()));
            check(std::all_of(message.begin(), message.end() - 1,
                              [](unsigned char c) { return c >= 0x20 && c <= 0x7e; }),
                  "raw byte in the warning");
            check(message.back() == '\n', "line end");
        }
    }
    return 0;
}
