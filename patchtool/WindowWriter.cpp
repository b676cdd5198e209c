#include "WindowWriter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace {

constexpr size_t kZeroBlock = 64u << 10;
constexpr size_t kHandOverAt = 1u << 20;
// Flushing every few dozen megabytes keeps the disk busy from the start without
// a flush for every window; a flush takes everything written before it, so the
// flusher catches up by itself when it falls behind.
constexpr uint64_t kFlushEvery = 64u << 20;

bool IsZeroBlock(const uint8_t* data, size_t size) {
  uint32_t any = 0;
  size_t i = 0;
  // Word by word, 64 bytes between tests, which the compiler unrolls.
  for (; i + 64 <= size; i += 64) {
    for (size_t j = 0; j < 64; j += 4) {
      uint32_t word;
      std::memcpy(&word, data + i + j, 4);
      any |= word;
    }
    if (any != 0) return false;
  }
  for (; i < size; ++i) any |= data[i];
  return any == 0;
}

DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? fallback : error;
}

}  // namespace

WindowWriter::WindowWriter(HANDLE file, size_t bufferSize) : file_(file), bufferSize_(bufferSize) {
  for (Slot& slot : slots_) free_.push_back(&slot);
  try {
    writer_ = std::thread(&WindowWriter::WriterLoop, this);
    flusher_ = std::thread(&WindowWriter::FlusherLoop, this);
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(mutex_);
    Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

WindowWriter::~WindowWriter() { Stop(); }

DWORD WindowWriter::Error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

uint8_t* WindowWriter::Buffer(size_t size) {
  if (size > bufferSize_) return nullptr;
  std::unique_lock<std::mutex> lock(mutex_);
  if (filling_ && bufferSize_ - filling_->used >= size) return filling_->memory.get() + filling_->used;
  if (filling_) HandOver();
  filling_ = FreeSlot(lock);
  return filling_ ? filling_->memory.get() : nullptr;
}

bool WindowWriter::Take(const uint8_t* data, size_t size) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (failed_) return false;
  if (filling_ && data == filling_->memory.get() + filling_->used && size <= bufferSize_ - filling_->used) {
    filling_->used += size;
  } else {
    // Bytes built elsewhere: copied in, a buffer at a time.
    while (size > 0) {
      if (!filling_ || filling_->used == bufferSize_) {
        if (filling_) HandOver();
        filling_ = FreeSlot(lock);
        if (!filling_) {
          Fail(ERROR_NOT_ENOUGH_MEMORY);
          return false;
        }
      }
      const size_t n = std::min(size, bufferSize_ - filling_->used);
      std::memcpy(filling_->memory.get() + filling_->used, data, n);
      filling_->used += n;
      data += n;
      size -= n;
    }
  }
  // Small windows share a buffer, so that they go out in fewer, larger writes;
  // anything larger goes at once, as the writer would otherwise wait for it.
  if (filling_->used >= std::min(kHandOverAt, bufferSize_)) HandOver();
  return !failed_;
}

bool WindowWriter::Finish() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (filling_ && filling_->used > 0) {
      HandOver();
    } else if (filling_) {
      free_.push_back(filling_);
      filling_ = nullptr;
    }
    changed_.wait(lock, [this] { return failed_ || (queue_.empty() && !writing_); });
  }
  Stop();
  std::lock_guard<std::mutex> lock(mutex_);
  if (failed_) return false;
  // The writer has ended, so its hole is ours now.
  if (hole_ > 0 && !(SkipHole() && SetEndOfFile(file_))) {
    Fail(LastErrorOr(ERROR_WRITE_FAULT));
    return false;
  }
  return true;
}

void WindowWriter::HandOver() {
  queue_.push_back(filling_);
  filling_ = nullptr;
  changed_.notify_all();
}

WindowWriter::Slot* WindowWriter::FreeSlot(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return !free_.empty(); });
  Slot* slot = free_.back();
  if (!slot->memory) {
    slot->memory.reset(new (std::nothrow) uint8_t[bufferSize_]);
    if (!slot->memory) return nullptr;
  }
  free_.pop_back();
  slot->used = 0;
  return slot;
}

void WindowWriter::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || failed_ || !queue_.empty(); });
    if (stopping_ || failed_) return;
    Slot* slot = queue_.front();
    queue_.pop_front();
    writing_ = true;
    lock.unlock();
    DWORD error = ERROR_SUCCESS;
    if (!WriteSlot(*slot)) error = LastErrorOr(ERROR_WRITE_FAULT);
    lock.lock();
    writing_ = false;
    slot->used = 0;
    free_.push_back(slot);
    if (error != ERROR_SUCCESS) Fail(error);
    changed_.notify_all();
  }
}

void WindowWriter::FlusherLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  uint64_t flushed = 0;
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || failed_ || written_ - flushed >= kFlushEvery; });
    if (stopping_ || failed_) return;
    const uint64_t mark = written_;
    lock.unlock();
    const bool ok = FlushFileBuffers(file_) != 0;
    const DWORD error = ok ? ERROR_SUCCESS : LastErrorOr(ERROR_WRITE_FAULT);
    lock.lock();
    if (!ok) Fail(error);
    flushed = mark;
  }
}

// Runs of blocks that hold data go out in one call each.
bool WindowWriter::WriteSlot(const Slot& slot) {
  const uint8_t* data = slot.memory.get();
  size_t size = slot.used;
  while (size > 0) {
    size_t zeros = 0;
    while (zeros < size && IsZeroBlock(data + zeros, std::min(kZeroBlock, size - zeros))) zeros += kZeroBlock;
    zeros = std::min(zeros, size);
    hole_ += zeros;
    data += zeros;
    size -= zeros;
    size_t run = 0;
    while (run < size && !IsZeroBlock(data + run, std::min(kZeroBlock, size - run))) run += kZeroBlock;
    run = std::min(run, size);
    if (run > 0 && !(SkipHole() && WriteAll(data, run))) return false;
    data += run;
    size -= run;
  }
  return true;
}

bool WindowWriter::SkipHole() {
  if (hole_ == 0) return true;
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(hole_);
  if (!SetFilePointerEx(file_, distance, nullptr, FILE_CURRENT)) return false;
  hole_ = 0;
  return true;
}

// A short write is carried on, so that a failure comes back with the system's
// own reason (a full disk, say) rather than as a count that fell short.
bool WindowWriter::WriteAll(const uint8_t* data, size_t size) {
  while (size > 0) {
    DWORD done = 0;
    if (!WriteFile(file_, data, static_cast<DWORD>(size), &done, nullptr)) return false;
    if (done == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    data += done;
    size -= done;
    std::lock_guard<std::mutex> lock(mutex_);
    written_ += done;
    changed_.notify_all();
  }
  return true;
}

void WindowWriter::Fail(DWORD error) {
  if (!failed_) error_ = error;
  failed_ = true;
  // What waits to be written never will be; the decoder may want the buffers.
  for (Slot* slot : queue_) {
    slot->used = 0;
    free_.push_back(slot);
  }
  queue_.clear();
  changed_.notify_all();
}

void WindowWriter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (writer_.joinable()) writer_.join();
  if (flusher_.joinable()) flusher_.join();
}
