// The program's command line. Not installed.
#pragma once

#include <string>

namespace primecheck {

// Reads the command line: --help or --version, which it answers, or at most
// one operand, the list's file, which `operand` is left at (nullptr where
// none is given). -1 where the run goes on, else the exit status. Anything
// else is refused, never ignored: an answer about another file than the one
// named would pass for success.
int read_command_line(int argc, char** argv, const char*& operand);

// A file's name as a message shows it: bytes outside printable ASCII, the
// quote and the backslash as \xHH, so that no byte of it reaches a terminal
// raw.
std::string shown_name(const char* name);

// Closes standard output and says what that came to: 0, or errno. A file
// system that reports a failed write only at close (NFS) fails here, as
// gnulib's close_stream tells; a standard output that was closed already is
// no failure.
int close_standard_output();

} // namespace primecheck
