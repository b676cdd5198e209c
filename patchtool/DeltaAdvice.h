#pragma once

// How to make a delta that the decoder refused as unsupported, for the team
// that makes the tools: the xdelta3 options that avoid what it found. The
// decoder says what it found; the tool and its native check add this to it.
#include <string>

#include "VcdiffDecoder.h"

// "; make the delta with xdelta3 ...", or nothing when the delta was not
// refused as unsupported. `sizes` are the ones the delta was decoded with.
std::string RemakeAdvice(const vcdiff::Result& result,
                         const vcdiff::BufferSizes& sizes = vcdiff::BufferSizes());

// The decoder's detail with the advice after it: the detail the team sees.
inline std::string DetailWithAdvice(const vcdiff::Result& result,
                                    const vcdiff::BufferSizes& sizes = vcdiff::BufferSizes()) {
  return result.detail + RemakeAdvice(result, sizes);
}
