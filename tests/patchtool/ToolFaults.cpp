// Linked into patch_tool_faults.exe, a test build of the patch tool (never the
// shipped PatchTool.exe): the same sources, plus faults the Unix side of Wine
// cannot make, chosen by the environment.
//
// QUORVELIN_REFUSE_ALLOCATION=N refuses the Nth allocation of the run, as a
// machine out of memory would: operator new throws std::bad_alloc, its nothrow
// form returns nullptr, and the start of a system thread (_beginthreadex, under
// std::thread) fails with EAGAIN. Those are all the tool's own code asks for.
// (Not malloc: the C and C++ libraries' own mallocs are theirs to handle, and
// winpthreads' pthread_once waits for ever when its calloc fails.)
// Allocations are counted from the start of the program; the standard error
// says which one was refused (what, its size, and its number among those of
// that size), or at the end how many there were and that none was.
//
// QUORVELIN_FAIL_WRITEFILE, QUORVELIN_FAIL_FLUSHFILEBUFFERS and
// QUORVELIN_FAIL_SETENDOFFILE=E make every call of that function fail with the
// Windows error E, as Windows itself reports a full disk or a used-up quota,
// which Wine never does (it reports EDQUOT as ERROR_GEN_FAILURE).
//
// Both work on the program's own import table: the tool's code is not touched.
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>

namespace {

std::atomic<long> g_allocations{0};
long g_refuse = 0;
std::atomic<bool> g_refused{false};

// Allocations by size, to tell the writer's first buffer from its later ones.
constexpr int kSizes = 64;
std::atomic<size_t> g_sizes[kSizes];
std::atomic<long> g_sizeCounts[kSizes];

long CountOfSize(size_t size) {
  const size_t key = size + 1;  // 0 marks a free entry
  for (int i = 0; i < kSizes; ++i) {
    size_t seen = g_sizes[i].load();
    if (seen == 0 && g_sizes[i].compare_exchange_strong(seen, key)) return ++g_sizeCounts[i];
    if (seen == key) return ++g_sizeCounts[i];
  }
  return 0;
}

// True when this allocation is the one to refuse.
bool Refuse(const char* what, size_t size) {
  const long n = ++g_allocations;
  const long ofSize = CountOfSize(size);
  if (n != g_refuse) return false;
  g_refused = true;
  std::fprintf(stderr,
               "tool faults: refused allocation %ld: %s of %lu bytes, number %ld of that size\n", n,
               what, static_cast<unsigned long>(size), ofSize);
  std::fflush(stderr);
  return true;
}

void* Allocate(size_t size) {
  if (Refuse("operator new", size)) return nullptr;
  return std::malloc(size ? size : 1);
}

void* AllocateAligned(size_t size, std::align_val_t alignment) {
  if (Refuse("operator new", size)) return nullptr;
  return _aligned_malloc(size ? size : 1, static_cast<size_t>(alignment));
}

DWORD g_writeFileError, g_flushError, g_endOfFileError;

using BeginThreadEx = uintptr_t(__cdecl*)(void*, unsigned, unsigned(__stdcall*)(void*), void*,
                                          unsigned, unsigned*);
BeginThreadEx g_realBeginThreadEx;

uintptr_t __cdecl FaultBeginThreadEx(void* security, unsigned stack,
                                     unsigned(__stdcall* start)(void*), void* argument,
                                     unsigned flags, unsigned* id) {
  if (Refuse("a thread", 0)) {
    errno = EAGAIN;
    return 0;
  }
  return g_realBeginThreadEx(security, stack, start, argument, flags, id);
}

// Fails the call with `error`, saying so on the standard error the first time.
BOOL Failed(const char* function, DWORD error) {
  static std::atomic<bool> said{false};
  if (!said.exchange(true)) {
    std::fprintf(stderr, "tool faults: %s failed with %lu\n", function,
                 static_cast<unsigned long>(error));
    std::fflush(stderr);
  }
  SetLastError(error);
  return FALSE;
}

BOOL WINAPI FaultWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD done, LPOVERLAPPED) {
  if (done) *done = 0;
  return Failed("WriteFile", g_writeFileError);
}

BOOL WINAPI FaultFlushFileBuffers(HANDLE) { return Failed("FlushFileBuffers", g_flushError); }

BOOL WINAPI FaultSetEndOfFile(HANDLE) { return Failed("SetEndOfFile", g_endOfFileError); }

DWORD Setting(const char* name) {
  const char* text = std::getenv(name);
  return text ? static_cast<DWORD>(std::strtoul(text, nullptr, 0)) : 0;
}

// Points this program's import of `dll`!`function` at `replacement`; the
// function it replaced, or nullptr when the program does not import it.
void* Patch(const char* dll, const char* function, void* replacement) {
  auto* base = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       import->Name; ++import) {
    if (_stricmp(reinterpret_cast<const char*>(base + import->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(name->Name), function) != 0) continue;
      DWORD was;
      VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &was);
      void* real = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<uintptr_t>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), was, &was);
      return real;
    }
  }
  return nullptr;
}

void SayAtExit() {
  if (g_refuse > 0 && !g_refused)
    std::fprintf(stderr, "tool faults: %ld allocations, none refused\n", g_allocations.load());
}

struct Faults {
  Faults() {
    g_refuse = static_cast<long>(Setting("QUORVELIN_REFUSE_ALLOCATION"));
    if (g_refuse > 0) {
      std::atexit(SayAtExit);
      g_realBeginThreadEx = reinterpret_cast<BeginThreadEx>(
          Patch("msvcrt.dll", "_beginthreadex", reinterpret_cast<void*>(&FaultBeginThreadEx)));
      if (!g_realBeginThreadEx) std::fprintf(stderr, "tool faults: no _beginthreadex to hook\n");
    }
    struct {
      const char* setting;
      const char* function;
      DWORD* error;
      void* replacement;
    } calls[] = {
        {"QUORVELIN_FAIL_WRITEFILE", "WriteFile", &g_writeFileError,
         reinterpret_cast<void*>(&FaultWriteFile)},
        {"QUORVELIN_FAIL_FLUSHFILEBUFFERS", "FlushFileBuffers", &g_flushError,
         reinterpret_cast<void*>(&FaultFlushFileBuffers)},
        {"QUORVELIN_FAIL_SETENDOFFILE", "SetEndOfFile", &g_endOfFileError,
         reinterpret_cast<void*>(&FaultSetEndOfFile)},
    };
    for (auto& call : calls) {
      *call.error = Setting(call.setting);
      if (*call.error != 0 && !Patch("kernel32.dll", call.function, call.replacement))
        std::fprintf(stderr, "tool faults: no %s to hook\n", call.function);
    }
  }
} g_faults;

}  // namespace

void* operator new(size_t size) {
  if (void* memory = Allocate(size)) return memory;
  throw std::bad_alloc();
}
void* operator new[](size_t size) {
  if (void* memory = Allocate(size)) return memory;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
// Over-aligned types (XXH3's state, for the checksums).
void* operator new(size_t size, std::align_val_t alignment) {
  if (void* memory = AllocateAligned(size, alignment)) return memory;
  throw std::bad_alloc();
}
void* operator new[](size_t size, std::align_val_t alignment) {
  if (void* memory = AllocateAligned(size, alignment)) return memory;
  throw std::bad_alloc();
}
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, alignment);
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, alignment);
}
void operator delete(void* memory, std::align_val_t) noexcept { _aligned_free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { _aligned_free(memory); }
void operator delete(void* memory, size_t, std::align_val_t) noexcept { _aligned_free(memory); }
void operator delete[](void* memory, size_t, std::align_val_t) noexcept { _aligned_free(memory); }
