// The address caches alone, on the cases RFC 3284 section 5 describes: self
// and here, the near ring of the last four addresses, and the same slots
// picked by an address modulo 768 and one byte.
#include <gtest/gtest.h>

#include <cstdint>

#include "AddressCache.h"

namespace {

using vcdiff::AddressCache;
using Fault = AddressCache::Fault;

uint64_t Decoded(const AddressCache& cache, unsigned mode, uint64_t value, uint64_t here) {
  uint64_t address = 12345;
  EXPECT_EQ(cache.Decode(mode, value, here, address), Fault::kNone) << "mode " << mode;
  return address;
}

TEST(AddressCacheTest, SelfAndHere) {
  AddressCache cache;
  cache.Reset();
  EXPECT_EQ(Decoded(cache, AddressCache::kModeSelf, 70, 100), 70u);
  EXPECT_EQ(Decoded(cache, AddressCache::kModeHere, 30, 100), 70u);
  EXPECT_EQ(Decoded(cache, AddressCache::kModeHere, 100, 100), 0u);
  uint64_t address = 12345;
  EXPECT_EQ(cache.Decode(AddressCache::kModeHere, 101, 100, address), Fault::kBeforeStart);
  EXPECT_EQ(address, 12345u);
}

TEST(AddressCacheTest, NearHoldsTheLastFourInARing) {
  AddressCache cache;
  cache.Reset();
  for (uint64_t a : {10, 20, 30, 40, 50}) cache.Update(a);
  // The fifth address took the first slot again.
  const uint64_t expected[AddressCache::kNearSlots] = {50, 20, 30, 40};
  for (unsigned i = 0; i < AddressCache::kNearSlots; ++i)
    EXPECT_EQ(Decoded(cache, AddressCache::kModeNear + i, 5, 1000), expected[i] + 5)
        << "slot " << i;

  cache.Update(UINT64_MAX - 1);  // into slot 1
  uint64_t address = 12345;
  EXPECT_EQ(cache.Decode(AddressCache::kModeNear + 1, 2, 1000, address), Fault::kNearOverflow);
  EXPECT_EQ(address, 12345u);
  EXPECT_EQ(Decoded(cache, AddressCache::kModeNear + 1, 1, 1000), UINT64_MAX);
}

TEST(AddressCacheTest, SameIsPickedByModeAndByte) {
  AddressCache cache;
  cache.Reset();
  cache.Update(1000);           // 1000 % 768 = 232: first same mode, byte 232
  cache.Update(2 * 768 + 600);  // slot 600: third same mode, byte 600 - 512
  EXPECT_EQ(Decoded(cache, AddressCache::kModeSame, 232, 5000), 1000u);
  EXPECT_EQ(Decoded(cache, AddressCache::kModeSame + 2, 88, 5000), 2u * 768 + 600);
  EXPECT_EQ(Decoded(cache, AddressCache::kModeSame + 1, 232, 5000), 0u);

  cache.Update(232);  // the same slot as 1000: the later address stays
  EXPECT_EQ(Decoded(cache, AddressCache::kModeSame, 232, 5000), 232u);
  EXPECT_FALSE(AddressCache::ReadsInteger(AddressCache::kModeSame));
  EXPECT_TRUE(AddressCache::ReadsInteger(AddressCache::kModeSame - 1));
}

TEST(AddressCacheTest, ResetEmptiesBoth) {
  AddressCache cache;
  cache.Reset();
  for (uint64_t a : {1000, 2000, 3000, 4000}) cache.Update(a);
  cache.Reset();
  for (unsigned i = 0; i < AddressCache::kNearSlots; ++i)
    EXPECT_EQ(Decoded(cache, AddressCache::kModeNear + i, 7, 100), 7u);
  EXPECT_EQ(Decoded(cache, AddressCache::kModeSame, 1000 % 768, 100), 0u);
  // And the ring starts again at its first slot.
  cache.Update(9);
  EXPECT_EQ(Decoded(cache, AddressCache::kModeNear, 0, 100), 9u);
}

}  // namespace
