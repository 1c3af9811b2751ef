// Runs the real binary in a temporary folder for each row of one table, and
// checks a long report from many threads line by line.

#include "primality.hpp"
#include "reading_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
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
    // Writes an input too large to keep in the table; replaces `input`.
    std::function<void(std::ostream&)> write_input = nullptr;
    // When set, the run's peak resident memory must stay below it.
    long max_rss_kib = 0;
    // When set, the run's address space is limited to this much.
    long address_space_kib = 0;
};

constexpr long MIB_IN_KIB = 1024;

// Writes `count` copies of `unit`, a block at a time, without holding them
// all in memory.
std::function<void(std::ostream&)> repeat(std::string unit, std::size_t count) {
    return [unit = std::move(unit), count](std::ostream& out) {
        constexpr std::size_t PER_BLOCK = 1 << 16;
        std::string block;
        for (std::size_t i = 0; i < PER_BLOCK; ++i) {
            block += unit;
        }
        for (std::size_t done = 0; done < count; done += PER_BLOCK) {
            const std::size_t copies = std::min(PER_BLOCK, count - done);
            out.write(block.data(), static_cast<std::streamsize>(copies * unit.size()));
        }
    };
}

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

// How the warning shows a token: printable ASCII as it is, the rest as \xHH.
std::string escaped(const std::string& token) {
    std::string out;
    for (const char ch : token.substr(0, 32)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += ch;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return token.size() > 32 ? out + "..." : out;
}

// The expected run on `text`, from the plain model of the reading rules.
e2e_case modelled(std::string name, std::string text) {
    const modelled_reading r = model_read(text);
    std::vector<std::uint32_t> non_primes;
    std::copy_if(r.values.begin(), r.values.end(), std::back_inserter(non_primes),
                 [](std::uint32_t v) { return is_prime(v) == 0; });
    const std::string err = r.stopped ? stopped(static_cast<int>(r.line), escaped(r.token),
                                                static_cast<int>(r.values.size()))
                                      : "";
    return {std::move(name), std::move(text), 2, report(non_primes), err, 0};
}

std::string garbage(std::size_t size) {
    std::mt19937 random(20261208);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&random] { return static_cast<char>(random()); });
    return bytes;
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
        modelled("BinaryGarbage", garbage(std::size_t{1} << 20)),
        modelled("DigitsThenGarbage", "12 " + garbage(std::size_t{1} << 16)),
        {"NulBytes", std::string("3 \0\0\0 5", 7), 1, no_output, stopped(1, "\\x00\\x00\\x00", 1),
         0},
        {"FiftyMegabytesOfDigits", "", 2, no_output, stopped(1, std::string(32, '7') + "...", 0), 0,
         input_kind::file, output_kind::file, repeat("7", 50'000'000), 32 * MIB_IN_KIB},
        {"HundredMegabytesOfWhiteSpace", "", 2, no_output, "", 0, input_kind::file,
         output_kind::file, repeat(" \t\r\n", 25'000'000), 32 * MIB_IN_KIB},
        // The program itself needs about 16 MiB of address space; the list
        // for ten million values needs 40 MB more.
        {"ListCannotGrow", "", 2, "", "Failed to allocate memory: Cannot allocate memory\n", 1,
         input_kind::file, output_kind::file, repeat("7\n", 10'000'000), 0, 24 * MIB_IN_KIB},
        {"TenMillionSmallValues", "", 2, no_output, "", 0, input_kind::file, output_kind::file,
         repeat("7\n", 10'000'000), (4 * 10'000'000 / 1024) + 32 * MIB_IN_KIB},
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
// NOLINTNEXTLINE(readability-identifier-naming): gtest looks it up by this name
void PrintTo(const e2e_case& c, std::ostream* os) {
    *os << c.name;
}

// NOLINTNEXTLINE(readability-identifier-naming): gtest names suites in CamelCase
class EndToEnd : public testing::TestWithParam<e2e_case> {
  protected:
    // A parent that ignores SIGPIPE would pass that on to the program, which
    // would then see EPIPE instead of ending quietly at `| head`.
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_DFL);
    }
};

struct run_result {
    int exit_status = -1;
    std::string out;
    std::string err;
    long peak_rss_kib = 0;
};

fs::path make_temp_dir() {
    std::string templ = (fs::temp_directory_path() / "primecheck-e2e-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return templ;
}

run_result run(const e2e_case& c, int threads) {
    const fs::path dir = make_temp_dir();
    const fs::path input = dir / "prime_numbers.txt";
    const auto write = [&c](const fs::path& path) {
        std::ofstream file(path, std::ios::binary);
        c.write_input ? c.write_input(file) : void(file << c.input);
    };
    std::string feed;
    switch (c.input_as) {
    case input_kind::file:
        write(input);
        break;
    case input_kind::missing:
        break;
    case input_kind::directory:
        fs::create_directory(input);
        break;
    case input_kind::fifo:
        mkfifo(input.c_str(), 0600);
        write(dir / "feed");
        feed = "cat feed > prime_numbers.txt & ";
        break;
    }
    const char* const redirect[] = {" >out 2>err", " >/dev/full 2>err", " >&- 2>err",
                                    " 2>err | head -n 1 >out"};
    const std::string measure = c.max_rss_kib > 0 ? std::string("'") + MEASURE + "' rss " : "";
    const std::string limit =
        c.address_space_kib > 0 ? "ulimit -v " + std::to_string(c.address_space_kib) + "; " : "";
    const std::string command = "cd '" + dir.string() + "' || exit 99; " + limit + feed +
                                "OMP_NUM_THREADS=" + std::to_string(threads) + " " + measure + "'" +
                                PRIMECHECK_BINARY + "'" + redirect[static_cast<int>(c.output_to)];
    const int status = std::system(command.c_str());
    run_result r;
    r.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp(dir / "out");
    r.err = slurp(dir / "err");
    if (c.max_rss_kib > 0) {
        r.peak_rss_kib = std::stol(slurp(dir / "rss"));
    }
    fs::remove_all(dir);
    return r;
}

// The thread counts to run each row with: its own, or those listed in
// PRIMECHECK_E2E_THREADS (say "1,2,4,8"), as the race-detection build does.
std::vector<int> thread_counts(int own) {
    const char* const listed = std::getenv("PRIMECHECK_E2E_THREADS");
    if (listed == nullptr) {
        return {own};
    }
    std::vector<int> counts;
    std::istringstream in(listed);
    for (std::string item; std::getline(in, item, ',');) {
        counts.push_back(std::stoi(item));
    }
    return counts;
}

TEST_P(EndToEnd, Run) {
    const e2e_case& c = GetParam();
#ifdef PRIMECHECK_SANITIZED
    if (c.address_space_kib > 0) {
        GTEST_SKIP() << "sanitizers reserve far more address space than any limit here";
    }
#endif
    for (const int threads : thread_counts(c.threads)) {
        SCOPED_TRACE("OMP_NUM_THREADS=" + std::to_string(threads));
        const run_result r = run(c, threads);
        EXPECT_EQ(r.exit_status, c.exit_status);
        EXPECT_EQ(r.err, c.expected_stderr);
        if (c.output_to == output_kind::head) {
            // One whole line, from whichever member wrote first.
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
            EXPECT_NE(c.expected_stdout.find(r.out), std::string::npos) << r.out;
        } else if (threads == 1) {
            EXPECT_EQ(r.out, c.expected_stdout);
        } else {
            EXPECT_EQ(sorted_lines(r.out), sorted_lines(c.expected_stdout));
            EXPECT_EQ(last_line(r.out), last_line(c.expected_stdout));
        }
        if (c.max_rss_kib > 0) {
#ifdef PRIMECHECK_SANITIZED
            std::printf("peak memory %ld KiB (not checked: sanitizers use their own)\n",
                        r.peak_rss_kib);
#else
            std::printf("peak memory %ld KiB, limit %ld KiB\n", r.peak_rss_kib, c.max_rss_kib);
            EXPECT_LT(r.peak_rss_kib, c.max_rss_kib);
#endif
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Primecheck, EndToEnd, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<e2e_case>& info) {
                             return info.param.name;
                         });

} // namespace

namespace {

// A million non-prime values, in shuffled order, on many threads: every line
// must come out whole, once, and in its share's index order.
TEST(EndToEndUnderContention, EveryLineWholeOnceAndInShareOrder) {
    constexpr std::uint32_t COUNT = 1'000'000;
    std::vector<std::uint32_t> values(COUNT);
    for (std::uint32_t i = 0; i < COUNT; ++i) {
        values[i] = 4 + 2 * i;
    }
    std::shuffle(values.begin(), values.end(), std::mt19937(7));
    std::unordered_map<std::uint32_t, std::uint32_t> index_of;
    std::string text;
    for (std::uint32_t i = 0; i < COUNT; ++i) {
        index_of[values[i]] = i;
        text += std::to_string(values[i]) + '\n';
    }
    const std::string suffix = " is NOT prime!";
    for (const int threads : {2, 8, 32}) {
        SCOPED_TRACE("OMP_NUM_THREADS=" + std::to_string(threads));
        const run_result r = run({"contention", text, threads, "", "", 0}, threads);
        ASSERT_EQ(r.exit_status, 0);
        ASSERT_EQ(r.err, "");
        std::istringstream lines(r.out);
        std::vector<bool> seen(COUNT, false);
        // The last index reported so far by each member's share.
        std::vector<std::int64_t> last(static_cast<std::size_t>(threads), -1);
        std::uint32_t reported = 0;
        std::string line;
        while (std::getline(lines, line) && reported < COUNT) {
            std::uint32_t value = 0;
            const auto [end, error] =
                std::from_chars(line.data(), line.data() + line.size(), value);
            ASSERT_TRUE(error == std::errc() &&
                        line.compare(end - line.data(), line.npos, suffix) == 0)
                << "garbled: " << line;
            const auto found = index_of.find(value);
            ASSERT_NE(found, index_of.end()) << line;
            const std::uint32_t index = found->second;
            ASSERT_FALSE(seen[index]) << "twice: " << line;
            seen[index] = true;
            std::uint32_t member = 0;
            while (static_share(COUNT, member, static_cast<std::uint32_t>(threads)).end <= index) {
                ++member;
            }
            ASSERT_GT(index, last[member]) << "out of share order: " << line;
            last[member] = index;
            ++reported;
        }
        EXPECT_EQ(reported, COUNT);
        EXPECT_EQ(line, "Total non-prime numbers found: 1000000");
        EXPECT_FALSE(std::getline(lines, line)) << "after the total: " << line;
    }
}

} // namespace
