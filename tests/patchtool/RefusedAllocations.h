#pragma once

// Allocations of this test program refused on demand (the replacements of
// operator new are in RefusedAllocations.cpp), as on a machine out of memory.
#include <cstddef>

namespace refused {

// From now on, only the first `allowed` nothrow allocations of exactly `size`
// bytes succeed (the writer's buffers); a negative `allowed` ends it.
void AllowOfSize(size_t size, long allowed);
// The `nth` throwing allocation from now on throws std::bad_alloc (a thread's
// state, while a writer is being made); 0 ends it. Left() says how many of
// them are still to come before it: 0 once it was refused.
void ThrowAt(long nth);
long Left();

}  // namespace refused
