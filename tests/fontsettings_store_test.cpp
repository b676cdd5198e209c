// The settings store against the real registry, with HKEY_CURRENT_USER
// redirected to a scratch key for each case.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FontSettingsStore.h"
#include "ScratchRegistry.h"

namespace {

const wchar_t kKey[] = L"Software\\Pellavor\\QUORVELIN";

// The dialog's side of a save, answered by test code at the moment it is asked.
class Choice : public FontChoiceSource {
 public:
  Choice(std::function<std::wstring()> text, std::function<bool()> bold)
      : text_(std::move(text)), bold_(std::move(bold)) {}
  void GetFontText(wchar_t* text, int capacity) const override {
    lstrcpynW(text, text_().c_str(), capacity);
  }
  bool IsBoldChecked() const override { return bold_(); }

 private:
  std::function<std::wstring()> text_;
  std::function<bool()> bold_;
};

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  void TearDown() override {
    if (g_hSettingsKey) CloseSettingsKey();
  }

  static void StoreName(const std::wstring& name) {
    auto bytes = Utf16Bytes(name);
    ASSERT_EQ(ERROR_SUCCESS, WriteRegValue(HKEY_CURRENT_USER, kKey, L"FontName", REG_SZ,
                                           bytes.data(), static_cast<DWORD>(bytes.size())));
  }
  static void StoreRaw(const wchar_t* name, DWORD type, const std::vector<BYTE>& bytes) {
    ASSERT_EQ(ERROR_SUCCESS, WriteRegValue(HKEY_CURRENT_USER, kKey, name, type, bytes.data(),
                                           static_cast<DWORD>(bytes.size())));
  }
  static void StoreWeight(DWORD weight) {
    ASSERT_EQ(ERROR_SUCCESS, WriteRegValue(HKEY_CURRENT_USER, kKey, L"FontWeight", REG_DWORD,
                                           &weight, sizeof(weight)));
  }
  static FontSelection OpenAndLoad() {
    EXPECT_TRUE(OpenSettingsKey());
    return LoadFontSelection();
  }
  static RegValue Stored(const wchar_t* name) {
    return ReadRegValue(HKEY_CURRENT_USER, kKey, name);
  }

  ScratchCurrentUser scratch_;
};

TEST_F(StoreTest, OpenCreatesTheKeyUnderTheUsersRoot) {
  ASSERT_TRUE(OpenSettingsKey());
  EXPECT_NE(nullptr, g_hSettingsKey);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key));
  RegCloseKey(key);
  EXPECT_TRUE(ValueNames(HKEY_CURRENT_USER, kKey).empty());
}

TEST_F(StoreTest, EachListedNameSelectsItsIndex) {
  const wchar_t* names[] = {L"微软雅黑", L"宋体", L"黑体", L"楷体"};
  for (int i = 0; i < 4; ++i) {
    StoreName(names[i]);
    EXPECT_EQ(i, OpenAndLoad().index) << i;
    CloseSettingsKey();
  }
}

TEST_F(StoreTest, NameInNoEntrySelectsNothing) {
  for (const wchar_t* name : {L"Arial", L"", L"黑体 ", L"黑", L"宋体宋体", L"SimSun"}) {
    StoreName(name);
    EXPECT_EQ(kNoFontIndex, OpenAndLoad().index) << static_cast<int>(wcslen(name));
    CloseSettingsKey();
  }
}

TEST_F(StoreTest, MissingNameSelectsSongtiAndStillReadsBold) {
  StoreWeight(700);
  FontSelection selection = OpenAndLoad();
  EXPECT_EQ(1, selection.index);
  EXPECT_TRUE(selection.bold);
}

TEST_F(StoreTest, NameTooLongForTheBufferSelectsSongti) {
  // 1023 units plus the terminator fill the 2048-byte buffer exactly and are read;
  // one more unit makes the query fail.
  StoreName(std::wstring(1023, L'x'));
  EXPECT_EQ(kNoFontIndex, OpenAndLoad().index);
  CloseSettingsKey();
  for (size_t length : {1024u, 1025u, 4096u}) {
    StoreName(std::wstring(length, L'x'));
    EXPECT_EQ(1, OpenAndLoad().index) << length;
    CloseSettingsKey();
  }
}

TEST_F(StoreTest, UnterminatedNameNeverMatchesBeyondItsBytes) {
  // "黑体" without its terminator matches only because the cleared buffer
  // supplies the null; an odd byte count keeps a stray byte that breaks it.
  std::vector<BYTE> heiti = Utf16Bytes(L"黑体", false);
  StoreRaw(L"FontName", REG_SZ, heiti);
  EXPECT_EQ(2, OpenAndLoad().index);
  CloseSettingsKey();

  std::vector<BYTE> odd = Utf16Bytes(L"黑体", false);
  odd.push_back('A');
  StoreRaw(L"FontName", REG_SZ, odd);
  EXPECT_EQ(kNoFontIndex, OpenAndLoad().index);
  CloseSettingsKey();

  // Exactly 2048 bytes of text and no terminator: fits, matches nothing.
  std::vector<BYTE> full(2048, 'x');
  StoreRaw(L"FontName", REG_SZ, full);
  EXPECT_EQ(kNoFontIndex, OpenAndLoad().index);
}

TEST_F(StoreTest, NameOfAnotherTypeIsReadAsRawBytes) {
  StoreRaw(L"FontName", REG_BINARY, Utf16Bytes(L"楷体"));
  EXPECT_EQ(3, OpenAndLoad().index);
}

TEST_F(StoreTest, BoldOnlyForSevenHundredInTheFirstTwoBytes) {
  struct Case {
    DWORD type;
    std::vector<BYTE> bytes;
    bool bold;
  } cases[] = {
      {REG_DWORD, {0xBC, 0x02, 0, 0}, true},            // 700
      {REG_DWORD, {0x90, 0x01, 0, 0}, false},           // 400
      {REG_DWORD, {0, 0, 0, 0}, false},                 // 0
      {REG_DWORD, {0xBD, 0x02, 0, 0}, false},           // 701
      {REG_DWORD, {0xBC, 0x02, 0x01, 0}, true},         // 700 + 65536
      {REG_BINARY, {0xBC, 0x02}, true},                 // two bytes only
      {REG_SZ, {0xBC, 0x02, 'x', 0, 0, 0}, true},       // another type
      {REG_QWORD, {0xBC, 0x02, 0, 0, 0, 0, 0, 1}, true},
      {REG_BINARY, {0xBC}, false},                      // one byte, then zeros
      {REG_BINARY, {}, false},                          // empty data
      {REG_DWORD_BIG_ENDIAN, {0, 0, 0x02, 0xBC}, false},
  };
  for (const Case& c : cases) {
    StoreRaw(L"FontWeight", c.type, c.bytes);
    EXPECT_EQ(c.bold, OpenAndLoad().bold)
        << "type " << c.type << ", " << c.bytes.size() << " bytes";
    CloseSettingsKey();
  }
}

TEST_F(StoreTest, WeightLongerThanTheBufferIsNotBold) {
  std::vector<BYTE> bytes(2049, 0);
  bytes[0] = 0xBC;
  bytes[1] = 0x02;
  StoreRaw(L"FontWeight", REG_BINARY, bytes);
  EXPECT_FALSE(OpenAndLoad().bold);
}

TEST_F(StoreTest, MissingWeightIsNotBold) {
  StoreName(L"黑体");
  FontSelection selection = OpenAndLoad();
  EXPECT_EQ(2, selection.index);
  EXPECT_FALSE(selection.bold);
}

TEST_F(StoreTest, SaveWritesExactBytesAndTypes) {
  ASSERT_TRUE(OpenSettingsKey());
  SaveFontSelectionAndClose(Choice([] { return std::wstring(L"楷体"); }, [] { return false; }));
  EXPECT_EQ(nullptr, g_hSettingsKey);

  RegValue name = Stored(L"FontName");
  ASSERT_EQ(ERROR_SUCCESS, name.status);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), name.type);
  EXPECT_EQ((std::vector<BYTE>{0x77, 0x69, 0x53, 0x4F, 0, 0}), name.bytes);  // 楷体

  RegValue weight = Stored(L"FontWeight");
  ASSERT_EQ(ERROR_SUCCESS, weight.status);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), weight.type);
  EXPECT_EQ((std::vector<BYTE>{0x90, 0x01, 0, 0}), weight.bytes);

  std::vector<std::wstring> names = ValueNames(HKEY_CURRENT_USER, kKey);
  EXPECT_EQ((std::vector<std::wstring>{L"FontName", L"FontWeight"}), names);
}

TEST_F(StoreTest, SaveOfBoldAndOfEmptyText) {
  StoreName(L"Arial");
  ASSERT_TRUE(OpenSettingsKey());
  SaveFontSelectionAndClose(Choice([] { return std::wstring(); }, [] { return true; }));
  EXPECT_EQ((std::vector<BYTE>{0, 0}), Stored(L"FontName").bytes);
  EXPECT_EQ((std::vector<BYTE>{0xBC, 0x02, 0, 0}), Stored(L"FontWeight").bytes);
}

TEST_F(StoreTest, SaveAsksForTheTextBeforeWritingItThenForTheBox) {
  std::vector<std::string> events;
  ASSERT_TRUE(OpenSettingsKey());
  SaveFontSelectionAndClose(Choice(
      [&] {
        events.push_back(Stored(L"FontName").status == ERROR_SUCCESS ? "text after name"
                                                                      : "text");
        return std::wstring(L"黑体");
      },
      [&] {
        // By now the name is stored and the weight is not.
        events.push_back(Stored(L"FontName").bytes == Utf16Bytes(L"黑体") ? "box after name"
                                                                         : "box");
        if (Stored(L"FontWeight").status == ERROR_SUCCESS) events.push_back("weight too early");
        return true;
      }));
  EXPECT_EQ((std::vector<std::string>{"text", "box after name"}), events);
}

TEST_F(StoreTest, SaveAfterLoadRoundTripsEveryChoice) {
  for (int i = 0; i < kFontChoiceCount; ++i) {
    for (bool bold : {false, true}) {
      ASSERT_TRUE(OpenSettingsKey());
      SaveFontSelectionAndClose(Choice([&] { return std::wstring(kFontChoices[i]); },
                                [&] { return bold; }));
      FontSelection selection = OpenAndLoad();
      EXPECT_EQ(i, selection.index);
      EXPECT_EQ(bold, selection.bold);
      CloseSettingsKey();
    }
  }
}

TEST_F(StoreTest, CloseWithoutSavingLeavesEveryValueByteForByte) {
  StoreName(L"Comic Sans");
  StoreRaw(L"FontWeight", REG_BINARY, {1, 2, 3});
  StoreRaw(L"Other", REG_DWORD, {7, 0, 0, 0});
  RegValue name = Stored(L"FontName");

  FontSelection selection = OpenAndLoad();
  EXPECT_EQ(kNoFontIndex, selection.index);
  CloseSettingsKey();

  EXPECT_EQ(name.bytes, Stored(L"FontName").bytes);
  EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), Stored(L"FontWeight").bytes);
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), Stored(L"FontWeight").type);
  EXPECT_EQ((std::vector<BYTE>{7, 0, 0, 0}), Stored(L"Other").bytes);
}

// A volatile parent refuses the non-volatile settings key.
class UnopenableKeyTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    HKEY parent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Pellavor", 0, nullptr,
                                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                             &parent, nullptr));
    RegCloseKey(parent);
  }
};

TEST_F(UnopenableKeyTest, OpenFailsAndLoadGivesTheDefaults) {
  EXPECT_FALSE(OpenSettingsKey());
  FontSelection selection = LoadFontSelection();
  EXPECT_EQ(1, selection.index);
  EXPECT_FALSE(selection.bold);
}

TEST_F(UnopenableKeyTest, SaveAndCloseFailSilentlyAndWriteNothing) {
  EXPECT_FALSE(OpenSettingsKey());
  bool askedText = false, askedBox = false;
  SaveFontSelectionAndClose(Choice([&] { askedText = true; return std::wstring(L"宋体"); },
                            [&] { askedBox = true; return true; }));
  EXPECT_TRUE(askedText);
  EXPECT_TRUE(askedBox);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Stored(L"FontName").status);
  EXPECT_TRUE(ValueNames(HKEY_CURRENT_USER, L"Software\\Pellavor").empty());
}

// The test's own way of storing odd values: RegSetValueExW lengthens an
// unterminated string whose next unit in memory is zero, the helper never does.
TEST_F(StoreTest, OddValuesAreStoredExactlyWhateverFollowsThemInMemory) {
  const wchar_t text[] = L"ab";  // a zero unit right after the two stored
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  RegSetValueExW(key, L"Plain", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 4);
  RegCloseKey(key);
  EXPECT_EQ(6u, Stored(L"Plain").bytes.size()) << "the platform's own call adds a terminator";

  for (DWORD type : {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ}) {
    SCOPED_TRACE(type);
    ASSERT_EQ(ERROR_SUCCESS, WriteRegValue(HKEY_CURRENT_USER, kKey, L"Exact", type, text, 4));
    EXPECT_EQ(Utf16Bytes(L"ab", false), Stored(L"Exact").bytes);
    ASSERT_EQ(ERROR_SUCCESS, WriteRegValue(HKEY_CURRENT_USER, kKey, L"Exact", type, text, 3));
    EXPECT_EQ(3u, Stored(L"Exact").bytes.size());
  }
}

}  // namespace
