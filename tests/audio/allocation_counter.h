// Counts the test program's heap allocations (global operator new is replaced in the .cpp, kept
// in its own file so no call site inlines it).
#pragma once

#include <cstddef>

namespace brindle::testing {

size_t allocation_count();

}  // namespace brindle::testing
