// An LD_PRELOAD shim for patch_tool_fault_test.sh. Under Wine the tool's
// WriteFile, SetFilePointerEx and FlushFileBuffers on a file become write(),
// lseek() and fsync() in ntdll's Unix half, in the tool's own process (seen
// with strace under Wine 8, both sizes; SetEndOfFile and the rename are the
// wineserver's). This shim makes those calls fail, on the files whose name
// ends in FAULT_SUFFIX (".part" by default) only, as a full disk or a failing
// device does:
//
//   FAULT_WRITE_AT=N       a write that reaches offset N of the file is cut short
//                          there; every write at or past N fails
//   FAULT_WRITE_ERRNO=E    with errno E: ENOSPC (the default), EDQUOT or EIO
//   FAULT_LOSE_AT=N        the bytes a write has at or past offset N are not
//                          written, though the write says they were: a lost write
//   FAULT_FSYNC_ERRNO=E    fsync and fdatasync fail with errno E
//   FAULT_HOLD_WRITE_AT=N  a write that reaches offset N waits (two minutes at
//                          most) until a flush has failed on a thread other
//                          than the main one: the flusher's flush then comes
//                          while writing goes on, however the threads are
//                          scheduled, and not after the writer was told to stop
//   FAULT_FILL_PAST_END=1  when the file's position is first set past its end
//                          (a hole about to be left), the file system is made
//                          full for real: FAULT_FILL_FILE (by default FILE.fill
//                          beside it) is written until the system refuses a
//                          single byte more, or FAULT_FILL_MAX bytes (256 MiB
//                          by default, so that a mistake cannot fill a real disk)
//
// Every fault it makes is recorded in FAULT_LOG (a file), one line each, so
// that the test knows the fault was reached. Built natively by the test, 32-bit
// for the 32-bit Wine loader and 64-bit for wine64; put in LD_PRELOAD as
// DIR/$LIB/write_faults.so, so that the dynamic loader of either size picks
// its own.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static ssize_t (*real_write)(int, const void*, size_t);
static ssize_t (*real_pwrite64)(int, const void*, size_t, off64_t);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static off64_t (*real_lseek64)(int, off64_t, int);

static void Init(void) {
  if (real_write) return;
  real_pwrite64 = (ssize_t(*)(int, const void*, size_t, off64_t))dlsym(RTLD_NEXT, "pwrite64");
  real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  real_fdatasync = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  real_lseek64 = (off64_t(*)(int, off64_t, int))dlsym(RTLD_NEXT, "lseek64");
  real_write = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
}

static long long Setting(const char* name, long long otherwise) {
  const char* text = getenv(name);
  return text && *text ? strtoll(text, NULL, 0) : otherwise;
}

static int Errno(const char* name, int otherwise) {
  const char* text = getenv(name);
  if (!text || !*text) return otherwise;
  if (strcmp(text, "ENOSPC") == 0) return ENOSPC;
  if (strcmp(text, "EDQUOT") == 0) return EDQUOT;
  if (strcmp(text, "EIO") == 0) return EIO;
  if (strcmp(text, "EFBIG") == 0) return EFBIG;
  return atoi(text);
}

// The file's name when it is one of those the faults are for.
static int Chosen(int fd, char* path, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, size - 1);
  if (n <= 0) return 0;
  path[n] = '\0';
  const char* suffix = getenv("FAULT_SUFFIX");
  if (!suffix || !*suffix) suffix = ".part";
  const size_t length = strlen(suffix);
  return (size_t)n >= length && strcmp(path + n - length, suffix) == 0;
}

static void Log(const char* what, const char* path, long long value) {
  const char* log = getenv("FAULT_LOG");
  if (!log || !*log) return;
  char line[PATH_MAX + 128];
  const int n = snprintf(line, sizeof line, "%s %lld %s\n", what, value, path);
  const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (n > 0) real_write(fd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
  close(fd);
}

// Set once a flush has failed on a thread other than the tool's main one.
static int g_threadFlushFailed;

static void HoldUntilThreadFlushFailed(void) {
  const struct timespec tick = {0, 10 * 1000 * 1000};
  for (int i = 0; i < 12000 && !__atomic_load_n(&g_threadFlushFailed, __ATOMIC_ACQUIRE); ++i)
    nanosleep(&tick, NULL);
}

// The bytes of a write at `at` that go to the file; -1 with errno set when
// it fails. With *lose set, the write still reports all `count` as written.
static ssize_t Allowed(const char* path, off64_t at, size_t count, int* lose) {
  *lose = 0;
  const long long holdAt = Setting("FAULT_HOLD_WRITE_AT", -1);
  if (holdAt >= 0 && at + (off64_t)count > holdAt) HoldUntilThreadFlushFailed();
  const long long lostAt = Setting("FAULT_LOSE_AT", -1);
  if (lostAt >= 0 && at + (off64_t)count > lostAt) {
    Log("lost", path, at < lostAt ? lostAt : (long long)at);
    *lose = 1;
    return at < lostAt ? (ssize_t)(lostAt - at) : 0;
  }
  const long long failAt = Setting("FAULT_WRITE_AT", -1);
  if (failAt < 0 || at + (off64_t)count <= failAt) return (ssize_t)count;
  if (at < failAt) {
    Log("short", path, failAt);
    return (ssize_t)(failAt - at);
  }
  Log("write-failed", path, (long long)at);
  errno = Errno("FAULT_WRITE_ERRNO", ENOSPC);
  return -1;
}

ssize_t write(int fd, const void* buffer, size_t count) {
  Init();
  char path[PATH_MAX];
  if (count == 0 || !Chosen(fd, path, sizeof path)) return real_write(fd, buffer, count);
  const off64_t at = real_lseek64(fd, 0, SEEK_CUR);
  int lose = 0;
  const ssize_t allowed = at < 0 ? (ssize_t)count : Allowed(path, at, count, &lose);
  if (allowed < 0) return -1;
  if (lose) {
    if (allowed > 0 && real_write(fd, buffer, (size_t)allowed) != allowed) return -1;
    real_lseek64(fd, at + (off64_t)count, SEEK_SET);
    return (ssize_t)count;
  }
  return real_write(fd, buffer, (size_t)allowed);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t at) {
  Init();
  char path[PATH_MAX];
  if (count == 0 || !Chosen(fd, path, sizeof path)) return real_pwrite64(fd, buffer, count, at);
  int lose = 0;
  const ssize_t allowed = Allowed(path, at, count, &lose);
  if (allowed < 0) return -1;
  if (lose) {
    if (allowed > 0 && real_pwrite64(fd, buffer, (size_t)allowed, at) != allowed) return -1;
    return (ssize_t)count;
  }
  return real_pwrite64(fd, buffer, (size_t)allowed, at);
}

#if defined(__x86_64__)
// On 64-bit, pwrite and pwrite64 are one function with two names.
ssize_t pwrite(int fd, const void* buffer, size_t count, off_t at) {
  return pwrite64(fd, buffer, count, at);
}
#else
ssize_t pwrite(int fd, const void* buffer, size_t count, off_t at) {
  return pwrite64(fd, buffer, count, (off64_t)at);
}
#endif

static int Sync(int fd, int (*real)(int)) {
  char path[PATH_MAX];
  const int error = Errno("FAULT_FSYNC_ERRNO", 0);
  if (error == 0 || !Chosen(fd, path, sizeof path)) return real(fd);
  // Which thread: the tool's main one (Wine runs it on the process's first) or another (the
  // flusher).
  const int mainThread = syscall(SYS_gettid) == getpid();
  Log(mainThread ? "fsync-failed-main" : "fsync-failed-thread", path, 0);
  if (!mainThread) __atomic_store_n(&g_threadFlushFailed, 1, __ATOMIC_RELEASE);
  errno = error;
  return -1;
}

int fsync(int fd) {
  Init();
  return Sync(fd, real_fsync);
}

int fdatasync(int fd) {
  Init();
  return Sync(fd, real_fdatasync);
}

// Fills the file system that holds `path`, for real, with FAULT_FILL_FILE.
static void Fill(const char* path) {
  char fill[PATH_MAX + 8];
  const char* named = getenv("FAULT_FILL_FILE");
  if (named && *named) {
    snprintf(fill, sizeof fill, "%s", named);
  } else {
    snprintf(fill, sizeof fill, "%s.fill", path);
  }
  const int fd = open(fill, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  static char block[1 << 16];
  long long left = Setting("FAULT_FILL_MAX", 256ll << 20);
  for (size_t size = sizeof block; size > 0 && left > 0; size /= 2) {
    ssize_t n;
    while (left > 0 && (n = real_write(fd, block, size)) > 0) left -= n;
  }
  close(fd);
  Log("filled", fill, left);
}

static off64_t Seek(int fd, off64_t offset, int whence) {
  char path[PATH_MAX];
  if (whence == SEEK_SET && Setting("FAULT_FILL_PAST_END", 0) && Chosen(fd, path, sizeof path)) {
    struct stat st;
    static int filled = 0;
    if (!filled && fstat(fd, &st) == 0 && offset > st.st_size) {
      filled = 1;
      Fill(path);
    }
  }
  return real_lseek64(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) {
  Init();
  return Seek(fd, offset, whence);
}

#if defined(__x86_64__)
off_t lseek(int fd, off_t offset, int whence) {
  Init();
  return Seek(fd, offset, whence);
}
#else
off_t lseek(int fd, off_t offset, int whence) {
  Init();
  return (off_t)Seek(fd, offset, whence);
}
#endif
