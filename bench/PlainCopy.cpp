// The baseline for the patch tool: the plainest copy of a pack a 32-bit program
// can make under Wine, 4 MiB at a time, optionally flushed to disk at the end
// as the tool flushes its output.
// Usage: plain_copy SOURCE TARGET [--flush]
#include <windows.h>

#include <cstring>
#include <vector>

#include "UniqueHandle.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const bool flush = argc > 3 && std::strcmp(argv[3], "--flush") == 0;
  const UniqueHandle source(CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  const UniqueHandle target(CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!source.IsValid() || !target.IsValid()) return 1;
  std::vector<char> buffer(4u << 20);
  bool ok = true;
  for (;;) {
    DWORD got = 0, put = 0;
    if (!ReadFile(source.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
      ok = false;
    if (!ok || got == 0) break;
    if (!WriteFile(target.Get(), buffer.data(), got, &put, nullptr) || put != got) ok = false;
  }
  if (ok && flush && !FlushFileBuffers(target.Get())) ok = false;
  return ok ? 0 : 1;
}
