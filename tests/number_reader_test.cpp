#include <gtest/gtest.h>
#include <primecheck/number_reader.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace primecheck;

struct reading {
    std::vector<std::uint32_t> values;
    read_result result;
};

reading read_text(const std::string& text, std::size_t buffer_size,
                  std::size_t capacity = 110'882) {
    std::FILE* const file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    EXPECT_NE(file, nullptr);
    number_list list;
    EXPECT_TRUE(allocate_number_list(list, capacity));
    reading r;
    r.result = read_numbers(file, list, buffer_size);
    std::fclose(file);
    r.values.assign(list.numbers, list.numbers + list.count);
    release_number_list(list);
    return r;
}

struct reader_case {
    std::string text;
    std::vector<std::uint32_t> values;
    read_stop stop;
    std::uint64_t line;
    std::string token;
};

// Every case is read through buffers of several sizes, so that values and
// tokens cut at every possible place must still read the same.
TEST(ReadNumbers, FollowsTheRulesOfPercentUWithRangeChecks) {
    const std::string zeros(100, '0');
    const reader_case cases[] = {
        {"", {}, read_stop::end_of_file, 1, ""},
        {" \t\n\v\f\r", {}, read_stop::end_of_file, 1, ""},
        {"2 3\n4\t9\r\n\v1\f0", {2, 3, 4, 9, 1, 0}, read_stop::end_of_file, 1, ""},
        {"+7 007 " + zeros + "5", {7, 7, 5}, read_stop::end_of_file, 1, ""},
        {"4294967295\n", {4'294'967'295U}, read_stop::end_of_file, 1, ""},
        {"5\nabc\n4\n", {5}, read_stop::bad_token, 2, "abc"},
        {"7.5 9", {7}, read_stop::bad_token, 1, ".5"},
        {"12abc 3", {12}, read_stop::bad_token, 1, "abc"},
        {"5+3 x", {5, 3}, read_stop::bad_token, 1, "x"},
        {"1\n\n-4 8", {1}, read_stop::bad_token, 3, "-4"},
        {"4294967296", {}, read_stop::bad_token, 1, "4294967296"},
        {"1 +99999999999x 2", {1}, read_stop::bad_token, 1, "+99999999999x"},
        {zeros + "4294967296", {}, read_stop::bad_token, 1, zeros.substr(0, 33)},
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
            const reading r = read_text(c.text, buffer_size);
            SCOPED_TRACE("buffer " + std::to_string(buffer_size) + ", text \"" + c.text + "\"");
            EXPECT_EQ(r.values, c.values);
            EXPECT_EQ(r.result.stop, c.stop);
            if (c.stop == read_stop::bad_token) {
                EXPECT_EQ(r.result.line, c.line);
                EXPECT_EQ(r.result.token, c.token);
            }
        }
    }
}

TEST(ReadNumbers, GrowsTheListPastItsFirstCapacity) {
    std::string text;
    std::vector<std::uint32_t> expected;
    for (std::uint32_t v = 0; v < 5000; ++v) {
        text += std::to_string(v * 7919U) + '\n';
        expected.push_back(v * 7919U);
    }
    const reading r = read_text(text, 4096, 3);
    EXPECT_EQ(r.result.stop, read_stop::end_of_file);
    EXPECT_EQ(r.values, expected);
}

TEST(ReadNumbers, ReportsAReadErrorWithItsErrno) {
    std::FILE* const dir = std::fopen(".", "r");
    ASSERT_NE(dir, nullptr);
    number_list list;
    ASSERT_TRUE(allocate_number_list(list, 4));
    const read_result result = read_numbers(dir, list);
    std::fclose(dir);
    EXPECT_EQ(result.stop, read_stop::read_error);
    EXPECT_EQ(result.error, EISDIR);
    EXPECT_EQ(list.count, 0U);
    release_number_list(list);
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
