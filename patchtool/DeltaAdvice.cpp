#include "DeltaAdvice.h"

std::string RemakeAdvice(const vcdiff::Result& result, const vcdiff::BufferSizes& sizes) {
  if (result.status != vcdiff::Status::kUnsupported) return std::string();
  using vcdiff::Field;
  switch (result.field) {
    case Field::kVersion:
    case Field::kHeaderIndicator:
      return "; make the delta with xdelta3 -e -S none";
    case Field::kSecondaryCompressor:
    case Field::kDeltaIndicator:
      return "; make the delta with xdelta3 -S none";
    case Field::kCodeTable:
      return "; make the delta with xdelta3, which uses the default table";
    case Field::kWindowIndicator:
      // VCD_TARGET: xdelta3 copies only from the source when it has one.
      return "; make the delta with xdelta3 -e -S none -s SOURCE";
    case Field::kTargetLength:
      return "; make the delta with xdelta3 -W " + std::to_string(sizes.maxTargetWindow) +
             " or less";
    case Field::kNone:
      break;
  }
  return std::string();
}
