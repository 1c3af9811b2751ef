#include "read_text.hpp"
#include "reading_model.hpp"

#include <gtest/gtest.h>
#include <primecheck/number_reader.hpp>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace primecheck;

struct reader_case {
    std::string text;
    std::vector<std::uint32_t> values;
    read_stop stop = read_stop::end_of_file;
    std::uint64_t line = 1;
    std::string token;
};

// Every case is read through buffers of several sizes, so that values and
// tokens cut at every possible place must still read the same, into a list
// that starts with room for three values and must grow past it.
TEST(ReadNumbers, FollowsTheRulesOfPercentUWithRangeChecks) {
    const std::string zeros(100, '0');
    std::string many;
    std::vector<std::uint32_t> many_values;
    for (std::uint32_t v = 0; v < 5000; ++v) {
        many += std::to_string(v * 7919U) + '\n';
        many_values.push_back(v * 7919U);
    }
    const reader_case cases[] = {
        {"", {}},
        {" \t\n\v\f\r", {}},
        {"2 3\n4\t9\r\n\v1\f0", {2, 3, 4, 9, 1, 0}},
        {"+7 007 " + zeros + "5", {7, 7, 5}},
        {"4294967295\n", {4'294'967'295U}},
        {many, many_values},
        {"5\nabc\n4\n", {5}, read_stop::bad_token, 2, "abc"},
        {"7.5 9", {7}, read_stop::bad_token, 1, ".5"},
        {"12abc 3", {12}, read_stop::bad_token, 1, "abc"},
        {"5+3 x", {5, 3}, read_stop::bad_token, 1, "x"},
        {"1\n\n-4 8", {1}, read_stop::bad_token, 3, "-4"},
        {"4294967296", {}, read_stop::bad_token, 1, "4294967296"},
        // 2^64, which a 64-bit accumulator would wrap to 0.
        {"18446744073709551616 5", {}, read_stop::bad_token, 1, "18446744073709551616"},
        {"1 +99999999999x 2", {1}, read_stop::bad_token, 1, "+99999999999x"},
        {zeros + "4294967296", {}, read_stop::bad_token, 1, zeros.substr(0, 33)},
        // A word longer than a warning shows is kept to one byte more.
        {"7 " + std::string(40, 'w'), {7}, read_stop::bad_token, 1, std::string(33, 'w')},
        {"9 +", {9}, read_stop::bad_token, 1, "+"},
        {"9 + 4", {9}, read_stop::bad_token, 1, "+"},
        {"\r\n\r\n3\r\n\xEF\xBB\xBF"
         "5",
         {3},
         read_stop::bad_token,
         4,
         "\xEF\xBB\xBF"
         "5"},
        {std::string("1\0002", 3), {1}, read_stop::bad_token, 1, std::string("\0002", 2)},
    };
    for (const std::size_t buffer_size :
         {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, READ_BUFFER_SIZE}) {
        for (const reader_case& c : cases) {
            const reading r = read_text(c.text, buffer_size, 3);
            SCOPED_TRACE("buffer " + std::to_string(buffer_size) + ", text \"" +
                         c.text.substr(0, 64) + "\"");
            EXPECT_EQ(r.values, c.values);
            EXPECT_EQ(r.result.stop, c.stop);
            EXPECT_EQ(r.result.line, c.line);
            EXPECT_EQ(r.result.token, c.token);
        }
    }
}

// The fast path takes eight bytes at once: every byte value right after one
// to nine digits, and values whose fast read starts 10, 11 or 12 bytes
// before a buffer's end, must read as the plain model of the rules says.
TEST(ReadNumbers, ReadsAsTheModelAtEveryDigitBoundary) {
    std::vector<std::string> texts;
    for (int byte = 0; byte < 256; ++byte) {
        for (std::size_t digits = 1; digits <= 9; ++digits) {
            texts.push_back(std::string("123456789").substr(0, digits) + static_cast<char>(byte) +
                            "2 3 4 5 6 7 8 9\n");
        }
    }
    for (const std::size_t lead : {0, 1, 2, 3, 65'514, 65'515, 65'524, 65'525, 65'526, 65'527}) {
        texts.push_back(std::string(lead, ' ') + "12345678901 1234567890 7\n");
        texts.push_back(std::string(lead, ' ') + "1234567890 4294967295\n");
    }
    for (const std::size_t buffer_size : {std::size_t{11}, std::size_t{12}, READ_BUFFER_SIZE}) {
        for (const std::string& text : texts) {
            const reading r = read_text(text, buffer_size, 3);
            const modelled_reading m = model_read(text);
            SCOPED_TRACE("buffer " + std::to_string(buffer_size) + ", text \"" +
                         text.substr(text.find_first_not_of(' '), 32) + "\"");
            ASSERT_EQ(r.values, m.values);
            ASSERT_EQ(r.result.stop, m.stopped ? read_stop::bad_token : read_stop::end_of_file);
            ASSERT_EQ(r.result.token, m.token.substr(0, TOKEN_SHOWN_MAX + 1));
        }
    }
}

// An empty list is a list, which reading grows. A capacity whose size in
// bytes does not fit size_t, as on a 32-bit system 2^30 values do not, is
// refused rather than allocated wrapped; and so is room for more values
// than the 32-bit count can count, before any memory is asked for.
TEST(AllocateNumberList, TakesNoRoomAndRefusesASizeThatWraps) {
    EXPECT_EQ(read_text("7 9", READ_BUFFER_SIZE, 0).values, (std::vector<std::uint32_t>{7, 9}));
    const std::size_t too_many[] = {std::numeric_limits<std::size_t>::max() / 4 + 2,
                                    std::size_t{std::numeric_limits<std::uint32_t>::max()} + 1};
    const int why[] = {ENOMEM, EINVAL};
    // A 32-bit size_t cannot hold the second.
    for (std::size_t i = 0; i < (sizeof(std::size_t) > 4 ? 2U : 1U); ++i) {
        number_list list;
        errno = 0;
        EXPECT_FALSE(allocate_number_list(list, too_many[i]));
        EXPECT_EQ(errno, why[i]);
        EXPECT_EQ(list.numbers, nullptr);
        EXPECT_EQ(list.capacity, 0U);
    }
}

TEST(StopMessage, QuotesTheTokenEscapedAndCutToThirtyTwoBytes) {
    const auto message = [](const std::string& token) {
        read_result result;
        result.stop = read_stop::bad_token;
        result.line = 12;
        result.token = token;
        return stop_message(result, 34);
    };
    EXPECT_EQ(message("abc"),
              "Stopped reading at line 12: \"abc\" is not an unsigned 32-bit number "
              "(numbers read: 34)\n");
    EXPECT_EQ(message("\x1b[31m\"\\\x7f\xff"),
              "Stopped reading at line 12: \"\\x1B[31m\\x22\\x5C\\x7F\\xFF\" is not an unsigned "
              "32-bit number (numbers read: 34)\n");
    const std::string exact(32, 'z');
    EXPECT_NE(message(exact).find('"' + exact + '"'), std::string::npos);
    EXPECT_NE(message(exact + "y").find('"' + exact + "...\""), std::string::npos);
}

} // namespace
