#include "Checksum.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

struct Checksum::State {
  XXH3_state_t* xxh;
};

Checksum::Checksum() : state_(new State{XXH3_createState()}) { XXH3_64bits_reset(state_->xxh); }

Checksum::~Checksum() {
  XXH3_freeState(state_->xxh);
  delete state_;
}

void Checksum::Update(const void* data, size_t size) { XXH3_64bits_update(state_->xxh, data, size); }

uint64_t Checksum::Digest() const { return XXH3_64bits_digest(state_->xxh); }

uint64_t ChecksumOf(const void* data, size_t size) { return XXH3_64bits(data, size); }
