// The real Telvaro.exe, started as its own process and driven through its
// dialog as a user would; the stored bytes are read afterwards. The program
// sees this prefix's own HKEY_CURRENT_USER, so each case sets up the key first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScratchRegistry.h"
#include "TelvaroProcess.h"

namespace {

const wchar_t kParent[] = L"Software\\Pellavor";
const wchar_t kKey[] = L"Software\\Pellavor\\QUORVELIN";
std::wstring ComboText(HWND dialog) {
  wchar_t text[64] = {};
  GetDlgItemTextW(dialog, 1001, text, 64);
  return text;
}

class TelvaroDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kParent); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kParent); }

  static void StoreName(const std::wstring& name) {
    auto bytes = Utf16Bytes(name);
    ASSERT_EQ(ERROR_SUCCESS, WriteRegValue(HKEY_CURRENT_USER, kKey, L"FontName", REG_SZ,
                                           bytes.data(), static_cast<DWORD>(bytes.size())));
  }
  static void StoreWeight(DWORD weight) {
    ASSERT_EQ(ERROR_SUCCESS, WriteRegValue(HKEY_CURRENT_USER, kKey, L"FontWeight", REG_DWORD,
                                           &weight, sizeof(weight)));
  }
  static RegValue Stored(const wchar_t* name) {
    return ReadRegValue(HKEY_CURRENT_USER, kKey, name);
  }
  static std::vector<BYTE> Dword(DWORD value) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(p, p + 4);
  }

  // Starts the program, waits for its dialog, acts, and waits for it to end.
  template <class Act>
  static void RunDialog(Act act) {
    TelvaroProcess program;
    ASSERT_TRUE(program.started()) << program.StartError();
    HWND dialog = program.WaitForWindow(true);
    ASSERT_NE(nullptr, dialog);
    act(program, dialog);
    ASSERT_TRUE(program.WaitForExit());
  }
};

TEST_F(TelvaroDialogTest, FirstStartCreatesTheKeyShowsSongtiAndCancelStoresNothing) {
  RunDialog([](const TelvaroProcess& program, HWND dialog) {
    wchar_t title[64] = {};
    GetWindowTextW(dialog, title, 64);
    EXPECT_STREQ(L"Telvaro", title);
    EXPECT_EQ(4, SendDlgItemMessageW(dialog, 1001, CB_GETCOUNT, 0, 0));
    const wchar_t* faces[] = {L"微软雅黑", L"宋体", L"黑体", L"楷体"};
    for (int i = 0; i < 4; ++i) {
      wchar_t face[32] = {};
      SendDlgItemMessageW(dialog, 1001, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(face));
      EXPECT_STREQ(faces[i], face);
    }
    EXPECT_EQ(1, SendDlgItemMessageW(dialog, 1001, CB_GETCURSEL, 0, 0));
    EXPECT_EQ(L"宋体", ComboText(dialog));
    EXPECT_EQ(BST_UNCHECKED, SendDlgItemMessageW(dialog, 1000, BM_GETCHECK, 0, 0));
    EXPECT_EQ(GetDlgItem(dialog, IDOK), program.Focus());

    // The key exists while the dialog is up.
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key));
    RegCloseKey(key);
    program.PressKey(VK_ESCAPE);
  });
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key));
  RegCloseKey(key);
  EXPECT_TRUE(ValueNames(HKEY_CURRENT_USER, kKey).empty());
}

TEST_F(TelvaroDialogTest, EnterAtOnceRewritesTheLoadedChoice) {
  struct Case {
    const wchar_t* name;  // null: no value
    DWORD weight;         // 0: no value
    std::vector<BYTE> nameBytes;
    DWORD storedWeight;
  };
  const Case cases[] = {
      {L"黑体", 700, Utf16Bytes(L"黑体"), 700},
      {L"微软雅黑", 400, Utf16Bytes(L"微软雅黑"), 400},
      {L"Arial", 701, {0, 0}, 400},
      {nullptr, 0, Utf16Bytes(L"宋体"), 400},
      {nullptr, 700, Utf16Bytes(L"宋体"), 700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? static_cast<int>(wcslen(c.name)) : -1);
    RegDeleteTreeW(HKEY_CURRENT_USER, kParent);
    if (c.name) StoreName(c.name);
    if (c.weight) StoreWeight(c.weight);
    RunDialog([](const TelvaroProcess& program, HWND) { program.PressKey(VK_RETURN); });
    RegValue name = Stored(L"FontName");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), name.type);
    EXPECT_EQ(c.nameBytes, name.bytes);
    RegValue weight = Stored(L"FontWeight");
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), weight.type);
    EXPECT_EQ(Dword(c.storedWeight), weight.bytes);
  }
}

TEST_F(TelvaroDialogTest, EscapeAndCloseRequestStoreNothing) {
  StoreName(L"Arial");
  const BYTE oddWeight[] = {0xBC, 0x02, 0x99};
  ASSERT_EQ(ERROR_SUCCESS, WriteRegValue(HKEY_CURRENT_USER, kKey, L"FontWeight", REG_BINARY,
                                         oddWeight, sizeof(oddWeight)));
  RunDialog([](const TelvaroProcess& program, HWND dialog) {
    EXPECT_EQ(CB_ERR, SendDlgItemMessageW(dialog, 1001, CB_GETCURSEL, 0, 0));
    EXPECT_EQ(L"", ComboText(dialog));
    EXPECT_EQ(BST_CHECKED, SendDlgItemMessageW(dialog, 1000, BM_GETCHECK, 0, 0));
    SendDlgItemMessageW(dialog, 1001, CB_SETCURSEL, 3, 0);  // changed, then abandoned
    program.PressKey(VK_ESCAPE);
  });
  RunDialog([](const TelvaroProcess&, HWND dialog) { PostMessageW(dialog, WM_CLOSE, 0, 0); });

  EXPECT_EQ(Utf16Bytes(L"Arial"), Stored(L"FontName").bytes);
  RegValue weight = Stored(L"FontWeight");
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), weight.type);
  EXPECT_EQ(std::vector<BYTE>(oddWeight, oddWeight + 3), weight.bytes);
}

TEST_F(TelvaroDialogTest, PickAnotherFontClearBoldAndConfirm) {
  StoreName(L"黑体");
  StoreWeight(700);
  RunDialog([](const TelvaroProcess& program, HWND dialog) {
    EXPECT_EQ(2, SendDlgItemMessageW(dialog, 1001, CB_GETCURSEL, 0, 0));
    EXPECT_EQ(BST_CHECKED, SendDlgItemMessageW(dialog, 1000, BM_GETCHECK, 0, 0));
    SendDlgItemMessageW(dialog, 1001, CB_SETCURSEL, 3, 0);
    SendMessageW(GetDlgItem(dialog, 1000), BM_CLICK, 0, 0);  // the box toggles itself
    EXPECT_EQ(BST_UNCHECKED, SendDlgItemMessageW(dialog, 1000, BM_GETCHECK, 0, 0));
    program.PressKey(VK_RETURN);
  });
  EXPECT_EQ((std::vector<BYTE>{0x77, 0x69, 0x53, 0x4F, 0, 0}), Stored(L"FontName").bytes);
  EXPECT_EQ(Dword(400), Stored(L"FontWeight").bytes);
  EXPECT_EQ((std::vector<std::wstring>{L"FontName", L"FontWeight"}),
            ValueNames(HKEY_CURRENT_USER, kKey));
}

TEST_F(TelvaroDialogTest, ClickingConfirmWithBoldTicked) {
  RunDialog([](const TelvaroProcess&, HWND dialog) {
    SendMessageW(GetDlgItem(dialog, 1000), BM_CLICK, 0, 0);
    SendDlgItemMessageW(dialog, 1001, CB_SETCURSEL, 0, 0);
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  });
  EXPECT_EQ(Utf16Bytes(L"微软雅黑"), Stored(L"FontName").bytes);
  EXPECT_EQ(Dword(700), Stored(L"FontWeight").bytes);
}

// Acts on a settled dialog (see TelvaroProcess::WaitForWindow), so nothing the
// dialog manager does on its own undoes the minimise.
TEST_F(TelvaroDialogTest, MinimisedDialogPaintsItsIconAndRestores) {
  RunDialog([](const TelvaroProcess&, HWND dialog) {
    ShowWindow(dialog, SW_MINIMIZE);
    EXPECT_TRUE(IsIconic(dialog));
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);
    // The paint validated the window; nothing is left to paint.
    EXPECT_FALSE(GetUpdateRect(dialog, nullptr, FALSE));
    ShowWindow(dialog, SW_RESTORE);
    EXPECT_FALSE(IsIconic(dialog));
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);
    EXPECT_FALSE(GetUpdateRect(dialog, nullptr, FALSE));
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  EXPECT_TRUE(ValueNames(HKEY_CURRENT_USER, kKey).empty());
}

// A volatile parent key makes the non-volatile settings key impossible to create.
class UnopenableKeyDialogTest : public TelvaroDialogTest {
 protected:
  void SetUp() override {
    TelvaroDialogTest::SetUp();
    HKEY parent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kParent, 0, nullptr,
                                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                             &parent, nullptr));
    RegCloseKey(parent);
  }

  // Checks the box, answers it, and returns the dialog behind it.
  static HWND AnswerRegistryMessage(const TelvaroProcess& program) {
    HWND box = program.WaitForWindow(false);
    EXPECT_NE(nullptr, box);
    if (!box) return nullptr;
    wchar_t title[64] = {};
    GetWindowTextW(box, title, 64);
    EXPECT_STREQ(L"Telvaro", title);
    wchar_t text[64] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 64);
    EXPECT_STREQ(L"Can't open Registry", text);

    // OK only.
    EXPECT_NE(nullptr, GetDlgItem(box, IDOK));
    for (int id : {IDCANCEL, IDYES, IDNO, IDABORT, IDRETRY, IDIGNORE}) {
      HWND button = GetDlgItem(box, id);
      EXPECT_TRUE(!button || !IsWindowVisible(button)) << id;
    }
    HWND owner = GetWindow(box, GW_OWNER);
    wchar_t ownerClass[64] = {};
    GetClassNameW(owner, ownerClass, 64);
    EXPECT_STREQ(L"#32770", ownerClass);
    EXPECT_NE(nullptr, GetDlgItem(owner, 1001)) << "owned by the font dialog";

    program.PressKey(VK_RETURN);
    return program.WaitForWindow(true);
  }
};

TEST_F(UnopenableKeyDialogTest, MessageThenDefaultsAndConfirmStillCloses) {
  TelvaroProcess program;
  ASSERT_TRUE(program.started()) << program.StartError();
  HWND dialog = AnswerRegistryMessage(program);
  ASSERT_NE(nullptr, dialog);
  EXPECT_EQ(1, SendDlgItemMessageW(dialog, 1001, CB_GETCURSEL, 0, 0));
  EXPECT_EQ(BST_UNCHECKED, SendDlgItemMessageW(dialog, 1000, BM_GETCHECK, 0, 0));
  SendMessageW(GetDlgItem(dialog, 1000), BM_CLICK, 0, 0);
  program.PressKey(VK_RETURN);
  ASSERT_TRUE(program.WaitForExit());
  EXPECT_TRUE(ValueNames(HKEY_CURRENT_USER, kParent).empty());
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key));
}

TEST_F(UnopenableKeyDialogTest, CancelStillCloses) {
  TelvaroProcess program;
  ASSERT_TRUE(program.started()) << program.StartError();
  ASSERT_NE(nullptr, AnswerRegistryMessage(program));
  program.PressKey(VK_ESCAPE);
  ASSERT_TRUE(program.WaitForExit());
}

}  // namespace
