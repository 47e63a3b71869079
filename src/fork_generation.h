// Which process image this is: a number that changes in every child created by
// fork(). A lock taken before a fork belongs to a thread that does not exist in
// the child, and page locks (mlock) are not inherited; both are recognised by
// the generation they were taken in.
#pragma once

#include <cstdint>

namespace velmora {

// Never 0. The first call registers the fork handler that advances it, so every
// value handed out is advanced by any later fork.
std::uint32_t fork_generation();

}  // namespace velmora
