#include "Checksum.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

// The state is made with new rather than XXH3_createState's malloc, so that
// no memory for it ends the run as every other allocation does: std::bad_alloc.
struct Checksum::State {
  XXH3_state_t xxh;
};

Checksum::Checksum() : state_(new State) { XXH3_64bits_reset(&state_->xxh); }

Checksum::~Checksum() { delete state_; }

void Checksum::Update(const void* data, size_t size) {
  XXH3_64bits_update(&state_->xxh, data, size);
}

uint64_t Checksum::Digest() const { return XXH3_64bits_digest(&state_->xxh); }

uint64_t ChecksumOf(const void* data, size_t size) { return XXH3_64bits(data, size); }
