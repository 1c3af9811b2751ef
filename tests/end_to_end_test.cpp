// Runs the real binary in a temporary folder for each row of one table, and
// checks a long report from many threads line by line.

#include "oracle.hpp"
#include "reading_model.hpp"

#include <gtest/gtest.h>
#include <primecheck/primality.hpp>
#include <primecheck/version.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
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

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr long MIB_IN_KIB = 1024;
constexpr int SKIP = 77;

struct e2e_case {
    std::string name;
    // Written to prime_numbers.txt `copies` times over; or, where the row has
    // `make_input`, what that makes, only when the row runs.
    std::string input;
    std::size_t copies = 1;
    std::function<std::string()> make_input;
    // Shell commands run in the folder before the program; exit 77 skips
    // the row, for want of what `needs` names.
    std::string setup;
    std::string needs;
    // Shell commands run in the program's own shell just before it: limits
    // and ignored signals, which the program inherits.
    std::string before;
    // Put before the program: a tracer, an emulator.
    std::string runner;
    std::string binary = PRIMECHECK_BINARY;
    std::string redirect = " >out 2>err";
    int threads = 2;
    // When set, the row runs on each of these team sizes, also where
    // PRIMECHECK_E2E_THREADS lists others.
    std::vector<int> team_sizes;
    // Runs on each team size, to meet a race.
    int repeats = 1;
    int status = 0;
    // The expected standard output, compared whole when one thread runs and
    // otherwise line by line in any order, since members reach the critical
    // section in any order; and the expected standard error.
    std::string out;
    std::string err;
    // Standard output need only be a start of the expected one: whole lines
    // from it, never part of one, never the summary line.
    bool prefix_only = false;
    // What the shell writes after the program to the same file: standard
    // output must end in it, and be as above before it.
    std::string trailer;
    // Standard output's file holds this before the run.
    std::string earlier;
    // Standard output is read from a terminal's typescript, as the terminal
    // shows it once carriage returns and erasures are applied.
    bool on_terminal = false;
    // What standard output (a terminal's raw text) must hold on the way, and
    // must not; where `shown_only`, nothing more of it is checked.
    std::string shows;
    std::string lacks;
    bool shown_only = false;
    // The kernel an emulated processor must pick.
    std::string kernel;
    // Skipped under the sanitizers.
    bool plain_build_only = false;
    // When set, the run's peak resident memory must stay below it, or below
    // one thread's run's and this much more.
    long max_rss_kib = 0;
    long max_rss_over_one_thread_kib = 0;
    // When set, the program must die of this signal, as its parent sees it
    // (by way of measure), not merely exit with 128 + its number.
    int killed_by = 0;
    // The values read are distinct composites, each reported, and each
    // static share's lines must come in its index order.
    bool share_order = false;
    // The terminal's width, which every status line drawn must stay within.
    int columns = 0;
    // Another process wrote "other 1", "other 2", ... into the same file,
    // and how many to `wrote`: every one must be there, in order.
    bool other_writer = false;
    // The status line's time left comes down: late in the run it is at most
    // half what it was a fifth to three fifths of the way.
    bool time_left_falls = false;
};

const std::string NO_OUTPUT = "Total non-prime numbers found: 0\n";

// The expected standard output for the values read, by the oracle.
std::string report(const std::vector<std::uint32_t>& values) {
    std::string out;
    std::size_t total = 0;
    for (const std::uint32_t v : values) {
        if (!divides_nothing(v)) {
            out += std::to_string(v) + " is NOT prime!\n";
            ++total;
        }
    }
    return out + "Total non-prime numbers found: " + std::to_string(total) + "\n";
}

// The expected standard output where every value is composite, as built.
std::string every_one_reported(const std::vector<std::uint32_t>& values) {
    std::string out;
    for (const std::uint32_t v : values) {
        out += std::to_string(v) + " is NOT prime!\n";
    }
    return out + "Total non-prime numbers found: " + std::to_string(values.size()) + "\n";
}

std::string repeated(const std::string& text, std::size_t times) {
    std::string all;
    for (std::size_t i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

std::string lines_of(const std::vector<std::uint32_t>& values) {
    std::string text;
    for (const std::uint32_t v : values) {
        text += std::to_string(v) + '\n';
    }
    return text;
}

std::string stopped_at(std::uint64_t line, const std::string& token, int read) {
    return "Stopped reading at line " + std::to_string(line) + ": \"" + token +
           "\" is not an unsigned 32-bit number (numbers read: " + std::to_string(read) + ")\n";
}

std::string stopped(int line, const std::string& token, int read) {
    return stopped_at(static_cast<std::uint64_t>(line), token, read);
}

// How the warning shows a token: printable ASCII as it is, the rest as \xHH.
std::string escaped(const std::string& token) {
    std::string out;
    for (const unsigned char c : token.substr(0, 32)) {
        char shown[8];
        const bool plain = c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
        std::snprintf(shown, sizeof shown, plain ? "%c" : "\\x%02X", c);
        out += shown;
    }
    return token.size() > 32 ? out + "..." : out;
}

// The expected run on `text`: the values and the warning from the plain
// model of the reading rules, the report from the oracle.
e2e_case modelled(std::string name, std::string text, int threads = 2) {
    const modelled_reading r = model_read(text);
    const std::string err = r.stopped ? stopped(static_cast<int>(r.line), escaped(r.token),
                                                static_cast<int>(r.values.size()))
                                      : "";
    return {.name = std::move(name),
            .input = std::move(text),
            .threads = threads,
            .out = report(r.values),
            .err = err};
}

std::string garbage(std::size_t size) {
    std::mt19937 random(20261208);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&random] { return static_cast<char>(random()); });
    return bytes;
}

// Runs `binary` under qemu-user `qemu` (with its options), an older x86-64
// processor or another architecture; on an x86-64 one, exhaustive_check then
// says which kernel is_prime picks there, which must be `kernel`, and checks
// it near 2^32.
e2e_case emulated(const std::string& name, const std::string& qemu, const std::string& binary,
                  const std::vector<std::uint32_t>& values, const std::string& kernel = "") {
    return {.name = "EmulatedCpu_" + name,
            .input = lines_of(values),
            .setup = "command -v " + qemu.substr(0, qemu.find(' ')) + " >/dev/null && [ -x '" +
                     binary + "' ] || exit 77",
            .needs = "qemu-user",
            .runner = qemu,
            .binary = binary,
            .threads = 1,
            .out = report(values),
            .kernel = kernel,
            .plain_build_only = true};
}

// The cross build for `arch` under qemu-`qemu`, with the cross libraries of
// `triplet`.
e2e_case cross_built(const std::string& arch, const std::string& qemu, const std::string& triplet,
                     const std::vector<std::uint32_t>& values) {
    e2e_case c = emulated(arch, "qemu-" + qemu + " -L /usr/" + triplet,
                          PRIMECHECK_CROSS_BUILDS "/build-" + arch + "/primecheck", values);
    c.needs = "qemu-user and the cross builds";
    return c;
}

// Standard output cannot take a byte: the failure and its reason, nothing
// else.
e2e_case unwritable(std::string name, std::string input, std::size_t copies,
                    const std::string& redirect, const std::string& reason) {
    return {.name = std::move(name),
            .input = std::move(input),
            .copies = copies,
            .redirect = " " + redirect + " 2>err",
            .status = 1,
            .err = "Failed to write output: " + reason + "\n"};
}

// Row `c` with a report of 65,504 bytes and then `tail`, into a file that
// can take 65,536: dash counts the limit in blocks of 512 bytes. With
// SIGXFSZ at its default, the program must see EFBIG, not die of the
// signal. Standard error has the failure, then what the row expects.
e2e_case past_file_limit(e2e_case c, const std::string& tail) {
    c.input = repeated("4\n", 4094) + tail;
    c.before += " ulimit -f 128;";
    c.status = 1;
    // Whole lines from the report, unless the row knows better.
    c.prefix_only = c.out.empty();
    c.out = c.out.empty() ? report(model_read(c.input).values) : c.out;
    c.err = "Failed to write output: File too large\n" + c.err;
    c.plain_build_only = true;
    return c;
}

// 4,000,000,002, 4,000,000,004, ...: ten digits, 25-byte report lines.
std::vector<std::uint32_t> even_values(std::size_t count) {
    std::vector<std::uint32_t> evens(count);
    std::generate(evens.begin(), evens.end(), [n = 4'000'000'000U]() mutable { return n += 2; });
    return evens;
}

// A log of `earlier` bytes on a tmpfs of one page, to which the report of
// lines of 25 and 16 bytes in turn is appended: every line that fits in the
// rest of the page goes in, and the output ends there, whole.
e2e_case on_a_full_page(std::size_t earlier) {
    std::vector<std::uint32_t> values(100);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = i % 2 == 0 ? 4'000'000'002U : 4;
    }
    std::string fits = std::string(earlier, 'x');
    for (const std::uint32_t v : values) {
        const std::string line = std::to_string(v) + " is NOT prime!\n";
        if (fits.size() + line.size() > 4096) {
            break;
        }
        fits += line;
    }
    return {.name = "FullPageTakesEveryLineThatFitsAfter" + std::to_string(earlier),
            .input = lines_of(values),
            .setup = "mkdir fs && mount -t tmpfs -o size=4k primecheck fs 2>/dev/null || exit 77; "
                     "head -c " +
                     std::to_string(earlier) + " /dev/zero | tr '\\0' x >fs/out",
            .needs = "root",
            .redirect = " >>fs/out 2>err; s=$?; cp fs/out out; umount fs; exit $s",
            .team_sizes = {1},
            .status = 1,
            .out = fits,
            .err = "Failed to write output: No space left on device\n"};
}

// Runs the program by way of a shell that notes its pid in `pid`, for a
// job started in `before` to signal it.
const std::string NOTES_PID = "sh -c 'echo $$ >pid; exec \"$0\"'";

// Every row's shell has these, from `row.sh` in its folder, which a shell
// that a row starts (under script or tmux) sources too. A row waits for a
// sign, never for a time: `await CONDITION WHAT` polls until CONDITION
// holds, and after a minute says in `waited` what it waited for, which
// fails the row. The signs are the program's own state, read from /proc by
// its pid, `p`: it runs (not the shell before it); it has read its list to
// the end and closed it, so it tests (the list must be longer than what the
// loader reads of libraries first); every one of its threads sleeps in a
// call (a write to a full pipe, or a wait for the lock of a member that
// makes one); no signal waits for it to take it; and it is gone (a zombie
// that its parent has not reaped yet is gone).
const std::string ROW_SHELL = R"sh(
await() {
    i=0
    until eval "$1"; do
        i=$((i + 1))
        if [ $i -ge 6000 ]; then echo "waited a minute for $2" >>waited; return 1; fi
        sleep 0.01
    done
}
running() { p=$(cat pid 2>/dev/null) && grep -q '^primecheck' /proc/$p/comm 2>/dev/null; }
list_open() { running && ls -l /proc/$p/fd 2>/dev/null | grep -q prime_numbers; }
list_read() {
    running && ! list_open &&
        [ "$(sed -n 's/^rchar: //p' /proc/$p/io 2>/dev/null)" -ge "$(stat -L -c %s prime_numbers.txt)" ] 2>/dev/null
}
asleep() { running && ! sed 's/.*) //' /proc/$p/task/*/stat 2>/dev/null | cut -c1 | grep -qv S; }
gone() { ! kill -0 "$p" 2>/dev/null || grep -q '^State:[[:space:]]*Z' /proc/$p/status 2>/dev/null; }
settled() { gone || grep -q '^ShdPnd:[[:space:]]*0*$' /proc/$p/status 2>/dev/null; }
)sh";

// Sends the signals once `sign` holds, each once the one before it is taken
// (none is pending: two pending at once would be taken lowest first), runs
// `then`, and waits for the program's end, which a minute later it forces.
std::string signal_when(const std::string& sign, const std::string& what,
                        const std::vector<std::string>& signals, const std::string& then = "") {
    std::string kills;
    for (const std::string& signal : signals) {
        kills += " && kill -";
        kills += signal;
        kills += " $p && await settled 'SIG";
        kills += signal;
        kills += " taken'";
    }
    return "{ await " + sign + " '" + what + "'" + kills + (then.empty() ? "" : " && " + then) +
           " && { await gone 'the end after the signal' || kill -KILL $p; }; } & ";
}

// Blocked in a write to a pipe whose reader never reads, the program gets
// `first` and then `second`: the write can never end, so the second signal,
// whichever it is, ends the program at once.
e2e_case second_signal(const std::string& first, const std::string& second, int number) {
    return {.name = "Sig" + second + "AfterSig" + first + "EndsAWriteThatWaits",
            .input = lines_of(even_values(100'000)),
            .before = "ulimit -c 0; " +
                      signal_when("asleep", "a write waiting on a full pipe", {first, second}) +
                      "{",
            .runner = NOTES_PID,
            .redirect = " 2>err; echo $? >status; } | await '[ -s status ]' 'the end'; "
                        "exit \"$(cat status)\"",
            .team_sizes = {1, 2},
            .status = 128 + number,
            .killed_by = number};
}

// `signals` come while a write to a regular file is half done, held so by
// the shim: none of them cuts it. The program dies of the last of them once
// that write has returned, and the file ends with a whole line.
e2e_case during_a_file_write(const std::vector<std::string>& signals, int number) {
    std::string name;
    for (const std::string& signal : signals) {
        name += "Sig" + signal;
    }
    return {.name = name + "DuringAWriteToAFileCutNoLine",
            .input = lines_of(even_values(100'000)),
            .before = "ulimit -c 0; " + signal_when("'running && [ -e mid-write ]'",
                                                    "the write half done", signals, "touch go"),
            .runner = std::string("env LD_PRELOAD='") + WRITE_SHIM +
                      "' PRIMECHECK_SHIM=half-write " + NOTES_PID,
            .redirect = " >out 2>err; s=$?; wait; exit $s",
            // Another member takes the signals while the writer holds them.
            .team_sizes = {2},
            .status = 128 + number,
            .out = report(even_values(100'000)),
            .prefix_only = true,
            .plain_build_only = true,
            .killed_by = number};
}

// Stopped by `signal` (number `number`) while it writes the lines of 100,000
// ten-digit even values, 25 bytes each, into a pipe that a slow reader
// drains a page at a time, and tests 6,000,000 primes after them: the write
// under way is then partly done, and must go on to a line end rather than
// be cut or sent again. Nothing follows it, the program dies of the signal
// itself, untested primes left, and the reader gets whole lines.
e2e_case interrupted(const std::string& signal, int number) {
    const std::vector<std::uint32_t> evens = even_values(100'000);
    return {.name = "StoppedBy" + signal,
            .input = lines_of(evens),
            .setup = "yes 4294967291 | head -n 6000000 >>prime_numbers.txt",
            .before = signal_when("'running && [ -s out ]'", "the first report byte",
                                  {signal.substr(3)}) +
                      "{",
            .runner = NOTES_PID,
            .redirect = " 2>err; echo $? >status; } | perl -e 'while (sysread(STDIN, $b, 4096)) "
                        "{ syswrite(STDOUT, $b); select(undef, undef, undef, 0.01) }' >out; wait; "
                        "exit \"$(cat status)\"",
            .team_sizes = {2},
            .repeats = 3,
            .status = 128 + number,
            .out = report(evens),
            .prefix_only = true,
            .killed_by = number};
}

// primecheck fills a log up to a file size limit drawn between 20,000 and
// 400,000 bytes, or fills a 64 KiB tmpfs, on 2 threads, while another
// process, already under way, writes a numbered line into the same log
// every 100 to 200 µs: by `>>` of its own, or through the open file they
// share (`>` or `<>`).
// Forty times over, every line of the other process's stays, and none of
// ours is left cut; and five times over with each of our writes held 2 ms
// by strace, between our look at where it begins and the write, while the
// other process writes some twenty lines. A writer whose first line fails
// fails the row at once.
e2e_case beside_another_writer(const std::string& how, bool on_tmpfs, bool held_open = false) {
    const std::string log = on_tmpfs ? "fs/out" : "out";
    const bool shared = how != ">>";
    const std::string writer =
        "perl -MTime::HiRes=usleep -e '$| = 1; while (-e \"running\") { last unless print "
        "\"other \", $n + 1, \"\\n\"; ++$n; usleep(100 + rand 100) } open my $f, \">\", "
        "\"wrote\"; print $f $n + 0'";
    const std::vector<std::uint32_t> evens = even_values(30'000);
    return {
        .name = std::string("AnotherWritersLinesStay") + (shared ? "InAShared" : "InAnAppended") +
                (how == "1<>" ? "ReadWriteLog" : "Log") + (on_tmpfs ? "OnAFullDisk" : "") +
                (held_open ? "WithTheWindowHeldOpen" : ""),
        .input = lines_of(evens),
        .setup = on_tmpfs    ? "mkdir fs && mount -t tmpfs -o size=64k primecheck fs 2>/dev/null "
                               "|| exit 77"
                 : held_open ? "strace -f -qq -o /dev/null true 2>/dev/null || exit 77"
                             : "",
        .needs = on_tmpfs    ? "root"
                 : held_open ? "strace"
                             : "",
        .before =
            "touch running; { " + writer + (shared ? "" : " >>" + log) + " & w=$!; await '[ -s " +
            log + " ] || ! kill -0 $w' \"the other writer's first line\"; [ -s " + log +
            " ] || { echo 'the other writer ended before its first line' >>waited; rm running; }; ",
        .runner = std::string(on_tmpfs ? "" : "prlimit --fsize=$(shuf -i 20000-400000 -n 1)") +
                  (held_open ? " strace -f -qq -o /dev/null -e trace=write "
                               "-e inject=write:delay_enter=2000"
                             : ""),
        .redirect = (shared ? "" : " >>" + log) + " 2>err; echo $? >status; rm running; wait; }" +
                    (shared ? " " + how + log : "") +
                    (on_tmpfs ? "; cp fs/out out; umount fs" : "") + "; exit \"$(cat status)\"",
        .team_sizes = {2},
        .repeats = held_open ? 5 : 40,
        .status = 1,
        .out = report(evens),
        .err = on_tmpfs ? "Failed to write output: No space left on device\n"
                        : "Failed to write output: File too large\n",
        .prefix_only = true,
        .plain_build_only = true,
        .other_writer = true};
}

// The mixed list moved to lists/p.txt, and the program run by `runner`
// (which may first need a tool) with the list named by `redirect`.
e2e_case named_list(std::string name, const std::string& runner, const std::string& redirect) {
    e2e_case c = modelled(std::move(name), "2 3 4 9 1 0 25\n");
    const std::size_t needs_tool = runner.find("; ");
    c.setup = "mkdir lists && mv prime_numbers.txt lists/p.txt" +
              (needs_tool == std::string::npos ? "" : "; " + runner.substr(0, needs_tool));
    c.needs = needs_tool == std::string::npos ? "" : "script (bsdutils)";
    c.runner = needs_tool == std::string::npos ? runner : runner.substr(needs_tool + 2);
    c.redirect = redirect;
    return c;
}

// The program given `arguments`, which it must refuse with `message`,
// reading nothing.
e2e_case refused(std::string name, const std::string& arguments, const std::string& message) {
    return {.name = std::move(name),
            .input = "4\n",
            .redirect = " " + arguments + " >out 2>err",
            .status = 1,
            .err = "primecheck: " + message + "\nTry 'primecheck --help' for more information.\n"};
}

// Stopped by SIGTERM while reading the FIFO that `writer` (which may be
// none) feeds, once `sign` holds: dead of it, having written nothing.
e2e_case stopped_reading(std::string name, const std::string& writer, const std::string& sign) {
    return {.name = std::move(name),
            .setup = "rm prime_numbers.txt && mkfifo prime_numbers.txt",
            .before = writer + signal_when(sign, "the program at the FIFO", {"TERM"}),
            .runner = NOTES_PID,
            .redirect =
                " >out 2>err; s=$?; kill $(cat writer 2>/dev/null) 2>/dev/null; wait; exit $s",
            .status = 128 + SIGTERM,
            .killed_by = SIGTERM};
}

// The test build that draws at once, under a terminal, run as `before` and
// `after` say, where it must draw nothing at all.
e2e_case not_drawn(std::string name, const std::string& before, const std::string& after) {
    return {.name = std::move(name),
            .input = lines_of(even_values(100'000)),
            .setup = "command -v script >/dev/null || exit 77",
            .needs = "script (bsdutils)",
            .runner = "script -qefc \"" + before,
            .binary = STATUS_NOW_BINARY,
            .redirect = after + "\" /dev/null >out 2>err",
            .on_terminal = true,
            .lacks = "%",
            .shown_only = true};
}

// A tmux server of the row's own, in its folder, with a pane that `run`
// starts `width` columns wide; it keeps its history and a pane whose program
// has ended.
const std::string TMUX_SETUP =
    "command -v tmux >/dev/null || exit 77; "
    "printf 'set -g history-limit 500000\\nset -g remain-on-exit on\\n' >tmux.conf";
const std::string IN_TMUX =
    "export TMUX_TMPDIR=\"$PWD\"; tmux -f tmux.conf new-session -d -x 100 -y 50 ";

// The test build, drawing after every run, in a tmux pane of 50 rows that
// fill first, so that it draws on the last one, narrows from 100 columns to
// 40, 30 and 12 once the test has begun and is then resized sixty times,
// each time once a status line shows; then it is stopped. tmux reflows the pane at each step, a
// drawn line onto several rows. No status text is left in the pane or its
// history: among the report lines on the same terminal (`inside` empty, and
// the pane holds a start of the report), nor above the prompt with the
// report in a file (`inside` ">report", and the pane holds nothing else).
e2e_case narrowed_in_tmux(std::string name, const std::string& inside) {
    return {.name = std::move(name),
            .input = "4294967295\n" + repeated("4294967291\n", 255),
            .copies = 30'000,
            .setup = TMUX_SETUP,
            .needs = "tmux",
            .runner = IN_TMUX + "sh -c 'seq 50; echo $$ >pid; exec \"$0\" " + inside + "'",
            .binary = STATUS_NOW_BINARY,
            .redirect =
                "; drawn() { running && tmux capture-pane -p | grep -q \"$1\"; }; "
                "await 'drawn tested' 'a status line of the test'; "
                "for w in 40 30 12 $(seq 13 72); do "
                "tmux resize-window -x $w -y 50 && await 'drawn %' \"a line at $w columns\" "
                "|| break; done; kill -TERM $p; await gone 'the end'; "
                "tmux capture-pane -p -J -S - -E - | grep -v -e '^[0-9]*$' "
                "-e '^Pane is dead' >out; tmux kill-server",
            .team_sizes = {1},
            .out = inside.empty() ? report(std::vector<std::uint32_t>(30'000, 4'294'967'295U)) : "",
            .prefix_only = inside.empty()};
}

// Distinct semiprimes p * q, p <= q, ascending: `count` of them, from the
// least prime factor `least` on.
std::vector<std::uint32_t> semiprimes(std::uint32_t least, std::size_t count) {
    const std::vector<bool> prime = sieve(1U << 20);
    std::vector<std::uint32_t> values;
    for (std::uint64_t p = least; values.size() < count; ++p) {
        for (std::uint64_t q = p;
             prime[p] && p * q < (std::uint64_t{1} << 32) && values.size() < count; ++q) {
            if (prime[q]) {
                values.push_back(static_cast<std::uint32_t>(p * q));
            }
        }
    }
    std::sort(values.begin(), values.end());
    return values;
}

// On a team of `cheap` + `costly` threads, the first `cheap` shares hold
// semiprimes whose least factor is near 8,000, the others ones whose least
// factor is 30,000 or more, which cost several times as much: members done
// with their own shares must help the costly ones from their far ends, and
// every share's lines must still come out in its order. With many costly
// shares, each one's end is another chance for its owner to finish last.
e2e_case helped(std::uint32_t cheap, std::uint32_t costly) {
    return {.name = "HelpedSharesKeepTheirOrderOn" + std::to_string(cheap + costly),
            .make_input =
                [cheap, costly] {
                    const std::size_t share = costly == 1 ? 200'000 : 100'000;
                    std::vector<std::uint32_t> values = semiprimes(8'000, share * cheap);
                    const std::vector<std::uint32_t> dear =
                        semiprimes(costly == 1 ? 60'000 : 30'000, share * costly);
                    values.insert(values.end(), dear.begin(), dear.end());
                    return lines_of(values);
                },
            .team_sizes = {static_cast<int>(cheap + costly)},
            .repeats = 3,
            .share_order = true};
}

// The rows of `mixed`, but the runtime forms a smaller team than it says
// it will: the shares must be cut again for the team it formed.
e2e_case fewer_members(std::string name, const std::string& before, int threads) {
    e2e_case c = modelled(std::move(name), "2 3 4 9 1 0 25\n");
    c.before = before;
    c.team_sizes = {threads};
    return c;
}

std::vector<e2e_case> cases() {
    const std::string mixed = "2 3 4 9 1 0 25\n";
    // More values than the list first has room for, all of them even; and
    // about a megabyte for a FIFO, which gives it in short reads.
    std::string evens;
    for (std::uint32_t i = 0; i < 150'000; ++i) {
        evens += std::to_string(4 + 2 * i) + '\n';
    }
    const std::string fed = repeated(mixed, 70'000);
    // Then a run of its own, as the sweep cuts runs from the list's start,
    // whose composites' tests meet their limits at the edges of the groups.
    std::vector<std::uint32_t> hard_and_random = HARD_CASES;
    std::mt19937 random(8);
    std::generate_n(std::back_inserter(hard_and_random), 3072 - HARD_CASES.size(),
                    [&random] { return random(); });
    const std::vector<std::uint32_t> edges = limits_at_group_edges();
    hard_and_random.insert(hard_and_random.end(), edges.begin(), edges.end());
    const std::string no_space = "Failed to write output: No space left on device\n";
    const std::string too_large = "Failed to write output: File too large\n";
    // The report of past_file_limit, and a file longer than its limit.
    const std::string limited = repeated("4\n", 4094) + "1331\n15\n";
    const std::string longer = repeated(std::string(99, 'y') + "\n", 1000);
    // The whole lines of its report that fit the limit.
    const std::string limited_report = report(model_read(limited).values).substr(0, 65'523);
    // A report of 65,516 bytes: a pipe's 16 pages but for 20 bytes.
    const std::string fills_pipe = repeated("4\n", 4082) + repeated("10\n", 12);
    // qemu warns of these Haswell features, which it does not emulate.
    const std::string haswell = "Haswell,-pcid,-x2apic,-tsc-deadline,-hle,-invpcid,-rtm";
    const std::string strace_here = "strace -f -qq -o /dev/null true 2>/dev/null || exit 77";
#ifdef PRIMECHECK_SANITIZED
    const std::string cpu_limit = "ulimit -t 10;";
#else
    const std::string cpu_limit = "ulimit -t 1;";
#endif
    // Row `c` on one thread with its first write to `out` held 1.5 s by
    // strace, after which that write fails at the file size limit. Another
    // process writes `line` into the file by `how` during that hold, once
    // the room for our write is reserved: the file has more blocks.
    const auto write_held = [&](e2e_case c, const std::string& line, const std::string& how) {
        c.before += " b0=$(stat -c %b out); { await '[ \"$(stat -c %b out)\" -gt \"$b0\" ]' "
                    "'the room reserved' && echo '" +
                    line + "' " + how + "; } &";
        c.setup = strace_here + "; " + c.setup;
        c.needs = c.needs.empty() ? "strace" : c.needs + ", and strace";
        c.runner = "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -P \"$PWD/out\" "
                   "-e trace=write -e inject=write:delay_enter=1500000:when=1";
        c.team_sizes = {1};
        c.status = 1;
        c.err = too_large + c.err;
        c.plain_build_only = true;
        return c;
    };
    return {
        {.name = "MissingFile",
         .setup = "rm prime_numbers.txt",
         .status = 1,
         .err = "Failed to open file: No such file or directory\n"},
        modelled("EmptyFile", ""),
        modelled("WhiteSpaceOnly", " \t\r\n\v\f\n"),
        modelled("OneThreadKeepsFileOrder", mixed, 1),
        modelled("TwoThreads", mixed),
        modelled("ThreeThreads", mixed, 3),
        modelled("MoreThreadsThanEntries", mixed, 16),
        modelled("DuplicatesCountTwice", "9\n9\n7\n"),
        modelled("LinesTabsAndCrlfReadAlike", "15\r\n21\t22 7\r\n", 1),
        modelled("StopsAtAWord", "5\nabc\n4\n"),
        modelled("StopsAtADecimalPoint", "7.5 9"),
        modelled("MinusSignIsNotWrapped", "-4 6"),
        modelled("MinusFiveIsNotAPrime", "9 -5", 1),
        modelled("TooLargeIsNotWrapped", "4294967295\n4294967296\n8\n", 1),
        modelled("LongTokenIsCut", "1 " + std::string(40, 'x'), 1),
        modelled("TerminalEscapesAreNeverEchoed", "6\n\x1b]0;pwned\x07\n", 1),
        modelled("ByteOrderMarkEndsTheList",
                 "\xEF\xBB\xBF"
                 "4\n",
                 1),
        modelled("NulBytes", std::string("3 \0\0\0 5", 7), 1),
        modelled("FormFeedAndVerticalTabEndNoLine", "4\f6\v\n8\f\v9 \f\vx\n", 1),
        modelled("BinaryGarbage", garbage(std::size_t{1} << 20)),
        modelled("DigitsThenGarbage", "12 " + garbage(std::size_t{1} << 16)),
        modelled("MoreValuesThanTheFirstAllocation", evens),
        // Ten digits a line, the longest a report line gets, for whole runs.
        modelled("TenDigitNonPrimes", repeated("4294967294\n", 300)),
        {.name = "Directory",
         .setup = "rm prime_numbers.txt && mkdir prime_numbers.txt",
         .status = 1,
         .err = "Failed to read file: Is a directory\n"},
        {.name = "Fifo",
         .input = fed,
         .setup = "mv prime_numbers.txt feed && mkfifo prime_numbers.txt && "
                  "{ cat feed >prime_numbers.txt & }",
         .out = report(model_read(fed).values)},
        unwritable("FullDevice", mixed, 1, ">/dev/full", "No space left on device"),
        unwritable("LongReportToFullDevice", "4\n", 20'000, ">/dev/full",
                   "No space left on device"),
        unwritable("ClosedOutput", "4\n", 20'000, ">&-", "Bad file descriptor"),
        // A file system that reports a failed write only when the file is
        // closed: the output is there, but the run failed.
        {.name = "FailedCloseIsAFailedWrite",
         .input = mixed,
         .runner = std::string("env LD_PRELOAD='") + WRITE_SHIM + "' PRIMECHECK_SHIM=close-fails",
         .threads = 1,
         .status = 1,
         .out = report(model_read(mixed).values),
         .err = "Failed to write output: Input/output error\n",
         .plain_build_only = true},
        // The summary's own write fails, after a report with no line.
        unwritable("SummaryWriteFails", "2 3 5\n", 1, ">/dev/full", "No space left on device"),
        // One write fails and the next ones would succeed: the output must
        // end at the failure, at a line end, without a spliced line or a
        // total, and name the failure's own reason (an I/O error: a full
        // disk is tried again with fewer lines). strace counts each
        // thread's writes to the output file alone, so that on one thread
        // the summary's write would succeed; LeakSanitizer cannot work under
        // it. Many short lines, so that members wait at the critical section
        // when the write fails, over and over.
        {.name = "OneFailedWriteEndsTheOutput",
         .input = "4\n",
         .copies = 100'000,
         .setup = strace_here,
         .needs = "strace",
         .runner = "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -P \"$PWD/out\" "
                   "-e trace=write -e inject=write:error=EIO:when=2",
         .team_sizes = {1, 2, 8},
         .repeats = 2,
         .status = 1,
         .out = report(std::vector<std::uint32_t>(100'000, 4)),
         .err = "Failed to write output: Input/output error\n",
         .prefix_only = true},
        // On a terminal the stream takes a line whole even when its flush
        // fails, so only its error indicator tells. On two threads the first
        // member still tests primes when the second member's write fails,
        // and must then write nothing, although strace counts each thread's
        // writes alone and would let its first one through.
        {.name = "TerminalWriteFailsOnce",
         .input = repeated("4294967291\n", 100'000) + repeated("4\n", 300'000),
         .setup = "command -v script >/dev/null && " + strace_here,
         .needs = "strace",
         .runner = "script -qefc \"ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null "
                   "-P \\$(tty) -e trace=write -e inject=write:error=EIO:when=2",
         .redirect = " 2>err\" /dev/null >terminal; s=$?; tr -d '\\r' <terminal >out; exit $s",
         .team_sizes = {1, 2},
         .status = 1,
         .out = "4 is NOT prime!\n",
         .err = "Failed to write output: Input/output error\n"},
        // A file that can take 65,536 bytes: the summary would straddle the
        // end, and then a report line would. What went out is whole lines.
        past_file_limit({.name = "SummaryIsNeverCut", .team_sizes = {1, 2}}, "10\n10\n10\n"),
        past_file_limit({.name = "CutReportLineIsTakenBack", .team_sizes = {1}}, "1331\n15\n"),
        // Whoever writes next through the same open file, here the shell,
        // goes on right after the last whole line, with no gap.
        past_file_limit({.name = "NextWriterFollowsTheLastWholeLine",
                         .before = "exec 3>out;",
                         .redirect = " >&3 2>err; s=$?; echo after >&3; exit $s",
                         .team_sizes = {1},
                         .trailer = "after\n"},
                        "1331\n15\n"),
        // The cut line goes although the program cannot read the file back:
        // run as nobody where the tests run as root.
        past_file_limit(
            {.name = "WriteOnlyFileLosesItsCutLine",
             .setup = "command -v setpriv >/dev/null || exit 77; : >out; chmod 200 out; "
                      "[ \"$(id -u)\" != 0 ] || chown 65534 out",
             .needs = "setpriv (util-linux)",
             .runner = "$([ \"$(id -u)\" != 0 ] || echo setpriv --reuid=65534 --regid=65534 "
                       "--clear-groups)",
             .redirect = " >out 2>err; s=$?; chmod 600 out; exit $s",
             .team_sizes = {1, 2}},
            "1331\n15\n"),
        // `>>` onto a log whose last line has no end, and to which another
        // process appends while the list is tested, with no line end either;
        // then the first write fails after 10 bytes. Only those are taken
        // back.
        {.name = "AnotherWritersBytesStay",
         .input = repeated("4294967291\n", 600'000) + repeated("4\n", 100),
         .before = "{ await list_read 'the list read' && printf hello >>out; } & ulimit -f 2;",
         .runner = NOTES_PID,
         .redirect = " >>out 2>err; s=$?; wait; exit $s",
         .team_sizes = {1},
         .status = 1,
         .out = std::string(1009, 'x') + "hello",
         .err = too_large,
         .earlier = std::string(1009, 'x'),
         .plain_build_only = true},
        // The same, but the other process appends its line while our write
        // is held up on its way in (by strace), after the room for it was
        // reserved: the line moves our write past the limit, which cuts it.
        // Only what that write itself reports having written, right before
        // the offset it leaves, is ours to take back.
        write_held(
            {.name = "LineAppendedDuringOurWriteStays",
             .input = repeated("4\n", 32),
             .before = "ulimit -f 9;",
             .redirect = " >>out 2>err; s=$?; wait; exit $s",
             .out = std::string(4096, 'x') + "ANOTHER LINE\n" + repeated("4 is NOT prime!\n", 31),
             .earlier = std::string(4096, 'x')},
            "ANOTHER LINE", ">>out"),
        // The same through a shared offset, as `{ primecheck & echo OTHER; }
        // > log` shares it: the line goes in at the offset before our held
        // write, which then goes on after it; and the shell's line after the
        // program follows the last whole line, with no gap. The limit is two
        // blocks, not one: LLVM's OpenMP runtime sizes a 1 KiB file in
        // /dev/shm at start.
        write_held({.name = "LineWrittenThroughTheSameOffsetStays",
                    .input = repeated("4294967295\n", 60),
                    .before = "exec 3>out; ulimit -f 2;",
                    .redirect = " >&3 2>err; s=$?; wait; echo after >&3; exit $s",
                    .out = "ANOTHER LINE, THROUGH THE SAME OFFSET\n" +
                           repeated("4294967295 is NOT prime!\n", 39),
                    .trailer = "after\n"},
                   "ANOTHER LINE, THROUGH THE SAME OFFSET", ">&3"),
        // A file that refuses the cut, being append-only: the output ends
        // with a cut line, and standard error says so.
        write_held({.name = "RefusedTakeBackIsSaid",
                    .input = repeated("4\n", 32),
                    .setup = "chattr +a out 2>/dev/null || exit 77",
                    .needs = "root, on a file system that takes chattr +a",
                    .before = "ulimit -f 9;",
                    .redirect = " >>out 2>err; s=$?; wait; chattr -a out; exit $s",
                    .out = std::string(4096, 'x') + "ANOTHER LINE\n" +
                           repeated("4 is NOT prime!\n", 31) + "4 i",
                    .err = "The output ends with a cut line, not taken back: "
                           "Operation not permitted\n",
                    .earlier = std::string(4096, 'x')},
                   "ANOTHER LINE", ">>out"),
        // The size limit that counts is the soft one, below a hard one
        // without end: the output stops at the last whole line under it, in
        // a file that could not take a cut line back.
        {.name = "SoftFileSizeLimitEndsAnAppendOnlyLogWhole",
         .input = repeated("4000000002\n", 1000),
         .setup = "chattr +a out 2>/dev/null || exit 77",
         .needs = "root, on a file system that takes chattr +a",
         .runner = "prlimit --fsize=10007:unlimited",
         .redirect = " >>out 2>err; s=$?; chattr -a out; exit $s",
         .status = 1,
         .out = repeated("4000000002 is NOT prime!\n", 400),
         .err = too_large,
         .plain_build_only = true},
        beside_another_writer(">>", false),
        beside_another_writer(">", false),
        beside_another_writer("1<>", false),
        beside_another_writer(">>", true),
        beside_another_writer(">", true),
        beside_another_writer("1<>", true),
        beside_another_writer(">>", false, true),
        beside_another_writer(">", false, true),
        beside_another_writer("1<>", false, true),
        // Standard error is the same file, after a report whose reading
        // stopped at a word: every message goes in whole or not at all. The
        // size limit, and the disk, whose blocks the report's lines fill to
        // within less than a line, leave room for neither.
        {.name = "EveryMessageWholeInAFullLog",
         .input = limited + "abc\n",
         .before = "ulimit -f 128;",
         .redirect = " >out 2>&1",
         .team_sizes = {1, 2},
         .status = 1,
         .out = report(model_read(limited).values),
         .prefix_only = true,
         .plain_build_only = true},
        {.name = "EveryMessageWholeOnAFullDisk",
         .input = repeated("4294967294\n", 3000) + "abc\n",
         .setup = "mkdir fs && mount -t tmpfs -o size=64k primecheck fs 2>/dev/null || exit 77",
         .needs = "root",
         .redirect = " >fs/out 2>&1; s=$?; cp fs/out out; umount fs; exit $s",
         .team_sizes = {1, 2},
         .status = 1,
         .out = report(std::vector<std::uint32_t>(3000, 4'294'967'294U)),
         .prefix_only = true},
        // A log that fills all but the end of a one-page tmpfs, appended to
        // by lines of 25 and 16 bytes in turn: every line that fits in that
        // end goes in, also where the write asked for more room than the
        // page has.
        on_a_full_page(4060),
        on_a_full_page(4071),
        on_a_full_page(4080),
        on_a_full_page(4000),
        // A file system that reserves nothing, ext2 with 1 KiB blocks, three
        // of them free: a write whose first page needs four fails whole,
        // and fewer lines are tried, until the blocks are full of whole
        // lines and not one more fits.
        {.name = "FullDiskThatReservesNothingFillsWithWholeLines",
         .input = repeated("4000000002\n", 100'000),
         .setup = "truncate -s 2M image && mkfs.ext2 -q -b 1024 image && mkdir fs && "
                  "mount -o loop image fs 2>/dev/null || exit 77; "
                  "dd if=/dev/zero of=fs/fill bs=1k 2>/dev/null; truncate -s -3K fs/fill",
         .needs = "root, with a loop device",
         .redirect = " >fs/out 2>err; s=$?; cp fs/out out; printf '4000000002 is NOT prime!\\n' "
                     ">>fs/out 2>/dev/null && echo 'room for one more line' >>err; umount fs; "
                     "exit $s",
         .status = 1,
         .out = report(std::vector<std::uint32_t>(100'000, 4'000'000'002U)),
         .err = no_space,
         .prefix_only = true},
        // The last of four shares holds 500,000 primes and then 4,550,000
        // even values: while its owner tests the primes, the other members
        // take the even values from its far end and hold their lines, 113 MB
        // of them. They stop once 64 MiB of lines wait in all, also in the
        // middle of helping, so that four threads take no more memory than
        // one but that and a little, where a cap for each helper took more in
        // every run tried (BENCHMARKS.md).
        {.name = "HeldLinesStayWithinTheirCap",
         .setup = "{ yes 3 | head -n 15150000; yes 4294967291 | head -n 500000; "
                  "seq 4000000000 2 4009099998; } >prime_numbers.txt",
         .redirect = " >/dev/null 2>err",
         .team_sizes = {4},
         .plain_build_only = true,
         .max_rss_over_one_thread_kib = 72 * MIB_IN_KIB},
        // Standard error is the same full file: the failure's own line is
        // written in one go and what the limit cut of it is taken back, so
        // that the next writer's line starts a line of its own.
        {.name = "FailureLineIsNeverCut",
         .input = limited,
         .before = "exec 3>out; ulimit -f 128;",
         .redirect = " >&3 2>&3; s=$?; echo after >&3; exit $s",
         .team_sizes = {1},
         .status = 1,
         .out = report(model_read(limited).values),
         .prefix_only = true,
         .trailer = "after\n",
         .plain_build_only = true},
        // One of the sweep's own writes, not the last, fails mid-line.
        {.name = "SweepsOwnWriteFailsMidLine",
         .input = "10\n",
         .copies = 10'000,
         .before = " ulimit -f 200;",
         .team_sizes = {1, 2},
         .status = 1,
         .out = report(std::vector<std::uint32_t>(10'000, 10)),
         .err = too_large,
         .prefix_only = true,
         .plain_build_only = true},
        // Only the last member has lines, so the failure and its reason are
        // a worker's, which the program must be handed.
        {.name = "WorkersFailedWriteGivesItsReason",
         .input = repeated("3\n", 10'000) + repeated("4\n", 10'000),
         .redirect = " >/dev/full 2>err",
         .team_sizes = {2},
         .status = 1,
         .err = no_space},
        // Stopped once the output holds a megabyte, while lines still go
        // out and a long tail of primes waits: the write under way ends
        // whole, nothing follows it, and the program dies of the signal.
        interrupted("SIGINT", SIGINT),
        interrupted("SIGTERM", SIGTERM),
        interrupted("SIGHUP", SIGHUP),
        second_signal("TERM", "TERM", SIGTERM),
        second_signal("TERM", "INT", SIGINT),
        second_signal("INT", "HUP", SIGHUP),
        second_signal("HUP", "TERM", SIGTERM),
        second_signal("USR1", "QUIT", SIGQUIT),
        during_a_file_write({"TERM", "TERM"}, SIGTERM),
        during_a_file_write({"INT", "HUP"}, SIGHUP),
        during_a_file_write({"QUIT"}, SIGQUIT),
        during_a_file_write({"USR1"}, SIGUSR1),
        // Over a longer file, opened without truncating it: the bytes past
        // the output stay, and the output ends with a whole line of its own.
        past_file_limit({.name = "LongerFileKeepsItsTail",
                         .redirect = " 1<>out 2>err",
                         .team_sizes = {1},
                         .out = limited_report + longer.substr(limited_report.size()),
                         .earlier = longer},
                        "1331\n15\n"),
        // A pipe left non-blocking (by perl, as another program sharing it
        // might) fills up: the report's write fills it exactly, and the
        // summary's own write must find no room at all.
        {.name = "NonBlockingPipeEndsWithoutASummary",
         .input = fills_pipe,
         .runner = "{ perl -MFcntl -e 'fcntl(STDOUT, F_SETFL, O_NONBLOCK); exec @ARGV'",
         .redirect = " 2>err; echo $? >status; } | { await '[ -s status ]' 'the end'; cat >out; }; "
                     "exit \"$(cat status)\"",
         .team_sizes = {1, 2},
         .status = 1,
         .out = report(model_read(fills_pipe).values),
         .err = "Failed to write output: Resource temporarily unavailable\n",
         .prefix_only = true},
        // The same pipe takes 256 bytes of the last write, into the room its
        // last page has, and then no more: a cut line, which a pipe cannot
        // give back, and standard error says why.
        {.name = "NonBlockingPipeKeepsACutLine",
         .input = repeated("10\n", 4096),
         .runner = "{ perl -MFcntl -e 'fcntl(STDOUT, F_SETFL, O_NONBLOCK); exec @ARGV'",
         .redirect = " 2>err; echo $? >status; } | { await '[ -s status ]' 'the end'; cat >out; }; "
                     "exit \"$(cat status)\"",
         .team_sizes = {1, 2},
         .status = 1,
         .out = report(std::vector<std::uint32_t>(4096, 10)).substr(0, 65'536),
         .err = "Failed to write output: Resource temporarily unavailable\nThe output ends with "
                "a cut line, not taken back: not a regular file\n"},
        // On a terminal, a build that draws the status line after every run
        // (and at once) shows it among the report lines, on a row of its own,
        // and the terminal ends with exactly the report and the summary.
        {.name = "StatusLineOnATerminal",
         .input = lines_of(hard_and_random) + repeated("6\n", 2000),
         .setup = "command -v script >/dev/null || exit 77",
         .needs = "script (bsdutils)",
         .runner = "script -qefc \"",
         .binary = STATUS_NOW_BINARY,
         .redirect = "\" /dev/null >out 2>err",
         .team_sizes = {1, 2},
         .out = report(model_read(lines_of(hard_and_random) + repeated("6\n", 2000)).values),
         .on_terminal = true,
         .shows = "values tested"},
        // The real program, its writes to a file held 600 ms each, so that it
        // runs for two seconds on any processor: the status line is drawn a
        // few times a second, never as wide as the terminal's 40 columns
        // (standard output, a file, has no width), and it is gone at the end.
        {.name = "StatusLineFitsANarrowTerminal",
         .input = lines_of(even_values(130'000)),
         .setup = "command -v script >/dev/null && : >report && " + strace_here,
         .needs = "strace",
         .runner = "script -qefc \"stty cols 40; ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o "
                   "/dev/null -P $PWD/report -e trace=write -e inject=write:delay_enter=600000",
         .redirect = " >report\" /dev/null >out 2>err",
         .on_terminal = true,
         .shows = "%",
         .columns = 40},
        // The report on the same terminal, a line every run of 256 entries
        // for seconds, on one thread: the status line goes away for every
        // line and comes back after it, not only when it is next due. Each
        // write is held 2 ms, so that the run outlasts the second before the
        // first drawing on however fast a processor.
        {.name = "StatusLineComesBackAfterReportLines",
         .input = "4294967295\n" + repeated("4294967291\n", 255),
         .copies = 1'000,
         .setup = "command -v script >/dev/null && " + strace_here,
         .needs = "script (bsdutils), strace",
         .runner = "script -qefc \"strace -f -qq -o /dev/null -e trace=write "
                   "-e inject=write:delay_enter=2000 ",
         .redirect = "\" /dev/null >out 2>err",
         .team_sizes = {1},
         .out = repeated("4294967295 is NOT prime!\n", 1'000) +
                "Total non-prime numbers found: 1000\n",
         .on_terminal = true,
         .shows = "%",
         .plain_build_only = true},
        // Standard output on the terminal and standard error to a file: no
        // status line in either.
        {.name = "NoStatusLineWhereStandardErrorIsAFile",
         .input = repeated("6\n", 2000),
         .setup = "command -v script >/dev/null || exit 77",
         .needs = "script (bsdutils)",
         .runner = "script -qefc \"",
         .binary = STATUS_NOW_BINARY,
         .redirect = " 2>err\" /dev/null >out",
         .out = report(std::vector<std::uint32_t>(2000, 6)),
         .on_terminal = true},
        // Standard error on a file or a pipe: no status line at all.
        {.name = "NoStatusLineOffATerminal",
         .input = repeated("6\n", 2000),
         .binary = STATUS_NOW_BINARY,
         .redirect = " >out 2>err",
         .out = report(std::vector<std::uint32_t>(2000, 6))},
        {.name = "NoStatusLineIntoAPipe",
         .input = repeated("6\n", 2000),
         .binary = STATUS_NOW_BINARY,
         .redirect = " 2>&1 >out | cat >err",
         .out = report(std::vector<std::uint32_t>(2000, 6))},
        // The command line: --help and --version answer and exit; anything
        // else, a file name above all, is refused before the list is read.
        {.name = "HelpSaysWhatItReads",
         .input = "4\n",
         .redirect = " --help >out 2>err",
         .shows = "./prime_numbers.txt",
         .lacks = "Total",
         .shown_only = true},
        {.name = "VersionIsTheBuilds",
         .input = "4\n",
         .redirect = " --version >out 2>err",
         .team_sizes = {1},
         .out = std::string("primecheck ") + PRIMECHECK_VERSION + "\n"},
        // The list named on the command line, in another folder; standard
        // input for "-", from a pipe, a file in another folder and a
        // terminal, which is read to Ctrl-D; a second operand refused; and a
        // named file that cannot be opened or read, said with its name.
        named_list("NamedFileInAnotherFolder", "", " lists/p.txt >out 2>err"),
        named_list("StandardInputFromAPipe", "cat lists/p.txt |", " - >out 2>err"),
        named_list("StandardInputFromAFileInAnotherFolder", "", " - <lists/p.txt >out 2>err"),
        named_list("StandardInputFromATerminal",
                   "command -v script >/dev/null || exit 77; { cat lists/p.txt; printf '\\004'; } "
                   "| script -qefc \"",
                   " - >out 2>err\" /dev/null >/dev/null"),
        refused("RefusesASecondFile", "lists/p.txt other", "extra operand 'other'"),
        {.name = "NamedFileMissing",
         .redirect = " lists/p.txt >out 2>err",
         .status = 1,
         .err = "Failed to open file 'lists/p.txt': No such file or directory\n"},
        {.name = "NamedDirectory",
         .setup = "mkdir lists",
         .redirect = " lists >out 2>err",
         .status = 1,
         .err = "Failed to read file 'lists': Is a directory\n"},
        refused("RefusesAnUnknownOption", "--frobnicate", "unrecognized option '--frobnicate'"),
        refused("RefusesAnArgumentToHelp", "--help=all",
                "option '--help' doesn't allow an argument"),
        refused("RefusesAShortOption", "-h", "invalid option -- 'h'"),
        unwritable("VersionToAFullDevice", "4\n", 1, "--version >/dev/full",
                   "No space left on device"),
        unwritable("HelpToAFullDevice", "4\n", 1, "--help >/dev/full", "No space left on device"),
        // Stopped while open waits for a FIFO's writer, and while read waits
        // for more from a writer that stays: the run ends at once, having
        // tested nothing, and the program dies of the signal.
        stopped_reading("StoppedWhileOpenWaitsOnAFifo", "", "running"),
        stopped_reading("StoppedWhileReadWaitsOnAFifo",
                        "{ echo 4; exec sleep 600; } >prime_numbers.txt & echo $! >writer; ",
                        "list_open"),
        // SIGINT once the first 100 lines are handed to the report, which
        // gathers them rather than write so few, while millions of primes
        // after them are tested: those lines go out whole, with no summary,
        // and the program dies of the signal.
        {.name = "StoppedRunKeepsTheLinesFound",
         .input = repeated("4\n", 100),
         .setup = "yes 4294967291 | head -n 4000000 >>prime_numbers.txt",
         .before = signal_when("list_read", "the list read", {"INT"}),
         .runner = NOTES_PID,
         .redirect = " >out 2>err; s=$?; wait; exit $s",
         .team_sizes = {1, 2},
         .status = 128 + SIGINT,
         .out = repeated("4 is NOT prime!\n", 100),
         .plain_build_only = true,
         .killed_by = SIGINT},
        // Where the program does not own the screen, nothing is drawn: its
        // output into a pipe, a terminal that cannot erase a line, and a job
        // in the background (timeout runs it in a process group of its own)
        // of a terminal that stops such jobs when they write: it runs on to
        // its end.
        not_drawn("NoStatusLineIntoAPipeThatEndsEarly", "", " | head -n 1"),
        not_drawn("NoStatusLineOnADumbTerminal", "TERM=dumb ", ""),
        not_drawn("NoStatusLineInTheBackground", "stty tostop; timeout -s KILL 10 ", " >report"),
        // The terminal narrows from 80 to 40 columns mid-run, with the report
        // on the same terminal: every drawing after that fits 40 columns, so
        // that no row holds status text at the end.
        {.name = "StatusLineFollowsANarrowingTerminal",
         .input = "4294967295\n" + repeated("4294967291\n", 255),
         .copies = 4000,
         .setup = "command -v script >/dev/null || exit 77",
         .needs = "script (bsdutils)",
         .runner =
             "script -qefc \". ./row.sh; stty cols 80; printf '\\033]W80\\a'; { await "
             "'grep -q % out' 'a drawing'; stty cols 40 </dev/tty; printf '\\033]W40\\a'; } & ",
         .binary = STATUS_NOW_BINARY,
         .redirect = "; wait\" /dev/null >out 2>err",
         .team_sizes = {1},
         .out =
             repeated("4294967295 is NOT prime!\n", 4000) + "Total non-prime numbers found: 4000\n",
         .on_terminal = true,
         .shows = "%"},
        narrowed_in_tmux("NoStatusRowLeftAmongReportLinesInANarrowedPane", ""),
        narrowed_in_tmux("NoStatusRowLeftAboveThePromptInANarrowedPane", ">report"),
        // Stopped by Ctrl-Z, sent on by fg, and stopped again, in an
        // interactive shell in tmux: the status line is gone from the pane
        // at each stop, the second too.
        {.name = "StatusLineGoneAtEveryCtrlZ",
         .input = repeated("4294967291\n", 256),
         .copies = 30'000,
         .setup = TMUX_SETUP,
         .needs = "tmux",
         .runner = IN_TMUX + "bash --norc --noprofile -i && tmux send-keys -l \"sh -c 'echo "
                             "\\$\\$ >pid; exec \\\"\\$0\\\" >/dev/null' ",
         .binary = STATUS_NOW_BINARY,
         .redirect =
             "\"; tmux send-keys Enter; shown() { tmux capture-pane -p | grep -q tested; }; "
             "stops() { [ \"$(tmux capture-pane -p | grep -c Stopped)\" -ge $1 ]; }; "
             "await 'running && shown' 'a status line' && tmux send-keys C-z && "
             "await 'stops 1' 'the first stop' && tmux send-keys fg Enter && "
             "await shown 'the line after fg' && tmux send-keys C-z && "
             "await 'stops 2' 'the second stop'; tmux capture-pane -p | grep tested >out; "
             "kill -KILL $p; tmux kill-server",
         .team_sizes = {1}},
        // The time left, on a run of a few seconds, comes down as it goes.
        {.name = "TimeLeftComesDown",
         .input = "4294967291\n",
         .copies = 1'000'000,
         .setup = "command -v script >/dev/null || exit 77",
         .needs = "script (bsdutils)",
         .runner = "script -qefc \"",
         .binary = STATUS_NOW_BINARY,
         .redirect = " >/dev/null\" /dev/null >out 2>err",
         .team_sizes = {1},
         .on_terminal = true,
         .shows = "%",
         .shown_only = true,
         .time_left_falls = true},
        // The warning that reading stopped early is the last line of all.
        {.name = "StopWarningComesLast",
         .input = "4\n9\nabc\n15\n",
         .redirect = " >out 2>&1",
         .threads = 1,
         .out = "4 is NOT prime!\n9 is NOT prime!\nTotal non-prime numbers found: 2\n" +
                stopped(3, "abc", 2)},
        {.name = "StopWarningComesAfterTheFailure",
         .input = "4\nabc\n",
         .redirect = " >/dev/full 2>err",
         .status = 1,
         .err = no_space + stopped(2, "abc", 1)},
        // LLVM's runtime says on standard error that it formed the smaller
        // team, unless told not to warn.
        fewer_members("TeamCutByAThreadLimit", "export OMP_THREAD_LIMIT=1 KMP_WARNINGS=false;", 2),
        fewer_members("TeamCutByDynamicAdjustment", "export OMP_DYNAMIC=true;", 16),
        helped(1, 1),
        helped(2, 1),
        helped(1, 7),
        // After a lasting failure testing stops: the costly rest, seconds of
        // processor time, is never tested, and a limit on that time (which a
        // busy machine does not use up, as it does wall time) is not reached.
        {.name = "TestingStopsAfterALastingFailure",
         .input = evens.substr(0, evens.find("40004\n")),
         .setup = "yes 4294967291 | head -n 4000000 >>prime_numbers.txt",
         .before = cpu_limit,
         .redirect = " >/dev/full 2>err",
         .team_sizes = {2},
         .status = 1,
         .err = no_space},
        // A line found early reaches a pipe while the run goes on, and the
        // reader that has it sees the program still running.
        {.name = "LineFoundEarlyReachesAPipeDuringTheRun",
         .input = "4\n",
         .setup = "yes 4294967291 | head -n 6000000 >>prime_numbers.txt",
         .runner = NOTES_PID,
         .redirect = " 2>err | { read -r line; running && ! gone && line=\"$line, while it runs\"; "
                     "echo \"$line\" >out; kill -TERM $p; cat >/dev/null; }",
         .out = "4 is NOT prime!, while it runs\n"},
        // `| head -n 1` on such a list: the program finds the reader gone
        // soon after the first line and dies of SIGPIPE, long before its
        // whole run, which would take more processor time than it has.
        {.name = "HeadEndsTheRunEarly",
         .input = "4\n",
         .setup = "yes 4294967291 | head -n 12000000 >>prime_numbers.txt",
         .before = "ulimit -t 3;",
         .redirect = " 2>err | head -n 1 >out",
         .team_sizes = {1},
         .out = "4 is NOT prime!\n",
         .plain_build_only = true,
         .killed_by = SIGPIPE},
        // head's own status; the program ends quietly on SIGPIPE.
        {.name = "PipeClosedEarly",
         .input = evens,
         .redirect = " 2>err | head -n 1 >out",
         .out = report(model_read(evens).values),
         .prefix_only = true},
        // Memory stays within 4 bytes a value plus 16 MiB.
        {.name = "FiftyMegabytesOfDigits",
         .input = "7",
         .copies = 50'000'000,
         .out = NO_OUTPUT,
         .err = stopped(1, std::string(32, '7') + "...", 0),
         .max_rss_kib = 16 * MIB_IN_KIB},
        // More lines than 32 bits count, through a FIFO, and then a word.
        {.name = "LinePastTwoToTheThirtySecond",
         .setup = "rm prime_numbers.txt && mkfifo prime_numbers.txt",
         .before = "{ yes '' | head -c 4294967296; echo x; } >prime_numbers.txt &",
         .redirect = " >out 2>err; s=$?; wait; exit $s",
         .out = NO_OUTPUT,
         .err = stopped_at(4'294'967'297U, "x", 0),
         .plain_build_only = true},
        {.name = "HundredMegabytesOfWhiteSpace",
         .input = " \t\r\n",
         .copies = 25'000'000,
         .out = NO_OUTPUT,
         .max_rss_kib = 16 * MIB_IN_KIB},
        {.name = "TenMillionSmallValues",
         .input = "7\n",
         .copies = 10'000'000,
         .out = NO_OUTPUT,
         .max_rss_kib = (4 * 10'000'000 / 1024) + 16 * MIB_IN_KIB},
        // The program itself needs about 16 MiB of address space; the list
        // for ten million values needs 40 MB more.
        {.name = "ListCannotGrow",
         .input = "7\n",
         .copies = 10'000'000,
         .before = "ulimit -v " + std::to_string(24 * MIB_IN_KIB) + ";",
         .status = 1,
         .err = "Failed to allocate memory: Cannot allocate memory\n",
         .plain_build_only = true},
        // The first x86-64 (SSE2 alone), one with SSE4.1 but no AVX, and one
        // with AVX2 but not AVX-512, also where a virtual machine hides FMA,
        // each taking the kernel of its widest unit: a binary built for a
        // wider unit than the processor has dies here of SIGILL. Then the
        // cross builds (cmake --workflow --preset <arch>) of the other
        // release architectures: big-endian s390x, 32-bit armhf and i386.
        emulated("qemu64", "qemu-x86_64 -cpu qemu64", PRIMECHECK_BINARY, hard_and_random, "sse2"),
        emulated("Nehalem", "qemu-x86_64 -cpu Nehalem", PRIMECHECK_BINARY, hard_and_random,
                 "sse4.1"),
        emulated("Haswell", "qemu-x86_64 -cpu " + haswell, PRIMECHECK_BINARY, hard_and_random,
                 "avx2"),
        emulated("HaswellWithoutFma", "qemu-x86_64 -cpu " + haswell + ",-fma", PRIMECHECK_BINARY,
                 hard_and_random, "avx2"),
        cross_built("arm64", "aarch64", "aarch64-linux-gnu", hard_and_random),
        cross_built("armhf", "arm", "arm-linux-gnueabihf", hard_and_random),
        cross_built("ppc64el", "ppc64le", "powerpc64le-linux-gnu", hard_and_random),
        cross_built("s390x", "s390x", "s390x-linux-gnu", hard_and_random),
        cross_built("riscv64", "riscv64", "riscv64-linux-gnu", hard_and_random),
        // On one thread, as every emulated row: qemu-i386 hangs any libgomp
        // program that starts a second thread.
        cross_built("i386", "i386", "i686-linux-gnu", hard_and_random),
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
    // would then see EPIPE instead of ending quietly at `| head`; one that
    // ignores SIGXFSZ would hide whether the program ignores it itself.
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_DFL);
        std::signal(SIGXFSZ, SIG_DFL);
    }
};

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What a terminal shows of `raw`: a carriage return goes back to the start
// of the row, ESC [ C moves one column on, ESC [ K and ESC [ J erase from
// the cursor to the row's end (the model has no rows below the cursor's), a
// line feed starts the next row, and
// anything else is written over what the row holds; a byte written past the
// last column, where the width is known, starts the next row, as xterm
// wraps, unless ESC [ ? 7 l turned that off (ESC [ ? 7 h on again): then it
// takes the last column. A row's test writes "ESC ] W <columns> BEL" just
// after it changes the width: from there on rows are that wide.
std::string as_shown(const std::string& raw) {
    std::string screen;
    std::string row;
    std::size_t column = 0;
    std::size_t width = 0;
    bool wraps = true;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw.compare(i, 3, "\x1b]W") == 0) {
            width = std::stoul(raw.substr(i + 3));
            i = raw.find('\a', i);
        } else if (raw.compare(i, 5, "\x1b[?7l") == 0 || raw.compare(i, 5, "\x1b[?7h") == 0) {
            wraps = raw[i + 4] == 'h';
            i += 4;
        } else if (raw[i] == '\r') {
            column = 0;
        } else if (raw[i] == '\n' || (width > 0 && column == width && wraps)) {
            screen += row + '\n';
            row.clear();
            column = 0;
            i -= raw[i] == '\n' ? 0 : 1;
        } else if (raw.compare(i, 3, "\x1b[K") == 0 || raw.compare(i, 3, "\x1b[J") == 0) {
            row.resize(std::min(row.size(), column));
            i += 2;
        } else if (raw.compare(i, 3, "\x1b[C") == 0) {
            column += width == 0 || column + 1 < width ? 1 : 0;
            i += 2;
        } else {
            column -= width > 0 && column == width ? 1 : 0;
            row.resize(std::max(row.size(), column + 1));
            row[column++] = raw[i];
        }
    }
    return screen + row;
}

struct run_result {
    int exit_status = -1;
    std::string out;
    std::string raw;
    std::string err;
    long peak_rss_kib = 0;
    int killed_by = 0;
    double seconds = 0;
    // The lines another process wrote into the same file, where a row has one.
    std::string wrote;
    // What exhaustive_check says of the kernel picked, where the row asks.
    std::string picked;
    // What the row waited for in vain.
    std::string waited;
};

// Runs the row in a fresh folder; false when its setup asks to skip it.
bool run(const e2e_case& c, int threads, run_result& r) {
    const fs::path dir =
        fs::temp_directory_path() / ("primecheck-" + c.name + "." + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directory(dir);
    {
        std::ofstream file(dir / "prime_numbers.txt", std::ios::binary);
        // A block of many copies at a time, without them all in memory.
        const std::size_t per_block = std::max<std::size_t>(1, (1U << 16) / (c.input.size() + 1));
        const std::string block = repeated(c.input, per_block);
        for (std::size_t done = 0; done < c.copies; done += per_block) {
            const std::size_t copies = std::min(per_block, c.copies - done);
            file.write(block.data(), static_cast<std::streamsize>(copies * c.input.size()));
        }
    }
    // Not `cd &&`, so that a row can start a job in the background.
    std::ofstream(dir / "row.sh") << ROW_SHELL << '\n';
    const std::string cd = "cd '" + dir.string() + "' || exit 2; . ./row.sh; ";
    std::ofstream(dir / "out", std::ios::binary) << c.earlier;
    if (!c.setup.empty() && shell(cd + c.setup) == SKIP) {
        fs::remove_all(dir);
        return false;
    }
    const bool measured = c.max_rss_kib > 0 || c.max_rss_over_one_thread_kib > 0 || c.killed_by > 0;
    const std::string measure = measured ? std::string("'") + MEASURE + "' figures " : "";
    const auto start = std::chrono::steady_clock::now();
    // Exported, so that a runner can start a group of commands.
    // A terminal that can erase a line, where a row does not say otherwise.
    r.exit_status =
        shell(cd + "export TERM=xterm OMP_NUM_THREADS=" + std::to_string(threads) + "; " +
              c.before + " " + measure + c.runner + " '" + c.binary + "'" + c.redirect);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.out = slurp(dir / "out");
    r.err = slurp(dir / "err");
    r.wrote = slurp(dir / "wrote");
    r.waited = slurp(dir / "waited");
    r.raw = r.out;
    if (c.on_terminal) {
        r.out = as_shown(r.out);
    }
    if (!c.kernel.empty()) {
        shell(cd + c.runner + " '" + EXHAUSTIVE_CHECK + "' picked 4294950912 4294967296 >picked");
        r.picked = slurp(dir / "picked");
    }
    if (measured) {
        std::sscanf(slurp(dir / "figures").c_str(), "%ld %*s %*s %d", &r.peak_rss_kib,
                    &r.killed_by);
    }
    fs::remove_all(dir);
    return true;
}

// The thread counts to run each row with: its own, or those listed in
// PRIMECHECK_E2E_THREADS (say "1,2,4,8"), as the race-detection build does.
std::vector<int> thread_counts(int own) {
    const char* const listed = std::getenv("PRIMECHECK_E2E_THREADS");
    std::vector<int> counts;
    std::istringstream in(listed == nullptr ? std::to_string(own) : listed);
    for (std::string item; std::getline(in, item, ',');) {
        counts.push_back(std::stoi(item));
    }
    return counts;
}

// Whole lines of the expected output, in any order, and nothing else: never
// part of a line, never the summary line.
void expect_start_of(const std::string& out, const std::string& expected, int threads) {
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.find('\0'), std::string::npos) << "a gap";
    EXPECT_EQ(out.find("Total"), std::string::npos) << "a summary line after a failure";
    EXPECT_EQ(out.back(), '\n') << "a cut line: " << last_line(out);
    if (threads == 1) {
        EXPECT_EQ(expected.compare(0, out.size(), out), 0) << "not a start of the clean output";
        return;
    }
    const std::vector<std::string> got = sorted_lines(out);
    const std::vector<std::string> all = sorted_lines(expected);
    EXPECT_TRUE(std::includes(all.begin(), all.end(), got.begin(), got.end()));
}

// Every line of `out`, the report on `values` (each distinct) from a team
// of `threads`, follows the one before it from the same static share.
void expect_share_order(const std::vector<std::uint32_t>& values, const std::string& out,
                        std::uint32_t threads) {
    const auto count = static_cast<std::uint32_t>(values.size());
    std::unordered_map<std::uint32_t, std::uint32_t> index_of;
    for (std::uint32_t i = 0; i < count; ++i) {
        index_of[values[i]] = i;
    }
    // The last index reported so far from each member's share.
    std::vector<std::int64_t> last(threads, -1);
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line) && line[0] != 'T';) {
        const std::uint32_t index = index_of.at(static_cast<std::uint32_t>(std::stoul(line)));
        std::uint32_t member = 0;
        while (primecheck::static_share(count, member, threads).end <= index) {
            ++member;
        }
        ASSERT_GT(index, last[member]) << "out of share order: " << line;
        last[member] = index;
    }
}

// The status line's drawings in `raw`, a terminal's typescript, each an
// erase of its row and all below, automatic margins off, the text, margins
// on and a carriage return, keep its promises: each stays short of
// `columns` (where set) and shows no share above 100%, and leaves the cursor
// at the line's start, where an erase finds it; where report lines took the
// line away it came back before they next did, and it is gone at the end;
// and where the real program ran for `seconds` (0 for a test build), it was
// drawn anew at most four times a second.
// The seconds left that a status line's text shows ("about 1 min 5 s
// left"), or -1 where it shows none.
int seconds_left(const std::string& text) {
    const std::size_t end = text.find(" left");
    if (end == std::string::npos) {
        return -1;
    }
    const std::size_t begin = text.find_last_of(',', end) + 1;
    std::istringstream parts(text.substr(begin, end - begin));
    int seconds = 0;
    int number = 0;
    for (std::string unit; parts >> unit;) {
        if (std::isdigit(static_cast<unsigned char>(unit[0])) != 0) {
            number = std::stoi(unit);
        } else if (unit != "about") {
            seconds += number * (unit == "h" ? 3600 : unit == "min" ? 60 : 1);
        }
    }
    return seconds;
}

void expect_status_line_kept(const std::string& raw, int columns, double seconds,
                             bool time_left_falls = false) {
    // The most seconds left shown from a fifth to three fifths of the way,
    // and the most from four fifths on.
    int midway = 0;
    int late = 0;
    const std::string erase = "\r\x1b[K\x1b[C\x1b[J\r";
    const std::string text_begins = erase + "\x1b[?7l";
    const std::string text_ends = "\x1b[?7h\r";
    int drawn = 0;
    bool shown = false;
    bool erased = false;
    for (std::size_t at = raw.find(erase); at != std::string::npos; at = raw.find(erase, at + 1)) {
        if (raw.compare(at, text_begins.size(), text_begins) != 0) {
            EXPECT_TRUE(shown) << "taken away for report lines and not drawn again after them";
            shown = false;
            erased = true;
            continue;
        }
        const std::size_t begin = at + text_begins.size();
        const std::size_t end = raw.find(text_ends, begin);
        ASSERT_NE(end, std::string::npos) << "a drawing that does not end at the line's start";
        const std::string text = raw.substr(begin, end - begin);
        // Counted in columns: a UTF-8 sequence takes one.
        const auto width = std::count_if(text.begin(), text.end(), [](char b) {
            return (static_cast<unsigned char>(b) & 0xC0) != 0x80;
        });
        if (columns > 0) {
            EXPECT_LT(width, columns) << text;
        }
        const std::size_t percent = text.find('%');
        const std::size_t digits = text.find_last_not_of("0123456789", percent - 1) + 1;
        if (percent != std::string::npos && digits < percent) {
            const int share = std::stoi(text.substr(digits, percent - digits));
            EXPECT_LE(share, 100) << text;
            if (share >= 80) {
                late = std::max(late, seconds_left(text));
            } else if (share >= 20 && share <= 60) {
                midway = std::max(midway, seconds_left(text));
            }
        }
        // Drawn back after report lines, or drawn anew.
        drawn += erased ? 0 : 1;
        erased = false;
        shown = true;
    }
    EXPECT_FALSE(shown) << "left on the screen at the end";
    EXPECT_TRUE(drawn > 0 || raw.find("\x1b[?7l") == std::string::npos)
        << "drawn, but not in the form above";
    if (time_left_falls) {
        EXPECT_LE(2 * late, midway) << "the time left does not come down";
    }
    if (seconds > 0) {
        EXPECT_LE(drawn, 4 * seconds + 2) << "drawn too often in " << seconds << " s";
    }
}

TEST_P(EndToEnd, Run) {
    e2e_case c = GetParam();
    if (c.make_input) {
        c.input = c.make_input();
    }
    if (c.share_order) {
        c.out = every_one_reported(model_read(c.input).values);
    }
#ifdef PRIMECHECK_SANITIZED
    if (c.plain_build_only) {
        GTEST_SKIP() << "needs the plain build: the sanitizers reserve far more address space "
                        "than any limit here, do not run under an emulated CPU, and "
                        "ThreadSanitizer dies of SIGBUS under a file size limit";
    }
#endif
#ifdef PRIMECHECK_THREAD_SANITIZED
    if (c.killed_by != 0) {
        GTEST_SKIP() << "ThreadSanitizer holds a signal back until the thread next enters a "
                        "call it intercepts, which a wait in open(2) on a FIFO never does, and "
                        "slows reading so that the signal comes before testing begins";
    }
#endif
    const std::vector<int> team_sizes =
        c.team_sizes.empty() ? thread_counts(c.threads) : c.team_sizes;
    for (int repeat = 0; repeat < c.repeats * static_cast<int>(team_sizes.size()); ++repeat) {
        const int threads = team_sizes[static_cast<std::size_t>(repeat) % team_sizes.size()];
        SCOPED_TRACE("OMP_NUM_THREADS=" + std::to_string(threads));
        run_result r;
        if (!run(c, threads, r)) {
            // CI has every tool, so there a skip is a fault. The summary
            // after the test workflow counts the rows by what they need.
            if (std::getenv("PRIMECHECK_E2E_NO_SKIP") != nullptr) {
                FAIL() << "skipped, but CI has everything; needs " << c.needs;
            }
            GTEST_SKIP() << "skipped, since it needs " << c.needs;
        }
        ASSERT_EQ(r.waited, "");
        EXPECT_EQ(r.exit_status, c.status);
        EXPECT_EQ(r.err, c.err);
        if (c.other_writer) {
            // Its lines, from "other 1" on, all there and in order; what is
            // left must be ours. A full disk may cut the last line that it
            // tried, for want of room it did not reserve.
            const std::string tried = "other " + std::to_string(std::atoi(r.wrote.c_str()) + 1);
            const std::size_t last = r.out.rfind('\n') + 1;
            if (last < r.out.size() && tried.starts_with(r.out.substr(last))) {
                r.out.resize(last);
            }
            std::string ours;
            int next = 1;
            std::istringstream lines(r.out);
            for (std::string line; std::getline(lines, line);) {
                if (line == "other " + std::to_string(next)) {
                    ++next;
                } else {
                    ours += line + (lines.eof() ? "" : "\n");
                }
            }
            EXPECT_EQ(std::to_string(next - 1), r.wrote) << "a line of the other writer's is lost";
            r.out = ours;
        }
        if (!c.trailer.empty()) {
            ASSERT_TRUE(r.out.ends_with(c.trailer)) << last_line(r.out);
            r.out.resize(r.out.size() - c.trailer.size());
        }
        if (c.prefix_only) {
            expect_start_of(r.out, c.out, threads);
        } else if (threads == 1 && !c.shown_only) {
            EXPECT_EQ(r.out, c.out);
        } else if (!c.shown_only) {
            EXPECT_EQ(sorted_lines(r.out), sorted_lines(c.out));
            EXPECT_EQ(last_line(r.out), last_line(c.out));
        }
        EXPECT_TRUE(r.picked.starts_with(c.kernel + (c.kernel.empty() ? "" : ": 0 mismatches")))
            << r.picked;
        EXPECT_NE(r.raw.find(c.shows), std::string::npos) << "does not show " << c.shows;
        EXPECT_TRUE(c.lacks.empty() || r.raw.find(c.lacks) == std::string::npos)
            << "shows " << c.lacks;
        if (c.max_rss_over_one_thread_kib > 0) {
            run_result one;
            ASSERT_TRUE(run(c, 1, one));
            std::printf("peak memory %ld KiB, on one thread %ld KiB\n", r.peak_rss_kib,
                        one.peak_rss_kib);
            EXPECT_LT(r.peak_rss_kib - one.peak_rss_kib, c.max_rss_over_one_thread_kib);
        }
        if (c.max_rss_kib > 0) {
            std::printf("peak memory %ld KiB, limit %ld KiB\n", r.peak_rss_kib, c.max_rss_kib);
#ifndef PRIMECHECK_SANITIZED
            // The sanitizers' own memory is not the program's.
            EXPECT_LT(r.peak_rss_kib, c.max_rss_kib);
#endif
        }
        EXPECT_EQ(r.killed_by, c.killed_by) << "not the death by the signal";
        if (c.share_order) {
            expect_share_order(model_read(c.input).values, r.out,
                               static_cast<std::uint32_t>(threads));
        }
        if (c.on_terminal) {
            expect_status_line_kept(r.raw, c.columns, c.binary == PRIMECHECK_BINARY ? r.seconds : 0,
                                    c.time_left_falls);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Primecheck, EndToEnd, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<e2e_case>& info) {
                             return info.param.name;
                         });

// A million non-prime values, on many threads: every line must come out
// whole, once, and in its share's index order. Entry i holds 4 + 2i.
TEST(EndToEndUnderContention, EveryLineWholeOnceAndInShareOrder) {
    constexpr std::uint32_t COUNT = 1'000'000;
    std::vector<std::uint32_t> values(COUNT);
    std::generate(values.begin(), values.end(), [n = 2U]() mutable { return n += 2; });
    const e2e_case c{.name = "Contention", .input = lines_of(values), .out = report(values)};
    for (const std::uint32_t threads : {2U, 8U, 32U}) {
        SCOPED_TRACE("OMP_NUM_THREADS=" + std::to_string(threads));
        run_result r;
        ASSERT_TRUE(run(c, static_cast<int>(threads), r));
        ASSERT_EQ(r.exit_status, 0);
        ASSERT_EQ(sorted_lines(r.out), sorted_lines(c.out));
        ASSERT_EQ(last_line(r.out), last_line(c.out));
        expect_share_order(values, r.out, threads);
    }
}

// The squares of the odd primes below 2^16, whose tests cost more the
// larger they are: sorted, the last shares cost far more than the first,
// and the members done first test runs of theirs. Ascending, descending
// and shuffled, on teams of 1, 2, 3 and 8: the same lines and total, and
// every share's lines in its own order.
TEST(EndToEndBalancedTeam, EveryShareInOrderWhoeverTestsIt) {
    const std::vector<bool> prime = sieve(1U << 16);
    std::vector<std::uint32_t> ascending;
    for (std::uint32_t p = 3; p < (1U << 16); p += 2) {
        if (prime[p]) {
            ascending.push_back(p * p);
        }
    }
    std::vector<std::uint32_t> shuffled = ascending;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(29));
    const std::vector<std::vector<std::uint32_t>> lists = {
        ascending, {ascending.rbegin(), ascending.rend()}, shuffled};
    for (const std::vector<std::uint32_t>& values : lists) {
        const e2e_case c{.name = "Balanced", .input = lines_of(values), .out = report(values)};
        for (const std::uint32_t threads : {1U, 2U, 3U, 8U}) {
            SCOPED_TRACE("OMP_NUM_THREADS=" + std::to_string(threads) + ", from " +
                         std::to_string(values.front()));
            run_result r;
            ASSERT_TRUE(run(c, static_cast<int>(threads), r));
            ASSERT_EQ(r.exit_status, 0);
            ASSERT_EQ(sorted_lines(r.out), sorted_lines(c.out));
            ASSERT_EQ(last_line(r.out), last_line(c.out));
            expect_share_order(values, r.out, threads);
        }
    }
}

} // namespace
