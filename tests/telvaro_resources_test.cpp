// The built Telvaro.exe's resources, read back from the file itself.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "UniqueHandle.h"
#include "WinePath.h"

namespace {

const WORD kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

class TelvaroResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = LoadLibraryExW(testkit::PathFromEnvironment(L"TELVARO_EXE").c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }
  static void TearDownTestSuite() { FreeLibrary(module_); }
  void SetUp() override { ASSERT_NE(nullptr, module_) << "set TELVARO_EXE"; }

  static std::vector<BYTE> Resource(const wchar_t* type, const wchar_t* name, WORD language) {
    HRSRC info = FindResourceExW(module_, type, name, language);
    if (!info) return {};
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module_, info)));
    return std::vector<BYTE>(data, data + SizeofResource(module_, info));
  }
  static std::vector<WORD> Languages(const wchar_t* type, const wchar_t* name) {
    std::vector<WORD> languages;
    EnumResourceLanguagesW(module_, type, name, AddLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    return languages;
  }
  static BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
    return TRUE;
  }

  static inline HMODULE module_ = nullptr;
};

// Walks a DLGTEMPLATEEX the way the dialog manager reads it.
class TemplateReader {
 public:
  explicit TemplateReader(const std::vector<BYTE>& bytes) : bytes_(bytes) {}
  WORD Word() { WORD v = 0; Copy(&v, 2); return v; }
  DWORD Dword() { DWORD v = 0; Copy(&v, 4); return v; }
  short Short() { return static_cast<short>(Word()); }
  BYTE Byte() { BYTE v = 0; Copy(&v, 1); return v; }
  std::wstring String() {
    std::wstring s;
    for (WORD c; (c = Word()) != 0 && ok_;) s += static_cast<wchar_t>(c);
    return s;
  }
  // A class, menu or title: either 0xFFFF and an ordinal, or a string.
  std::wstring SzOrOrd() {
    WORD first = Word();
    if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
    std::wstring s;
    for (WORD c = first; c != 0 && ok_; c = Word()) s += static_cast<wchar_t>(c);
    return s;
  }
  void AlignDword() { pos_ = (pos_ + 3) & ~size_t{3}; }
  void Skip(size_t n) { pos_ += n; }
  bool ok() const { return ok_ && pos_ <= bytes_.size(); }
  bool AtEnd() const { return pos_ >= bytes_.size(); }

 private:
  void Copy(void* out, size_t n) {
    if (pos_ + n > bytes_.size()) { ok_ = false; return; }
    std::memcpy(out, bytes_.data() + pos_, n);
    pos_ += n;
  }
  const std::vector<BYTE>& bytes_;
  size_t pos_ = 0;
  bool ok_ = true;
};

std::wstring ClassName(const std::wstring& cls) {
  if (cls == L"#128") return L"button";
  if (cls == L"#133") return L"combobox";
  std::wstring lower = cls;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  return lower;
}

struct Control {
  DWORD id, style, exStyle;
  short x, y, cx, cy;
  std::wstring cls, text;
};

TEST_F(TelvaroResources, DialogTemplateFrame) {
  EXPECT_EQ(std::vector<WORD>{kChinesePrc}, Languages(RT_DIALOG, MAKEINTRESOURCEW(102)));
  std::vector<BYTE> bytes = Resource(RT_DIALOG, MAKEINTRESOURCEW(102), kChinesePrc);
  ASSERT_FALSE(bytes.empty());
  TemplateReader t(bytes);
  EXPECT_EQ(1, t.Word());       // DLGTEMPLATEEX
  EXPECT_EQ(0xFFFF, t.Word());
  EXPECT_EQ(0u, t.Dword());     // help id
  EXPECT_EQ(0x00040000u, t.Dword());
  EXPECT_EQ(0x90C60048u, t.Dword());
  EXPECT_EQ(4, t.Word());
  EXPECT_EQ(0, t.Short());
  EXPECT_EQ(0, t.Short());
  EXPECT_EQ(120, t.Short());
  EXPECT_EQ(62, t.Short());
  EXPECT_EQ(L"", t.SzOrOrd());  // no menu
  EXPECT_EQ(L"", t.SzOrOrd());  // the dialog manager's own class
  EXPECT_EQ(L"Telvaro", t.String());
  EXPECT_EQ(9, t.Word());
  EXPECT_EQ(0, t.Word());       // weight
  EXPECT_EQ(0, t.Byte());       // not italic
  EXPECT_EQ(1, t.Byte());       // charset
  EXPECT_EQ(L"MS Shell Dlg", t.String());
  EXPECT_TRUE(t.ok());
}

TEST_F(TelvaroResources, DialogControlsInTabOrder) {
  std::vector<BYTE> bytes = Resource(RT_DIALOG, MAKEINTRESOURCEW(102), kChinesePrc);
  ASSERT_FALSE(bytes.empty());
  TemplateReader t(bytes);
  t.Skip(2 + 2 + 4 + 4 + 4);
  const WORD count = t.Word();
  t.Skip(8);
  t.SzOrOrd();
  t.SzOrOrd();
  t.String();
  t.Skip(2 + 2 + 1 + 1);
  t.String();

  std::vector<Control> controls;
  for (WORD i = 0; i < count; ++i) {
    t.AlignDword();
    Control c{};
    t.Dword();  // help id
    c.exStyle = t.Dword();
    c.style = t.Dword();
    c.x = t.Short();
    c.y = t.Short();
    c.cx = t.Short();
    c.cy = t.Short();
    c.id = t.Dword();
    c.cls = ClassName(t.SzOrOrd());
    c.text = t.SzOrOrd();
    t.Skip(t.Word());  // creation data
    controls.push_back(c);
  }
  ASSERT_TRUE(t.ok());
  t.AlignDword();
  EXPECT_TRUE(t.AtEnd());

  const Control expected[] = {
      {1, 0x50010001, 0, 7, 41, 50, 14, L"button", L"确定"},
      {2, 0x50010000, 0, 62, 41, 50, 14, L"button", L"取消"},
      {1000, 0x50010003, 0, 7, 23, 84, 12, L"button", L"加粗"},
      {1001, 0x50210003, 0, 7, 7, 88, 15, L"combobox", L""},
  };
  ASSERT_EQ(4u, controls.size());
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i].id, controls[i].id);
    EXPECT_EQ(expected[i].style, controls[i].style);
    EXPECT_EQ(expected[i].exStyle, controls[i].exStyle);
    EXPECT_EQ(expected[i].x, controls[i].x);
    EXPECT_EQ(expected[i].y, controls[i].y);
    EXPECT_EQ(expected[i].cx, controls[i].cx);
    EXPECT_EQ(expected[i].cy, controls[i].cy);
    EXPECT_EQ(expected[i].cls, controls[i].cls);
    EXPECT_EQ(expected[i].text, controls[i].text);
  }
}

TEST_F(TelvaroResources, IconIsOne128PixelImageOf32Bits) {
  std::vector<WORD> languages = Languages(RT_GROUP_ICON, MAKEINTRESOURCEW(130));
  ASSERT_EQ(1u, languages.size());
  std::vector<BYTE> group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(130), languages[0]);
  ASSERT_EQ(6u + 14u, group.size());
  EXPECT_EQ(1, group[2] | (group[3] << 8));  // icons, not cursors
  EXPECT_EQ(1, group[4] | (group[5] << 8));  // one image
  const BYTE* entry = group.data() + 6;
  EXPECT_EQ(128, entry[0]);
  EXPECT_EQ(128, entry[1]);
  EXPECT_EQ(32, entry[6] | (entry[7] << 8));
  const WORD imageId = entry[12] | (entry[13] << 8);

  std::vector<BYTE> image = Resource(RT_ICON, MAKEINTRESOURCEW(imageId), languages[0]);
  ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
  BITMAPINFOHEADER header;
  std::memcpy(&header, image.data(), sizeof(header));
  EXPECT_EQ(128, header.biWidth);
  EXPECT_EQ(256, header.biHeight);  // colour and mask
  EXPECT_EQ(32, header.biBitCount);
  EXPECT_EQ(sizeof(header) + 128u * 128u * 4u + 128u * 16u, image.size());
}

// The machine field of the file's PE header: 0x14c for x86, 0x8664 for x64.
WORD MachineOfFile(const std::wstring& path) {
  std::vector<BYTE> head(4096);
  const UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  DWORD got = 0;
  if (!file.IsValid()) return 0;
  ReadFile(file.Get(), head.data(), static_cast<DWORD>(head.size()), &got, nullptr);
  LONG peOffset = 0;
  if (got < 0x40) return 0;
  std::memcpy(&peOffset, &head[0x3C], sizeof(peOffset));
  WORD machine = 0;
  if (peOffset < 0 || static_cast<DWORD>(peOffset) + 6 > got) return 0;
  std::memcpy(&machine, &head[peOffset + 4], sizeof(machine));
  return machine;
}

// The common controls named must be those of the program's own processor:
// a 64-bit program that asks for the x86 ones cannot start.
TEST_F(TelvaroResources, ManifestAsksForCommonControls6AsInvokerDpiAware) {
  EXPECT_EQ(std::vector<WORD>{kEnglishUs}, Languages(RT_MANIFEST, MAKEINTRESOURCEW(1)));
  std::vector<BYTE> bytes = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1), kEnglishUs);
  std::string text(bytes.begin(), bytes.end());
  const WORD machine = MachineOfFile(testkit::PathFromEnvironment(L"TELVARO_EXE"));
  ASSERT_TRUE(machine == IMAGE_FILE_MACHINE_I386 || machine == IMAGE_FILE_MACHINE_AMD64) << machine;
  const std::string identity =
      std::string("<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" "
                  "version=\"6.0.0.0\" processorArchitecture=\"") +
      (machine == IMAGE_FILE_MACHINE_I386 ? "x86" : "amd64") +
      "\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>";
  for (const char* part :
       {identity.c_str(),
        "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
        ">true</dpiAware>"}) {
    EXPECT_NE(std::string::npos, text.find(part)) << part;
  }
}

TEST_F(TelvaroResources, VersionBlock) {
  const std::wstring path = testkit::PathFromEnvironment(L"TELVARO_EXE");
  DWORD handle = 0;
  std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), &handle));
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
  EXPECT_EQ(0x00000001u, fixed->dwFileVersionLS);
  EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
  EXPECT_EQ(0x00000001u, fixed->dwProductVersionLS);
  EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
  EXPECT_EQ(static_cast<DWORD>(VOS_NT_WINDOWS32), fixed->dwFileOS);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(4u, length);  // one string table
  EXPECT_EQ(0x0804, translation[0]);
  EXPECT_EQ(1200, translation[1]);

  const std::pair<const wchar_t*, const wchar_t*> strings[] = {
      {L"FileDescription", L"Telvaro"},
      {L"ProductName", L"Telvaro"},
      {L"InternalName", L"Telvaro.exe"},
      {L"OriginalFilename", L"Telvaro.exe"},
      {L"FileVersion", L"1.0.0.1"},
      {L"ProductVersion", L"1.0.0.1"},
  };
  for (const auto& [name, value] : strings) {
    wchar_t* text = nullptr;
    std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    ASSERT_TRUE(
        VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
        << static_cast<int>(query.size());
    EXPECT_STREQ(value, text);
  }
}

}  // namespace
