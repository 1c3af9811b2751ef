// Where the sweep's threads run. Not installed: for the sweep and its tests.
#pragma once

#include <cstdint>

namespace primecheck {

// Called by member `member` (1 or more) of a thread team: when the calling
// thread runs on processor `taken`, moves it to another processor its mask
// allows, the members taking those in turn, and leaves its mask as it was.
// Does nothing where the mask allows no other processor.
void move_off_processor(int taken, std::uint32_t member);

} // namespace primecheck
