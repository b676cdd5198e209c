// The restore program: run in the game's folder, it puts every localised pack
// that has an undo record back to the original the player had, and says in
// one line per pack what it did. A pack changes only by a rename of a copy
// that has the original's exact size and checksum, so a run that is stopped
// or fails leaves each pack as it was; a record is removed only after.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Checksum.h"
#include "FileRegion.h"
#include "GbkConsole.h"
#include "PackTable.h"
#include "RecordFile.h"
#include "RestoreTexts.h"
#include "UniqueHandle.h"
#include "VcdiffDecoder.h"
#include "WindowWriter.h"

namespace {

// The copy's name while it is made, beside the pack so that the rename stays
// on one volume. The installer never looks at it; a later run replaces it.
constexpr wchar_t kCopySuffix[] = L".restoring";

// Takes the rebuilt original: checksums it, refuses anything past its size,
// and hands it to the writer thread.
class OriginalSink : public vcdiff::ByteSink {
 public:
  OriginalSink(HANDLE file, uint64_t expectedSize, const std::string& pack)
      : writer_(new WindowWriter(file, vcdiff::BufferSizes().maxTargetWindow)),
        expectedSize_(expectedSize),
        pack_(pack) {}

  uint8_t* WindowBuffer(size_t size) override { return writer_->Buffer(size); }
  bool Write(const uint8_t* data, size_t size) override {
    if (size > expectedSize_ - written_) return false;
    checksum_.Update(data, size);
    written_ += size;
    if (!writer_->Take(data, size)) return false;
    const int percent = static_cast<int>(written_ * 100 / expectedSize_);
    if (percent != shown_) {
      shown_ = percent;
      char line[512];
      std::snprintf(line, sizeof(line), kProgressText, pack_.c_str(),
                    std::to_string(percent).c_str());
      ShowProgress(line);
    }
    return true;
  }
  bool Finish() { return writer_->Finish(); }
  DWORD WriteError() const { return writer_->Error(); }
  uint64_t Written() const { return written_; }
  uint64_t Digest() const { return checksum_.Digest(); }

 private:
  std::unique_ptr<WindowWriter> writer_;
  uint64_t expectedSize_;
  std::string pack_;
  Checksum checksum_;
  uint64_t written_ = 0;
  int shown_ = -1;
};

bool IsAbsent(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool ReadWriteFailed(const std::wstring& file, DWORD error, const std::string& pack) {
  Say(kReadWriteText, ToConsoleText(file), std::to_string(error), pack);
  return false;
}

bool Refused(const char* text, const std::string& pack) {
  Say(text, pack);
  return false;
}

bool IsPatchableSize(const PackStep& step, uint64_t size) {
  for (int i = 0; i < step.patchableCount; ++i)
    if (static_cast<uint64_t>(step.patchable[i].size) == size) return true;
  return false;
}

// Rebuilds the original from the record into `copyPath`, flushed; false with
// the line said and nothing left at `copyPath`.
bool Rebuild(FileRegion& record, FileRegion& pack, const undo::RecordInfo& info,
             const std::wstring& recordPath, const std::wstring& packPath,
             const std::wstring& copyPath, const std::string& name) {
  ULARGE_INTEGER freeBytes;
  const std::wstring folder = copyPath.substr(0, copyPath.find_last_of(L'\\') + 1);
  if (GetDiskFreeSpaceExW(folder.empty() ? nullptr : folder.c_str(), &freeBytes, nullptr,
                          nullptr) &&
      freeBytes.QuadPart < info.originalSize) {
    Say(kDiskSpaceText, name, std::to_string((info.originalSize >> 20) + 1));
    return false;
  }
  UniqueHandle copy(CreateFileW(copyPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!copy.IsValid()) return ReadWriteFailed(copyPath, GetLastError(), name);

  bool whole = false;
  DWORD writeError = ERROR_SUCCESS;
  vcdiff::Result result;
  DWORD readError = ERROR_SUCCESS;
  {
    OriginalSink sink(copy.Get(), info.originalSize, name);
    result = vcdiff::Decode(record, pack, sink);
    readError = GetLastError();
    whole = result.status == vcdiff::Status::kOk && sink.Written() == info.originalSize &&
            sink.Digest() == info.originalHash;
    if (whole && !sink.Finish()) whole = false;
    writeError = sink.WriteError();
  }
  if (whole && !FlushFileBuffers(copy.Get())) {
    whole = false;
    writeError = GetLastError();
  }
  copy.Close();
  if (whole) return true;
  DeleteFileW(copyPath.c_str());

  if (writeError == ERROR_DISK_FULL || writeError == ERROR_HANDLE_DISK_FULL) {
    Say(kDiskSpaceText, name, std::to_string((info.originalSize >> 20) + 1));
    return false;
  }
  if (writeError != ERROR_SUCCESS) return ReadWriteFailed(copyPath, writeError, name);
  if (result.status == vcdiff::Status::kSourceRead)
    return ReadWriteFailed(packPath, readError, name);
  if (result.status == vcdiff::Status::kDeltaRead)
    return ReadWriteFailed(recordPath, readError, name);
  if (result.status == vcdiff::Status::kOutOfMemory)
    return ReadWriteFailed(copyPath, ERROR_NOT_ENOUGH_MEMORY, name);
  // The pack matched the record's localised end, so the record is what is wrong.
  return Refused(kDamagedRecordText, name);
}

// One pack: true when it is original now or was never there.
bool RestorePack(const PackStep& step) {
  const std::string name = step.pack;
  const std::wstring packPath(name.begin(), name.end());
  const std::wstring recordPath = undo::RecordPathFor(packPath);
  const std::wstring copyPath = packPath + kCopySuffix;
  // A copy left by a run that was stopped is never this run's.
  DeleteFileW(copyPath.c_str());

  UniqueHandle record(CreateFileW(recordPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!record.IsValid() && !IsAbsent(GetLastError()))
    return ReadWriteFailed(recordPath, GetLastError(), name);

  UniqueHandle pack(CreateFileW(packPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!pack.IsValid()) {
    const DWORD error = GetLastError();
    if (!IsAbsent(error)) return ReadWriteFailed(packPath, error, name);
    if (record.IsValid()) return Refused(kMissingText, name);
    Say(kAbsentText, name);
    return true;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(pack.Get(), &size)) return ReadWriteFailed(packPath, GetLastError(), name);
  FileRegion packBytes(pack.Get(), 0, static_cast<uint64_t>(size.QuadPart));

  if (!record.IsValid()) {
    if (!IsPatchableSize(step, packBytes.Size())) return Refused(kNoRecordText, name);
    Say(kAlreadyOriginalText, name);
    return true;
  }
  LARGE_INTEGER recordSize;
  if (!GetFileSizeEx(record.Get(), &recordSize))
    return ReadWriteFailed(recordPath, GetLastError(), name);
  FileRegion recordBytes(record.Get(), 0, static_cast<uint64_t>(recordSize.QuadPart));
  undo::RecordInfo info;
  if (!undo::ReadInfo(recordBytes, &info) || info.pack != undo::AsciiFileName(packPath))
    return Refused(kDamagedRecordText, name);

  const bool original = packBytes.Size() == info.originalSize;
  if (!original && packBytes.Size() != info.localisedSize) return Refused(kChangedText, name);
  char line[512];
  std::snprintf(line, sizeof(line), kCheckingText, name.c_str());
  ShowProgress(line);
  uint64_t digest = 0;
  if (!ChecksumRegion(packBytes, &digest)) return ReadWriteFailed(packPath, GetLastError(), name);
  if (original && digest == info.originalHash) {
    // Put back before, by this program stopped before it removed the record,
    // or by the launcher: the record is spent.
    record.Close();
    DeleteFileW(recordPath.c_str());
    Say(kAlreadyOriginalText, name);
    return true;
  }
  if (original || digest != info.localisedHash) return Refused(kChangedText, name);

  if (!Rebuild(recordBytes, packBytes, info, recordPath, packPath, copyPath, name)) return false;
  pack.Close();
  record.Close();
  if (!MoveFileExW(copyPath.c_str(), packPath.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    DeleteFileW(copyPath.c_str());
    return ReadWriteFailed(packPath, error, name);
  }
  // Should this fail, the next run finds the pack original and removes it then.
  DeleteFileW(recordPath.c_str());
  Say(kRestoredText, name);
  return true;
}

}  // namespace

int main() {
  PrintLine(kGreetingText);
  bool all = true;
  for (const PackStep& step : kPackSteps)
    if (!RestorePack(step)) all = false;
  ClearProgress();
  PrintLine(all ? kDoneText : kFailedText);
  // Run from Explorer, the console window would close before the user reads it.
  std::system("pause");
  return all ? 0 : 1;
}
