// Where the sweep's threads run. Not installed: for the sweep and its tests.
#pragma once

#include <cstdint>

namespace primecheck {

// Called by each member of a thread team as it starts. `first_processor`,
// shared by the team, holds the processor of the thread that formed it
// until member 0 stores where it runs; a worker that finds itself there
// moves off it.
void settle_member(int& first_processor, std::uint32_t member);

// When the calling thread, member `member` (1 or more) of a team, runs on
// processor `taken`, moves it to another processor its mask allows, the
// members taking those in turn, leaves its mask as it was and returns 1.
// Otherwise, and where the mask allows no other processor, returns 0.
int move_off_processor(int taken, std::uint32_t member);

} // namespace primecheck
