// Replaces the global operator new of the test program so that a test can see the largest block
// that a call asked for.
#pragma once

#include <cstddef>

namespace varnet {
void ResetLargestAllocation();
std::size_t LargestAllocation();
}  // namespace varnet
