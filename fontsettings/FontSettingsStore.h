// The user's font choice as the localised game reads it from the registry.
#pragma once

#include <windows.h>

inline constexpr wchar_t kSettingsKeyPath[] = L"Software\\Pellavor\\QUORVELIN";
inline constexpr wchar_t kFontNameValue[] = L"FontName";
inline constexpr wchar_t kFontWeightValue[] = L"FontWeight";

inline constexpr DWORD kBoldWeight = 700;
inline constexpr DWORD kNormalWeight = 400;

// The fonts offered, in drop-down order: the position is the list index.
inline constexpr const wchar_t* kFontChoices[] = {L"微软雅黑", L"宋体", L"黑体", L"楷体"};
inline constexpr int kFontChoiceCount = sizeof(kFontChoices) / sizeof(kFontChoices[0]);
inline constexpr int kDefaultFontIndex = 1;  // when no FontName can be read
inline constexpr int kNoFontIndex = -1;      // a stored name that is in no entry

// Read buffer capacities; a longer stored value fails its query.
inline constexpr DWORD kFontNameUnits = 1024;
inline constexpr DWORD kFontWeightBytes = 2048;

// Program-wide; open from dialog initialisation until the dialog ends, null before.
extern HKEY g_hSettingsKey;

struct FontSelection {
  int index;  // into kFontChoices, or kNoFontIndex
  bool bold;
};

// Creates or opens the key into g_hSettingsKey, which keeps what a failed call left.
bool OpenSettingsKey();

// Never fails: unreadable values give the default font and normal weight.
FontSelection LoadFontSelection();

// What the dialog shows at the moment each value is written.
class FontChoiceSource {
 public:
  // Copies the list's text, null-terminated, into text of capacity units.
  virtual void GetFontText(wchar_t* text, int capacity) const = 0;
  virtual bool IsBoldChecked() const = 0;

 protected:
  ~FontChoiceSource() = default;
};

// Asks for the text and writes it, then asks for the box and writes the weight,
// then closes the key. Results are not examined.
void SaveFontSelectionAndClose(const FontChoiceSource& choice);

void CloseSettingsKey();
