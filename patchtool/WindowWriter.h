#pragma once

// Writes the decoded output to its file on a thread of its own, so that while
// one window goes to disk the decoder builds the next. The decoder builds each
// window straight in one of a few fixed buffers (no copy on the way), and a
// third thread flushes what has been written so far while writing goes on:
// Linux under Wine keeps gigabytes of written data in memory until a flush,
// which would otherwise all go to disk at the end, after the last write. (On
// Windows, calls on one synchronous handle take turns, so there a flush holds
// the writer back while it lasts; the decoder goes on into the free buffers.)
//
// Memory: kBuffers buffers of the window size, whatever the delta says.
// Whole blocks of zeros are skipped over rather than written, as cp --sparse
// does: where the file system keeps holes they cost neither disk nor time, and
// elsewhere the system fills them with zeros itself.
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class WindowWriter {
 public:
  // One buffer being decoded into, one waiting, one being written.
  static constexpr size_t kBuffers = 3;

  // `file` is written from its current position on; `bufferSize` is the
  // largest window the decoder accepts.
  WindowWriter(HANDLE file, size_t bufferSize);
  // Stops at once: what is queued is dropped and the threads are joined.
  ~WindowWriter();
  WindowWriter(const WindowWriter&) = delete;
  WindowWriter& operator=(const WindowWriter&) = delete;

  // Where the decoder builds the next `size` bytes: after the bytes already
  // taken in the buffer being filled, or in a free buffer (waiting for one).
  // nullptr when `size` is larger than a buffer or no memory could be had.
  uint8_t* Buffer(size_t size);
  // Takes `size` bytes for writing after everything taken before. Bytes that
  // are not where Buffer said are copied. False once writing has failed.
  bool Take(const uint8_t* data, size_t size);
  // Waits until everything taken is written, then ends the file at its full
  // length (it may end in a hole). False when anything failed.
  bool Finish();

  // The first error that stopped writing or flushing.
  DWORD Error() const;

 private:
  struct Slot {
    std::unique_ptr<uint8_t[]> memory;
    size_t used = 0;
  };

  void HandOver();  // queues the buffer being filled; called with the lock held
  Slot* FreeSlot(std::unique_lock<std::mutex>& lock);
  void WriterLoop();
  void FlusherLoop();
  bool WriteSlot(const Slot& slot);
  bool SkipHole();
  bool WriteAll(const uint8_t* data, size_t size);
  void Fail(DWORD error);  // with the lock held
  void Stop();

  const HANDLE file_;
  const size_t bufferSize_;
  Slot slots_[kBuffers];
  Slot* filling_ = nullptr;  // the decoder's; written to only by the decoder thread
  std::vector<Slot*> free_;
  std::deque<Slot*> queue_;
  bool writing_ = false;  // the writer holds a slot taken from the queue
  bool stopping_ = false;
  bool failed_ = false;
  DWORD error_ = ERROR_SUCCESS;
  uint64_t written_ = 0;  // bytes gone to the file, holes included
  uint64_t hole_ = 0;     // zeros passed over and not yet skipped; the writer's
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread writer_, flusher_;
};
