// Takes a room's ringing out of the tone measurements of a symbol grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "symbols.h"

namespace sonicsend::receiver {

// In a reverberant room the tones of earlier symbols still sound when the next one starts, so
// a tone that is off can measure louder than one that is on. Each tone keeps its phase from
// symbol to symbol, so what a window measures is a sum of the room's response to the current
// symbol and to the few before it, the same sum in every window. This learns that response per
// tone from the windows themselves, removes the earlier symbols' share from every window, and
// reads again, a few times over.
//
// Returns levels in which a tone that is on measures about 2 and one that is off about 0, the
// carrier of each window 1 and the other carrier 0; empty when the grid holds no phases or the
// carriers do not show.
std::vector<ToneLevels> readInRoom(const SymbolGrid& grid);

}  // namespace sonicsend::receiver
