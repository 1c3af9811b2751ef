#include "command_line.hpp"

#include <primecheck/version.hpp>

#include "report_output.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <getopt.h>
#include <unistd.h>

namespace primecheck {

namespace {

constexpr char USAGE[] =
    "Usage: primecheck [OPTION] [FILE]\n"
    "Name every entry of the list in FILE that is not prime, and end with the total.\n"
    "With no FILE, read ./prime_numbers.txt in the current folder; with FILE -, read\n"
    "standard input.\n"
    "\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "OMP_NUM_THREADS sets how many threads test the list; by default, one a core.\n"
    "Exit status: 0 when every value read was tested and reported, 1 on a failure.\n";

// Answers --help ('h') or --version: the exit status.
int answer(int option) {
    const int written = option == 'h' ? std::fputs(USAGE, stdout)
                                      : std::printf("primecheck %s\n", PRIMECHECK_VERSION);
    const int error = written < 0 || std::fflush(stdout) != 0 ? errno : close_standard_output();
    if (error != 0) {
        report_failure("Failed to write output", std::strerror(error));
        return 1;
    }
    return 0;
}

// Refuses the option that getopt_long stopped at, `given`: the exit status.
int refuse(const char* given) {
    if (std::strncmp(given, "--", 2) != 0) {
        std::fprintf(stderr, "primecheck: invalid option -- '%c'\n", optopt);
    } else if (optopt != 0) {
        std::fprintf(stderr, "primecheck: option '%.*s' doesn't allow an argument\n",
                     static_cast<int>(std::strcspn(given, "=")), given);
    } else {
        std::fprintf(stderr, "primecheck: unrecognized option '%s'\n", given);
    }
    std::fputs("Try 'primecheck --help' for more information.\n", stderr);
    return 1;
}

} // namespace

std::string shown_name(const char* name) {
    std::string shown;
    for (const char* c = name; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        char escaped[8];
        const bool plain = byte >= 0x20 && byte < 0x7f && byte != '\'' && byte != '\\';
        std::snprintf(escaped, sizeof escaped, plain ? "%c" : "\\x%02X", byte);
        shown += escaped;
    }
    return shown;
}

int read_command_line(int argc, char** argv, const char*& operand) {
    static const option options[] = {
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'v'}, {}};
    opterr = 0;
    // The first option decides: it is answered, or refused.
    const int option = getopt_long(argc, argv, "", options, nullptr);
    if (option != -1) {
        return option == 'h' || option == 'v' ? answer(option) : refuse(argv[optind - 1]);
    }
    if (argc - optind > 1) {
        std::fprintf(stderr,
                     "primecheck: extra operand '%s'\n"
                     "Try 'primecheck --help' for more information.\n",
                     shown_name(argv[optind + 1]).c_str());
        return 1;
    }
    operand = optind < argc ? argv[optind] : nullptr;
    return -1;
}

int close_standard_output() {
    if (std::fflush(stdout) != 0) {
        return errno;
    }
    // The descriptor itself, so that the close is the program's own; a close
    // interrupted by a signal has closed it all the same.
    if (close(STDOUT_FILENO) != 0 && errno != EBADF && errno != EINTR) {
        return errno;
    }
    return 0;
}

} // namespace primecheck
