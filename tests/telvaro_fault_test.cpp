// Stored values that no confirm of Telvaro could have written, fed to the real
// program: it must show a sane state, keep them byte for byte when the user
// cancels, and store exactly what the dialog showed when the user confirms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScratchRegistry.h"
#include "TelvaroProcess.h"

namespace {

const wchar_t kParent[] = L"Software\\Pellavor";
const wchar_t kKey[] = L"Software\\Pellavor\\QUORVELIN";

// REG_NONE is a type a value can have, so absence needs a mark of its own.
constexpr DWORD kAbsent = 0xFFFFFFFF;

struct Stored {
  const char* what;
  DWORD nameType;  // kAbsent: no FontName
  std::vector<BYTE> name;
  DWORD weightType;  // kAbsent: no FontWeight
  std::vector<BYTE> weight;
  int shownIndex;  // what the list must show, -1 for nothing
  bool shownBold;
};

std::vector<BYTE> Units(size_t count, wchar_t unit, bool terminator) {
  return Utf16Bytes(std::wstring(count, unit), terminator);
}

std::vector<Stored> Cases() {
  const std::vector<BYTE> heiti = Utf16Bytes(L"黑体");
  const std::vector<BYTE> bold = {0xBC, 0x02, 0, 0};
  std::vector<BYTE> oddHeiti = Utf16Bytes(L"黑体", false);
  oddHeiti.push_back(0x41);
  return {
      {"name as REG_BINARY", REG_BINARY, heiti, REG_DWORD, bold, 2, true},
      {"name as REG_EXPAND_SZ", REG_EXPAND_SZ, heiti, kAbsent, {}, 2, false},
      {"name as REG_MULTI_SZ",
       REG_MULTI_SZ,
       Utf16Bytes(std::wstring(L"黑体\0", 3)),
       kAbsent,
       {},
       2,
       false},
      {"name as REG_DWORD", REG_DWORD, {1, 2, 3, 4}, kAbsent, {}, -1, false},
      {"empty name data", REG_SZ, {}, kAbsent, {}, -1, false},
      {"odd-sized name", REG_SZ, oddHeiti, kAbsent, {}, -1, false},
      {"unterminated name", REG_SZ, Utf16Bytes(L"楷体", false), kAbsent, {}, 3, false},
      {"1023 units and terminator", REG_SZ, Units(1023, L'x', true), kAbsent, {}, -1, false},
      {"1024 units without terminator", REG_SZ, Units(1024, L'x', false), kAbsent, {}, -1, false},
      {"1024 units", REG_SZ, Units(1024, L'x', true), kAbsent, {}, 1, false},
      {"4096 units", REG_SZ, Units(4096, L'x', true), kAbsent, {}, 1, false},
      {"name as REG_NONE", REG_NONE, heiti, REG_NONE, bold, 2, true},
      {"name as REG_LINK", REG_LINK, heiti, REG_DWORD_BIG_ENDIAN, {0, 0, 0x02, 0xBC}, 2, false},
      {"name as REG_RESOURCE_LIST", REG_RESOURCE_LIST, heiti, REG_QWORD, {}, 2, false},
      {"name as REG_FULL_RESOURCE_DESCRIPTOR", REG_FULL_RESOURCE_DESCRIPTOR, Utf16Bytes(L"宋体"),
       REG_MULTI_SZ, Utf16Bytes(std::wstring(L"700\0", 4)), 1, false},
      {"name as REG_RESOURCE_REQUIREMENTS_LIST",
       REG_RESOURCE_REQUIREMENTS_LIST,
       {0xFF},
       REG_LINK,
       bold,
       -1,
       true},
      {"weight as REG_DWORD_BIG_ENDIAN 700", kAbsent, {}, REG_DWORD_BIG_ENDIAN, bold, 1, true},
      {"weight as REG_SZ", kAbsent, {}, REG_SZ, Utf16Bytes(L"700"), 1, false},
      {"weight of one byte", kAbsent, {}, REG_BINARY, {0xBC}, 1, false},
      {"weight with no data", kAbsent, {}, REG_DWORD, {}, 1, false},
      {"weight as REG_QWORD 700", kAbsent, {}, REG_QWORD, {0xBC, 0x02, 0, 0, 0, 0, 0, 0}, 1, true},
      {"weight of 4096 bytes", kAbsent, {}, REG_BINARY, std::vector<BYTE>(4096, 0xBC), 1, false},
  };
}

class TelvaroFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kParent); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kParent); }

  static void Store(const Stored& c) {
    if (c.nameType != kAbsent) {
      ASSERT_EQ(ERROR_SUCCESS, WriteRegValue(HKEY_CURRENT_USER, kKey, L"FontName", c.nameType,
                                             c.name.data(), static_cast<DWORD>(c.name.size())));
    }
    if (c.weightType != kAbsent) {
      ASSERT_EQ(ERROR_SUCCESS, WriteRegValue(HKEY_CURRENT_USER, kKey, L"FontWeight", c.weightType,
                                             c.weight.data(), static_cast<DWORD>(c.weight.size())));
    }
  }

  // Starts Telvaro, checks what it shows, then presses the key.
  static void RunAndPress(const Stored& c, WORD vk) {
    TelvaroProcess program;
    ASSERT_TRUE(program.started()) << program.StartError();
    HWND dialog = program.WaitForWindow(true);
    ASSERT_NE(nullptr, dialog) << "no dialog: the program ended or hung";
    EXPECT_EQ(c.shownIndex == -1 ? CB_ERR : c.shownIndex,
              SendDlgItemMessageW(dialog, 1001, CB_GETCURSEL, 0, 0));
    EXPECT_EQ(c.shownBold ? BST_CHECKED : BST_UNCHECKED,
              SendDlgItemMessageW(dialog, 1000, BM_GETCHECK, 0, 0));
    program.PressKey(vk);
    ASSERT_TRUE(program.WaitForExit());
  }
};

TEST_F(TelvaroFaultTest, CancelKeepsOddValuesByteForByte) {
  for (const Stored& c : Cases()) {
    SCOPED_TRACE(c.what);
    RegDeleteTreeW(HKEY_CURRENT_USER, kParent);
    Store(c);
    RunAndPress(c, VK_ESCAPE);
    RegValue name = ReadRegValue(HKEY_CURRENT_USER, kKey, L"FontName");
    RegValue weight = ReadRegValue(HKEY_CURRENT_USER, kKey, L"FontWeight");
    if (c.nameType == kAbsent) {
      EXPECT_EQ(ERROR_FILE_NOT_FOUND, name.status);
    } else {
      EXPECT_EQ(c.nameType, name.type);
      EXPECT_EQ(c.name, name.bytes);
    }
    if (c.weightType == kAbsent) {
      EXPECT_EQ(ERROR_FILE_NOT_FOUND, weight.status);
    } else {
      EXPECT_EQ(c.weightType, weight.type);
      EXPECT_EQ(c.weight, weight.bytes);
    }
  }
}

TEST_F(TelvaroFaultTest, ConfirmStoresExactlyWhatWasShown) {
  const wchar_t* faces[] = {L"微软雅黑", L"宋体", L"黑体", L"楷体"};
  for (const Stored& c : Cases()) {
    SCOPED_TRACE(c.what);
    RegDeleteTreeW(HKEY_CURRENT_USER, kParent);
    Store(c);
    RunAndPress(c, VK_RETURN);
    RegValue name = ReadRegValue(HKEY_CURRENT_USER, kKey, L"FontName");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), name.type);
    const std::vector<BYTE> shown =
        c.shownIndex == -1 ? std::vector<BYTE>{0, 0} : Utf16Bytes(faces[c.shownIndex]);
    EXPECT_EQ(shown, name.bytes);
    RegValue weight = ReadRegValue(HKEY_CURRENT_USER, kKey, L"FontWeight");
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), weight.type);
    const DWORD expected = c.shownBold ? 700 : 400;
    EXPECT_EQ(std::vector<BYTE>(reinterpret_cast<const BYTE*>(&expected),
                                reinterpret_cast<const BYTE*>(&expected) + 4),
              weight.bytes);
  }
}

}  // namespace
