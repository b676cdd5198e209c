#include "RecordFile.h"

#include "UniqueHandle.h"

namespace undo {
namespace {

constexpr wchar_t kPartSuffix[] = L".part";

class FileOutput : public ByteOutput {
 public:
  explicit FileOutput(HANDLE file) : file_(file) {}
  bool Write(const void* data, size_t size) override {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
      const DWORD want = size < (1u << 24) ? static_cast<DWORD>(size) : (1u << 24);
      DWORD done = 0;
      if (!WriteFile(file_, bytes, want, &done, nullptr)) return false;
      if (done == 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
      }
      bytes += done;
      size -= done;
    }
    return true;
  }

 private:
  HANDLE file_;
};

std::wstring FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length == 0) return path;
    if (length < full.size()) {
      full.resize(length);
      return full;
    }
    full.resize(length);
  }
}

}  // namespace

std::string AsciiFileName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/:");
  std::string name;
  for (const wchar_t c : path.substr(slash == std::wstring::npos ? 0 : slash + 1))
    name.push_back(c > L' ' && c <= L'~' ? static_cast<char>(c) : '_');
  return name;
}

std::wstring RecordPathFor(const std::wstring& packPath) {
  const std::wstring full = FullPath(packPath);
  const size_t name = full.find_last_of(L'\\');
  if (name == std::wstring::npos) return std::wstring(L"PatchUndo\\") + packPath + L".undo";
  const size_t parent = full.find_last_of(L'\\', name == 0 ? 0 : name - 1);
  // A pack at a drive's root has no game folder above it; its record goes beside it.
  const std::wstring game =
      parent == std::wstring::npos ? full.substr(0, name + 1) : full.substr(0, parent + 1);
  std::wstring folder = game;
  for (const char* c = kRecordFolder; *c; ++c) folder.push_back(static_cast<wchar_t>(*c));
  std::wstring path = folder + L"\\" + full.substr(name + 1);
  for (const char* c = kRecordSuffix; *c; ++c) path.push_back(static_cast<wchar_t>(*c));
  return path;
}

bool WriteRecordFile(const std::wstring& path, const KeptRegions& kept,
                     vcdiff::ByteSource& original, const RecordInfo& info, DWORD* error) {
  const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = GetLastError();
    return false;
  }
  const std::wstring part = path + kPartSuffix;
  UniqueHandle file(CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) {
    *error = GetLastError();
    return false;
  }
  FileOutput out(file.Get());
  bool done = false;
  switch (Encode(kept, original, info, out)) {
    case EncodeStatus::kOk:
      done = FlushFileBuffers(file.Get()) != 0;
      break;
    case EncodeStatus::kOutOfMemory:
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      break;
    case EncodeStatus::kOriginalRead:
    case EncodeStatus::kOutputWrite:
      break;
  }
  *error = GetLastError();
  file.Close();
  if (done &&
      MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  if (done) *error = GetLastError();
  DeleteFileW(part.c_str());
  return false;
}

}  // namespace undo
