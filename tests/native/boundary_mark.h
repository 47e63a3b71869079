// Shared by the stand-in wipe of _secure_unwiped and by _stack_probe: instead of
// wiping, the stand-in leaves this word and the depth it was asked for just
// below its return address, so the probe can find where the boundary was.
#pragma once

#include <cstdint>

inline constexpr std::uint64_t BOUNDARY_MARK = 0x5EC0DEB0DA5EC0DEULL;
