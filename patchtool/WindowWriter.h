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
// Memory: at most kBuffers buffers of the window size, whatever the delta says,
// each made when it is first needed; when there is no memory for another, the
// writer goes on with those it has. It allocates nothing else once built.
// Whole blocks of zeros are skipped over rather than written, as cp --sparse
// does: where the file system keeps holes they cost neither disk nor time, and
// elsewhere the system fills them with zeros itself.
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class WindowWriter {
 public:
  // One buffer being decoded into, one waiting, one being written.
  static constexpr size_t kBuffers = 3;
  // Small windows share a buffer until it holds this much.
  static constexpr size_t kHandOverAt = 1u << 20;
  // Flushing every few dozen megabytes keeps the disk busy from the start
  // without a flush for every window; a flush takes everything written before
  // it, so the flusher catches up by itself when it falls behind.
  static constexpr uint64_t kFlushEvery = 64u << 20;

  // `file` is written from its current position on; `bufferSize` is the
  // largest window the decoder accepts. Tests give smaller hand-overs and
  // flush intervals. When a thread cannot be started the writer has failed
  // with ERROR_NOT_ENOUGH_MEMORY from the start (Error, and every call false).
  WindowWriter(HANDLE file, size_t bufferSize, size_t handOverAt = kHandOverAt,
               uint64_t flushEvery = kFlushEvery);
  // Drops what is queued and joins the threads, once the write and any flush
  // under way have returned: a call into the system is never cut short.
  ~WindowWriter();
  WindowWriter(const WindowWriter&) = delete;
  WindowWriter& operator=(const WindowWriter&) = delete;

  // Where the decoder builds the next `size` bytes: after the bytes already
  // taken in the buffer being filled, or in a free buffer (waiting for one).
  // nullptr when `size` is larger than a buffer or writing has failed (no
  // memory for any buffer included).
  uint8_t* Buffer(size_t size);
  // Takes `size` bytes for writing after everything taken before. Bytes that
  // are not where Buffer said are copied. False once writing has failed.
  bool Take(const uint8_t* data, size_t size);
  // Waits until everything taken is written, then ends the file at its full
  // length (it may end in a hole). False when anything failed.
  bool Finish();

  // The first error that stopped writing or flushing.
  DWORD Error() const;
  // For tests: the buffers made so far, and the flushes the flusher has done.
  size_t BuffersMade() const;
  uint64_t Flushes() const;

 private:
  struct Slot {
    std::unique_ptr<uint8_t[]> memory;
    size_t used = 0;
  };

  void HandOver();  // queues the buffer being filled; called with the lock held
  Slot* FreeSlot(std::unique_lock<std::mutex>& lock);
  void Release(Slot* slot);  // back to the free ones; with the lock held
  size_t BuffersMadeLocked() const;
  void WriterLoop();
  void FlusherLoop();
  bool WriteSlot(const Slot& slot);
  bool SkipHole();
  bool WriteAll(const uint8_t* data, size_t size);
  void Fail(DWORD error);  // with the lock held
  void StartFailed();      // a thread or the mutex could not be had
  void Stop();

  const HANDLE file_;
  const size_t bufferSize_;
  const size_t handOverAt_;
  const uint64_t flushEvery_;
  Slot slots_[kBuffers];
  Slot* filling_ = nullptr;  // the decoder's; written to only by the decoder thread
  // Fixed rings rather than containers, so that handing a buffer over never
  // allocates: each slot is in at most one of them.
  Slot* free_[kBuffers] = {};
  size_t freeCount_ = 0;
  Slot* queue_[kBuffers] = {};
  size_t queueFront_ = 0;
  size_t queued_ = 0;
  bool writing_ = false;  // the writer holds a slot taken from the queue
  bool stopping_ = false;
  bool failed_ = false;
  DWORD error_ = ERROR_SUCCESS;
  uint64_t written_ = 0;  // bytes WriteFile has taken; the holes passed over are not counted
  uint64_t hole_ = 0;     // zeros passed over and not yet skipped; the writer's
  uint64_t flushes_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread writer_, flusher_;
};
