#include "FontSettingsStore.h"

HKEY g_hSettingsKey = nullptr;

bool OpenSettingsKey() {
  DWORD disposition = 0;
  return RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                         nullptr, &g_hSettingsKey, &disposition) == ERROR_SUCCESS;
}

namespace {

// Bounded by the buffer, so a stored name without its terminator (odd size, or
// all 1024 units used) cannot lead the comparison past what was read.
bool EqualsChoice(const wchar_t (&name)[kFontNameUnits], const wchar_t* choice) {
  for (DWORD i = 0; i < kFontNameUnits; ++i) {
    if (name[i] != choice[i]) return false;
    if (choice[i] == L'\0') return true;
  }
  return false;
}

}  // namespace

FontSelection LoadFontSelection() {
  FontSelection selection{kDefaultFontIndex, false};

  // Cleared first: the query may fill fewer bytes than a terminated string needs.
  wchar_t name[kFontNameUnits] = {};
  DWORD size = sizeof(name);
  if (RegQueryValueExW(g_hSettingsKey, kFontNameValue, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS) {
    selection.index = kNoFontIndex;
    for (int i = 0; i < kFontChoiceCount; ++i) {
      if (EqualsChoice(name, kFontChoices[i])) {
        selection.index = i;
        break;
      }
    }
  }

  // Any type and any length: only the first two bytes count, a short value
  // reading as its bytes followed by zeros.
  BYTE weight[kFontWeightBytes] = {};
  size = sizeof(weight);
  if (RegQueryValueExW(g_hSettingsKey, kFontWeightValue, nullptr, nullptr, weight, &size) ==
      ERROR_SUCCESS) {
    selection.bold = (weight[0] | (weight[1] << 8)) == kBoldWeight;
  }
  return selection;
}

void SaveFontSelectionAndClose(const FontChoiceSource& choice) {
  // The list only holds the short names above; the name buffer is ample.
  wchar_t text[kFontNameUnits] = {};
  choice.GetFontText(text, kFontNameUnits);
  text[kFontNameUnits - 1] = L'\0';
  RegSetValueExW(g_hSettingsKey, kFontNameValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));

  const DWORD weight = choice.IsBoldChecked() ? kBoldWeight : kNormalWeight;
  RegSetValueExW(g_hSettingsKey, kFontWeightValue, 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&weight), sizeof(weight));

  CloseSettingsKey();
}

void CloseSettingsKey() {
  RegCloseKey(g_hSettingsKey);
  g_hSettingsKey = nullptr;
}
