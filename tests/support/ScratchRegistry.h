// Redirects HKEY_CURRENT_USER of this process to a fresh scratch key for the
// lifetime of the object, so a test never touches the user's own settings.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class ScratchCurrentUser {
 public:
  ScratchCurrentUser() {
    path_ = L"Software\\QuorvelinTests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter_);
    RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &root_, nullptr);
    ok_ = root_ && RegOverridePredefKey(HKEY_CURRENT_USER, root_) == ERROR_SUCCESS;
  }
  ~ScratchCurrentUser() {
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (root_) RegCloseKey(root_);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }
  ScratchCurrentUser(const ScratchCurrentUser&) = delete;
  ScratchCurrentUser& operator=(const ScratchCurrentUser&) = delete;

  bool ok() const { return ok_; }

 private:
  static inline int counter_ = 0;
  std::wstring path_;
  HKEY root_ = nullptr;
  bool ok_ = false;
};

// A value as raw bytes with its type, for byte-for-byte checks.
struct RegValue {
  LONG status = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

// The plain query, which returns values of every type as stored (RegGetValueW
// filters types such as REG_LINK or the resource lists out).
inline RegValue ReadRegValue(HKEY root, const wchar_t* subkey, const wchar_t* name) {
  RegValue value;
  HKEY key = nullptr;
  value.status = RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, &key);
  if (value.status != ERROR_SUCCESS) return value;
  DWORD size = 0;
  value.status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
  if (value.status == ERROR_SUCCESS) {
    value.bytes.resize(size);
    value.status = RegQueryValueExW(key, name, nullptr, &value.type, value.bytes.data(), &size);
    value.bytes.resize(size);
  }
  RegCloseKey(key);
  return value;
}

// Stores exactly `size` bytes. RegSetValueExW adds a terminator to a string
// value when the unit just past the given bytes is zero, so whatever follows the
// caller's buffer in memory could lengthen the value; a copy with a non-zero
// guard after it leaves nothing to chance.
inline LONG WriteRegValue(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD type,
                          const void* data, DWORD size) {
  const BYTE* bytes = static_cast<const BYTE*>(data);
  std::vector<BYTE> guarded(bytes, bytes + size);
  guarded.insert(guarded.end(), 4, 0xFF);
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, name, 0, type, guarded.data(), size);
  RegCloseKey(key);
  return status;
}

inline std::vector<BYTE> Utf16Bytes(const std::wstring& text, bool terminator = true) {
  const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(p, p + (text.size() + (terminator ? 1 : 0)) * sizeof(wchar_t));
}

inline std::vector<std::wstring> ValueNames(HKEY root, const wchar_t* subkey) {
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  RegCloseKey(key);
  return names;
}
