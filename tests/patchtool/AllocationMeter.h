#pragma once

// Counts the bytes live through operator new in this test program (its
// replacement is in AllocationMeter.cpp), so that a test can hold the decoder
// to its memory bound whether or not the pages it asks for are ever touched.
#include <cstddef>

namespace allocationmeter {

size_t Live();
// The most live at once since the last ResetPeak().
size_t Peak();
void ResetPeak();
// From now on, allocations of more than `bytes` fail (new throws, new
// (std::nothrow) gives null), as on a machine out of memory; SIZE_MAX ends it.
void FailAbove(size_t bytes);

}  // namespace allocationmeter
