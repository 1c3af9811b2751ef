// What the program does on a signal, at each stage of a run. Not installed.
#pragma once

namespace primecheck {

// Catches every signal whose default action ends the program, unless it
// was ignored when the program started; and, where the status line may
// show (`status_shows`), Ctrl-Z and a closed pipe, which it goes away for.
void catch_signals(int status_shows);

// The list is whole: from here on the first stop signal keeps what is found.
void begin_testing();

// The stop signal that came while testing, or 0.
int stop_signal_taken();

} // namespace primecheck
