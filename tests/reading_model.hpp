// A deliberately plain model of the reading rules, written apart from the
// reader so that the two can be checked against each other. It is slow: it
// works on the whole text at once and builds strings as it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct modelled_reading {
    std::vector<std::uint32_t> values;
    bool stopped = false;   // at text that is not a number
    std::uint64_t line = 0; // where that text begins
    std::string token;      // that text up to white space, all of it
};

inline bool model_is_space(char c) {
    return std::string(" \t\n\v\f\r").find(c) != std::string::npos;
}

inline modelled_reading model_read(const std::string& text) {
    modelled_reading r;
    std::size_t p = 0;
    for (;;) {
        while (p < text.size() && model_is_space(text[p])) {
            ++p;
        }
        if (p == text.size()) {
            return r;
        }
        const std::size_t start = p;
        if (text[p] == '+') {
            ++p;
        }
        std::string digits;
        while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
            digits += text[p++];
        }
        const std::size_t first = std::min(digits.find_first_not_of('0'), digits.size());
        const std::string significant = digits.substr(first);
        const bool fits =
            significant.size() < 10 || (significant.size() == 10 && significant <= "4294967295");
        if (digits.empty() || !fits) {
            r.stopped = true;
            r.line = 1;
            for (std::size_t i = 0; i < start; ++i) {
                r.line += text[i] == '\n' ? 1 : 0;
            }
            std::size_t end = start;
            while (end < text.size() && !model_is_space(text[end])) {
                ++end;
            }
            r.token = text.substr(start, end - start);
            return r;
        }
        r.values.push_back(
            significant.empty() ? 0 : static_cast<std::uint32_t>(std::stoul(significant)));
    }
}
