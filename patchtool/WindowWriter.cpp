#include "WindowWriter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace {

constexpr size_t kZeroBlock = 64u << 10;

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

WindowWriter::WindowWriter(HANDLE file, size_t bufferSize, size_t handOverAt, uint64_t flushEvery)
    : file_(file),
      bufferSize_(bufferSize),
      handOverAt_(std::max<size_t>(1, std::min(handOverAt, bufferSize))),
      flushEvery_(std::max<uint64_t>(1, flushEvery)) {
  for (Slot& slot : slots_) free_[freeCount_++] = &slot;
  // Each of these takes memory and may fail for want of it: the mutex, which
  // winpthreads makes on its first lock (taken here, where no thread would
  // die of it), and each thread's state (std::bad_alloc) and system thread
  // (std::system_error). Either way the writer has failed; a thread that did
  // start sees so and ends, and the destructor joins it.
  try {
    { std::lock_guard<std::mutex> lock(mutex_); }
    writer_ = std::thread(&WindowWriter::WriterLoop, this);
    flusher_ = std::thread(&WindowWriter::FlusherLoop, this);
  } catch (const std::bad_alloc&) {
    StartFailed();
  } catch (const std::system_error&) {
    StartFailed();
  }
}

// Until the writer thread runs, the constructor is alone, and the mutex may be
// the very thing that could not be had.
void WindowWriter::StartFailed() {
  if (writer_.joinable()) {
    std::lock_guard<std::mutex> lock(mutex_);
    Fail(ERROR_NOT_ENOUGH_MEMORY);
  } else {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

WindowWriter::~WindowWriter() { Stop(); }

DWORD WindowWriter::Error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

size_t WindowWriter::BuffersMade() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return BuffersMadeLocked();
}

size_t WindowWriter::BuffersMadeLocked() const {
  return static_cast<size_t>(
      std::count_if(std::begin(slots_), std::end(slots_),
                    [](const Slot& slot) { return slot.memory != nullptr; }));
}

uint64_t WindowWriter::Flushes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flushes_;
}

uint8_t* WindowWriter::Buffer(size_t size) {
  if (size > bufferSize_) return nullptr;
  std::unique_lock<std::mutex> lock(mutex_);
  if (failed_) return nullptr;
  if (filling_ && bufferSize_ - filling_->used >= size)
    return filling_->memory.get() + filling_->used;
  if (filling_) HandOver();
  filling_ = FreeSlot(lock);
  return filling_ ? filling_->memory.get() : nullptr;
}

bool WindowWriter::Take(const uint8_t* data, size_t size) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (failed_) return false;
  // Nothing to take: no buffer is needed for it, and none may be being filled.
  if (size == 0) return true;
  if (filling_ && data == filling_->memory.get() + filling_->used &&
      size <= bufferSize_ - filling_->used) {
    filling_->used += size;
  } else {
    // Bytes built elsewhere: copied in, a buffer at a time.
    while (size > 0) {
      if (!filling_ || filling_->used == bufferSize_) {
        if (filling_) HandOver();
        filling_ = FreeSlot(lock);
        if (!filling_) return false;
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
  if (filling_->used >= handOverAt_) HandOver();
  return !failed_;
}

bool WindowWriter::Finish() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (filling_ && filling_->used > 0) {
      HandOver();
    } else if (filling_) {
      Release(filling_);
      filling_ = nullptr;
    }
    changed_.wait(lock, [this] { return failed_ || (queued_ == 0 && !writing_); });
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
  if (failed_) {
    // No writer will take it.
    Release(filling_);
  } else {
    queue_[(queueFront_ + queued_) % kBuffers] = filling_;
    ++queued_;
  }
  filling_ = nullptr;
  changed_.notify_all();
}

void WindowWriter::Release(Slot* slot) {
  slot->used = 0;
  free_[freeCount_++] = slot;
}

// A free buffer for the decoder, preferring one that has its memory; a new one
// is made only when none of those is free. When there is no memory for it, the
// decoder goes on with the buffers that exist and waits for one of them: the
// buffers without memory are dropped for good. nullptr when writing has failed,
// or there is no memory for a single buffer.
WindowWriter::Slot* WindowWriter::FreeSlot(std::unique_lock<std::mutex>& lock) {
  for (;;) {
    changed_.wait(lock, [this] { return failed_ || freeCount_ > 0; });
    if (failed_) return nullptr;
    size_t pick = freeCount_;
    for (size_t i = 0; i < freeCount_ && pick == freeCount_; ++i)
      if (free_[i]->memory) pick = i;
    if (pick == freeCount_) {
      pick = freeCount_ - 1;
      free_[pick]->memory.reset(new (std::nothrow) uint8_t[bufferSize_]);
      if (!free_[pick]->memory) {
        // Every free slot is without memory; any buffer that exists is out
        // with the writer and comes back.
        freeCount_ = 0;
        if (BuffersMadeLocked() == 0) {
          Fail(ERROR_NOT_ENOUGH_MEMORY);
          return nullptr;
        }
        continue;
      }
    }
    Slot* slot = free_[pick];
    free_[pick] = free_[--freeCount_];
    slot->used = 0;
    return slot;
  }
}

void WindowWriter::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || failed_ || queued_ > 0; });
    if (stopping_ || failed_) return;
    Slot* slot = queue_[queueFront_];
    queueFront_ = (queueFront_ + 1) % kBuffers;
    --queued_;
    writing_ = true;
    lock.unlock();
    DWORD error = ERROR_SUCCESS;
    if (!WriteSlot(*slot)) error = LastErrorOr(ERROR_WRITE_FAULT);
    lock.lock();
    writing_ = false;
    Release(slot);
    if (error != ERROR_SUCCESS) Fail(error);
    changed_.notify_all();
  }
}

void WindowWriter::FlusherLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  uint64_t flushed = 0;
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || failed_ || written_ - flushed >= flushEvery_; });
    if (stopping_ || failed_) return;
    const uint64_t mark = written_;
    lock.unlock();
    const bool ok = FlushFileBuffers(file_) != 0;
    const DWORD error = ok ? ERROR_SUCCESS : LastErrorOr(ERROR_WRITE_FAULT);
    lock.lock();
    if (!ok) Fail(error);
    ++flushes_;
    flushed = mark;
  }
}

// Runs of blocks that hold data go out in one call each.
bool WindowWriter::WriteSlot(const Slot& slot) {
  const uint8_t* data = slot.memory.get();
  size_t size = slot.used;
  while (size > 0) {
    size_t zeros = 0;
    while (zeros < size && IsZeroBlock(data + zeros, std::min(kZeroBlock, size - zeros)))
      zeros += kZeroBlock;
    zeros = std::min(zeros, size);
    hole_ += zeros;
    data += zeros;
    size -= zeros;
    size_t run = 0;
    while (run < size && !IsZeroBlock(data + run, std::min(kZeroBlock, size - run)))
      run += kZeroBlock;
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
  for (; queued_ > 0; --queued_) {
    Release(queue_[queueFront_]);
    queueFront_ = (queueFront_ + 1) % kBuffers;
  }
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
