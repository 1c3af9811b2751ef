// Runs the real binary in a temporary folder for each row of one table.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

enum class input_kind { file, missing, directory, fifo };
enum class output_kind { file, dev_full, closed, head };

struct e2e_case {
    std::string name;
    std::string input;
    int threads;
    // Compared line by line when one thread runs; otherwise as a multiset,
    // since members reach the critical section in any order.
    std::string expected_stdout;
    std::string expected_stderr;
    int exit_status;
    input_kind input_as = input_kind::file;
    output_kind output_to = output_kind::file;
};

std::string report(const std::vector<std::uint32_t>& non_primes) {
    std::string out;
    for (const std::uint32_t v : non_primes) {
        out += std::to_string(v) + " is NOT prime!\n";
    }
    return out + "Total non-prime numbers found: " + std::to_string(non_primes.size()) + "\n";
}

std::string stopped(int line, const std::string& token, int read) {
    return "Stopped reading at line " + std::to_string(line) + ": \"" + token +
           "\" is not an unsigned 32-bit number (numbers read: " + std::to_string(read) + ")\n";
}

std::vector<e2e_case> cases() {
    const std::string mixed = "2 3 4 9 1 0 25";
    const std::string mixed_out = report({4, 9, 1, 0, 25});
    // More values than the list first has room for, all of them even.
    std::string evens;
    std::vector<std::uint32_t> evens_out;
    for (std::uint32_t v = 4; evens_out.size() < 150'000; v += 2) {
        evens += std::to_string(v) + (v % 20 == 0 ? "\n" : " ");
        evens_out.push_back(v);
    }
    std::string long_run;
    for (int i = 0; i < 20'000; ++i) {
        long_run += "4\n";
    }
    const std::string no_output = "Total non-prime numbers found: 0\n";
    return {
        {"MissingFile", "", 1, "", "Failed to open file: No such file or directory\n", 1,
         input_kind::missing},
        {"EmptyFile", "", 2, no_output, "", 0},
        {"WhiteSpaceOnly", " \t\r\n\v\f\n", 2, no_output, "", 0},
        {"OneThreadKeepsFileOrder", mixed, 1, mixed_out, "", 0},
        {"TwoThreads", mixed, 2, mixed_out, "", 0},
        {"ThreeThreads", mixed, 3, mixed_out, "", 0},
        {"MoreThreadsThanEntries", mixed, 16, mixed_out, "", 0},
        {"DuplicatesCountTwice", "9\n9\n7\n", 2, report({9, 9}), "", 0},
        {"LinesTabsAndCrlfReadAlike", "15\r\n21\t22 7\r\n", 1, report({15, 21, 22}), "", 0},
        {"StopsAtAWord", "5\nabc\n4\n", 2, no_output, stopped(2, "abc", 1), 0},
        {"StopsAtADecimalPoint", "7.5 9", 2, no_output, stopped(1, ".5", 1), 0},
        {"MinusSignIsNotWrapped", "-4 6", 2, no_output, stopped(1, "-4", 0), 0},
        {"MinusFiveIsNotAPrime", "9 -5", 1, report({9}), stopped(1, "-5", 1), 0},
        {"TooLargeIsNotWrapped", "4294967295\n4294967296\n8\n", 1, report({4'294'967'295U}),
         stopped(2, "4294967296", 1), 0},
        {"LongTokenIsCut", "1 " + std::string(40, 'x'), 1, report({1}),
         stopped(1, std::string(32, 'x') + "...", 1), 0},
        {"TerminalEscapesAreNeverEchoed", "6\n\x1b]0;pwned\x07\n", 1, report({6}),
         stopped(2, "\\x1B]0;pwned\\x07", 1), 0},
        {"ByteOrderMarkEndsTheList",
         "\xEF\xBB\xBF"
         "4\n",
         1, no_output, stopped(1, "\\xEF\\xBB\\xBF4", 0), 0},
        {"MoreValuesThanTheFirstAllocation", evens, 2, report(evens_out), "", 0},
        {"Directory", "", 2, "", "Failed to read file: Is a directory\n", 1, input_kind::directory},
        {"Fifo", mixed, 2, mixed_out, "", 0, input_kind::fifo},
        {"FullDevice", mixed, 2, "", "Failed to write output: No space left on device\n", 1,
         input_kind::file, output_kind::dev_full},
        {"LongReportToFullDevice", long_run, 2, "",
         "Failed to write output: No space left on device\n", 1, input_kind::file,
         output_kind::dev_full},
        {"ClosedOutput", long_run, 2, "", "Failed to write output: Bad file descriptor\n", 1,
         input_kind::file, output_kind::closed},
        // head's own status; the program ends quietly on SIGPIPE.
        {"PipeClosedEarly", evens, 2, report(evens_out), "", 0, input_kind::file,
         output_kind::head},
    };
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string last_line(const std::string& text) {
    const std::size_t start = text.rfind('\n', text.size() < 2 ? 0 : text.size() - 2);
    return start == std::string::npos ? text : text.substr(start + 1);
}

// gtest would otherwise print every row as a dump of its bytes.
void PrintTo(const e2e_case& c, std::ostream* os) {
    *os << c.name;
}

class EndToEnd : public testing::TestWithParam<e2e_case> {
  protected:
    // A parent that ignores SIGPIPE would pass that on to the program, which
    // would then see EPIPE instead of ending quietly at `| head`.
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_DFL);
    }
};

TEST_P(EndToEnd, Run) {
    const e2e_case& c = GetParam();
    std::string templ = (fs::temp_directory_path() / "primecheck-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    const fs::path dir = templ;
    const fs::path input = dir / "prime_numbers.txt";
    std::string feed;
    switch (c.input_as) {
    case input_kind::file:
        std::ofstream(input, std::ios::binary) << c.input;
        break;
    case input_kind::missing:
        break;
    case input_kind::directory:
        fs::create_directory(input);
        break;
    case input_kind::fifo:
        ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
        std::ofstream(dir / "feed", std::ios::binary) << c.input;
        feed = "cat feed > prime_numbers.txt & ";
        break;
    }
    const char* const redirect[] = {" >out 2>err", " >/dev/full 2>err", " >&- 2>err",
                                    " 2>err | head -n 1 >out"};
    const std::string command = "cd '" + dir.string() + "' || exit 99; " + feed +
                                "OMP_NUM_THREADS=" + std::to_string(c.threads) + " '" +
                                PRIMECHECK_BINARY + "'" + redirect[static_cast<int>(c.output_to)];
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << command;
    EXPECT_EQ(WEXITSTATUS(status), c.exit_status);
    const std::string out = slurp(dir / "out");
    EXPECT_EQ(slurp(dir / "err"), c.expected_stderr);
    if (c.output_to == output_kind::head) {
        // One whole line, from whichever member wrote first.
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_NE(c.expected_stdout.find(out), std::string::npos) << out;
    } else if (c.threads == 1) {
        EXPECT_EQ(out, c.expected_stdout);
    } else {
        EXPECT_EQ(sorted_lines(out), sorted_lines(c.expected_stdout));
        EXPECT_EQ(last_line(out), last_line(c.expected_stdout));
    }
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Primecheck, EndToEnd, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<e2e_case>& info) {
                             return info.param.name;
                         });

} // namespace
