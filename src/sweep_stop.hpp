// Asking the sweep to stop from outside it: the program's signal handlers
// do, so that an interrupted run ends with whole lines. The library itself
// installs no handler. Not installed.
#pragma once

namespace primecheck {

// The sweep tests no more and writes no more runs; a write under way ends
// whole. Safe to call from a signal handler.
void request_stop();

// 1 once a stop was requested, else 0.
int stop_requested();

} // namespace primecheck
