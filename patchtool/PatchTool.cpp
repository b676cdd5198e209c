// A pack's patch tool. The installer runs it in the game's folder as
// `NN.exe SOURCE TARGET`, hidden, on its own console, while it holds SOURCE open
// for shared reading. It applies the delta it carries to SOURCE and makes TARGET
// appear only once the whole result is written, flushed and verified; on any
// failure it leaves nothing behind and says in one line which case it is.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "Checksum.h"
#include "DeltaAdvice.h"
#include "FileRegion.h"
#include "GbkConsole.h"
#include "PatchTrailer.h"
#include "RecordFile.h"
#include "ToolTexts.h"
#include "UniqueHandle.h"
#include "VcdiffDecoder.h"
#include "WindowWriter.h"

namespace {

enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitWrongVersion = 2,
  kExitDamaged = 3,
  kExitDiskSpace = 4,
  kExitReadWrite = 5,
};

constexpr wchar_t kPartSuffix[] = L".part";
// make-patch-tool's check of a new tool: the whole decode and check, no output.
constexpr wchar_t kVerifyOption[] = L"--verify";

// No memory for the run, or no thread: the line needs none.
int OutOfMemory() {
  Say(kOutOfMemoryText);
  return kExitReadWrite;
}

bool IsOutOfMemory(DWORD error) {
  return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY;
}

// A failure to read, open or write `path`, as the system reported it. Write
// failures come here through WriteFailed.
int ReadWriteFailed(const std::wstring& path, DWORD error) {
  if (IsOutOfMemory(error)) return OutOfMemory();
  Say(kReadWriteText, ToConsoleText(path), std::to_string(error));
  return kExitReadWrite;
}

int Damaged(const std::string& detail) {
  Say(kDamagedText, detail);
  return kExitDamaged;
}

int WrongVersion(const std::wstring& source) {
  Say(kWrongVersionText, ToConsoleText(source));
  return kExitWrongVersion;
}

std::string Megabytes(uint64_t bytes) { return std::to_string((bytes + (1u << 20) - 1) >> 20); }

// The tool's own file, its trailer found (before the certificate table, once
// the tool is signed) and every byte of ours matching the checksum recorded
// when it was made.
int OpenOwnFile(UniqueHandle* file, std::wstring* toolPath, PatchTrailer* trailer) {
  std::wstring& path = *toolPath;
  path.assign(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return ReadWriteFailed(L"?", GetLastError());
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  file->Reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file->IsValid()) return ReadWriteFailed(path, GetLastError());

  LARGE_INTEGER size;
  if (!GetFileSizeEx(file->Get(), &size)) return ReadWriteFailed(path, GetLastError());
  FileRegion whole(file->Get(), 0, static_cast<uint64_t>(size.QuadPart));
  const TrailerStatus status = ReadPatchTrailer(whole, trailer);
  if (status == TrailerStatus::kReadError) return ReadWriteFailed(path, GetLastError());
  if (status != TrailerStatus::kOk) return Damaged(TrailerProblem(status));
  return kExitOk;
}

// Takes the decoded windows: checksums them, refuses anything past the localised
// pack's size, and hands them to a writer thread for the hidden copy (when
// there is one) while the decoder goes on with the next.
class TargetSink : public vcdiff::ByteSink {
 public:
  TargetSink(HANDLE file, uint64_t expectedSize, const std::string& packName)
      : writer_(file ? new WindowWriter(file, vcdiff::BufferSizes().maxTargetWindow) : nullptr),
        expectedSize_(expectedSize),
        packName_(packName) {}

  uint8_t* WindowBuffer(size_t size) override { return writer_ ? writer_->Buffer(size) : nullptr; }

  bool Write(const uint8_t* data, size_t size) override {
    if (size > expectedSize_ - written_) {
      overflow_ = true;
      return false;
    }
    checksum_.Update(data, size);
    written_ += size;
    if (writer_ && !writer_->Take(data, size)) return false;
    ReportProgress();
    return true;
  }

  // Waits for the last windows to be written and ends the file at its full size.
  bool Finish() { return !writer_ || writer_->Finish(); }
  // Stops writing: what is queued is dropped, and only a write or flush under
  // way is waited for, since a call into the system cannot be cut short.
  void Abandon() { writer_.reset(); }

  uint64_t Written() const { return written_; }
  uint64_t Digest() const { return checksum_.Digest(); }
  bool Overflowed() const { return overflow_; }
  DWORD WriteError() const { return writer_ ? writer_->Error() : ERROR_SUCCESS; }

 private:
  void ReportProgress() {
    const int percent = expectedSize_ == 0 ? 100 : static_cast<int>(written_ * 100 / expectedSize_);
    if (percent == shownPercent_) return;
    shownPercent_ = percent;
    char line[512];
    std::snprintf(line, sizeof(line), kProgressText, packName_.c_str(),
                  std::to_string(percent).c_str());
    ShowProgress(line);
  }

  std::unique_ptr<WindowWriter> writer_;
  uint64_t expectedSize_;
  std::string packName_;
  Checksum checksum_;
  uint64_t written_ = 0;
  bool overflow_ = false;
  int shownPercent_ = -1;
};

// ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64's winerror.h lacks.
constexpr DWORD kErrorDiskQuotaExceeded = 1295;

// A full disk, or the user's share of it used up (a quota), whenever it shows:
// writing, flushing, or ending the file at its size. Windows reports a disk
// quota as ERROR_DISK_QUOTA_EXCEEDED; ERROR_NOT_ENOUGH_QUOTA is a quota of
// another kind that the write met, and asking for room is the best advice for
// it too. Wine reports a Linux quota (EDQUOT) only as ERROR_GEN_FAILURE, which
// says nothing, so under Wine it is a failed write.
bool IsDiskFull(DWORD error) {
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ||
         error == kErrorDiskQuotaExceeded || error == ERROR_NOT_ENOUGH_QUOTA;
}

int DiskFull(uint64_t targetSize, uint64_t freeBytes) {
  Say(kDiskSpaceText, Megabytes(targetSize), std::to_string(freeBytes >> 20));
  return kExitDiskSpace;
}

// Every failure to make the copy ends here, whatever failed (a write on the
// writer thread, a flush on the flusher thread or at the end, ending the file
// at its size, the check of its size, the rename) and whenever: the error
// alone decides the line and the exit code.
int WriteFailed(const std::wstring& path, DWORD error, uint64_t targetSize) {
  if (IsDiskFull(error)) return DiskFull(targetSize, 0);
  return ReadWriteFailed(path, error);
}

// The copy as the file system has it before it is renamed: written, flushed,
// and exactly as long as the localised pack. (What went into it was checked
// window by window and whole; the length is what shows a write or an end of
// file that went wrong on the way, a hole left out at the end included.)
int CheckWritten(HANDLE part, const std::wstring& partPath, uint64_t targetSize) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(part, &size)) return WriteFailed(partPath, GetLastError(), targetSize);
  if (static_cast<uint64_t>(size.QuadPart) != targetSize)
    return WriteFailed(partPath, ERROR_WRITE_FAULT, targetSize);
  return kExitOk;
}

// TARGET.part is removed on every way out of a run but its rename, an
// exception for want of memory included; declared before the file's handle,
// it goes after the handle is closed.
class PartFile {
 public:
  explicit PartFile(const std::wstring& path) : path_(path) {}
  ~PartFile() {
    if (!path_.empty() && !renamed_) DeleteFileW(path_.c_str());
  }
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  void Renamed() { renamed_ = true; }

 private:
  const std::wstring& path_;
  bool renamed_ = false;
};

// The folder that will hold TARGET, for the free-space check.
std::wstring FolderOf(const std::wstring& path) {
  wchar_t full[MAX_PATH * 4];
  wchar_t* name = nullptr;
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, &name);
  if (length == 0 || length >= MAX_PATH * 4 || name == nullptr) return L".\\";
  *name = L'\0';
  return full;
}

// The output did not come out as the localised pack although the tool is whole:
// either SOURCE is another version of the same size, or the tool is wrong.
int DiagnoseMismatch(HANDLE source, const std::wstring& sourcePath, const PatchTrailer& trailer) {
  ClearProgress();
  FileRegion whole(source, 0, trailer.sourceSize);
  uint64_t digest = 0;
  if (!ChecksumRegion(whole, &digest)) return ReadWriteFailed(sourcePath, GetLastError());
  if (digest != trailer.sourceHash) return WrongVersion(sourcePath);
  return Damaged("the delta does not make the localised pack from the original it was made for");
}

// The files of one run, for the outcome of its decode.
struct PatchFiles {
  const std::wstring& toolPath;
  const std::wstring& sourcePath;
  const std::wstring& partPath;
  HANDLE source;
  const PatchTrailer& trailer;
};

// The exit code of a decode that has ended, and the line that says so (none
// when it made the localised pack).
int DecodeOutcome(const vcdiff::Result& result, const TargetSink& sink, DWORD ioError,
                  DWORD writeError, const PatchFiles& files) {
  switch (result.status) {
    case vcdiff::Status::kOk:
      if (sink.Written() != files.trailer.targetSize || sink.Digest() != files.trailer.targetHash)
        return DiagnoseMismatch(files.source, files.sourcePath, files.trailer);
      return kExitOk;
    case vcdiff::Status::kWindowChecksum:
      return DiagnoseMismatch(files.source, files.sourcePath, files.trailer);
    case vcdiff::Status::kSinkRefused:
      if (sink.Overflowed()) return DiagnoseMismatch(files.source, files.sourcePath, files.trailer);
      return WriteFailed(files.partPath, writeError, files.trailer.targetSize);
    case vcdiff::Status::kCorrupt:
    case vcdiff::Status::kUnsupported:
      return Damaged(DetailWithAdvice(result));
    case vcdiff::Status::kDeltaRead:
      return ReadWriteFailed(files.toolPath, ioError);
    case vcdiff::Status::kSourceRead:
      return ReadWriteFailed(files.sourcePath, ioError);
    case vcdiff::Status::kOutOfMemory:
      return OutOfMemory();
  }
  return kExitOk;
}

// The way back, left before the copy takes its name: a localised pack without
// its record could only be undone by a download, so a record that cannot be
// written fails the patch and the pack stays as it is.
int LeaveUndoRecord(undo::KeptRegions& kept, const PatchFiles& files,
                    vcdiff::ByteSource& original) {
  kept.Finish();
  uint64_t keptBytes = 0;
  for (const undo::KeptRegions::Region& region : kept) keptBytes += region.size;
  const undo::RecordInfo info{undo::AsciiFileName(files.toolPath),
                              undo::AsciiFileName(files.sourcePath),
                              files.trailer.targetSize,
                              files.trailer.targetHash,
                              files.trailer.sourceSize,
                              files.trailer.sourceHash};
  const std::wstring path = undo::RecordPathFor(files.sourcePath);
  DWORD error = ERROR_SUCCESS;
  if (undo::WriteRecordFile(path, kept, original, info, &error)) return kExitOk;
  return WriteFailed(path, error, files.trailer.sourceSize - keptBytes + (1u << 20));
}

// With no targetPath, only checks that the tool makes the localised pack from
// sourcePath, and writes nothing.
int Patch(const std::wstring& sourcePath, const std::wstring* targetPath) {
  UniqueHandle tool;
  std::wstring toolPath;
  PatchTrailer trailer;
  if (const int failed = OpenOwnFile(&tool, &toolPath, &trailer)) return failed;

  // The installer holds the pack open for reading, so only reading can be shared.
  UniqueHandle source(CreateFileW(sourcePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!source.IsValid()) return ReadWriteFailed(sourcePath, GetLastError());
  LARGE_INTEGER sourceSize;
  if (!GetFileSizeEx(source.Get(), &sourceSize)) return ReadWriteFailed(sourcePath, GetLastError());
  if (static_cast<uint64_t>(sourceSize.QuadPart) != trailer.sourceSize)
    return WrongVersion(sourcePath);

  // A copy left by a run that was killed half-way is never this run's.
  const std::wstring partPath = targetPath ? *targetPath + kPartSuffix : std::wstring();
  PartFile partFile(partPath);
  UniqueHandle part;
  if (targetPath) {
    DeleteFileW(partPath.c_str());
    ULARGE_INTEGER freeBytes;
    if (GetDiskFreeSpaceExW(FolderOf(*targetPath).c_str(), &freeBytes, nullptr, nullptr) &&
        freeBytes.QuadPart < trailer.targetSize)
      return DiskFull(trailer.targetSize, freeBytes.QuadPart);
    part.Reset(CreateFileW(partPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!part.IsValid()) return WriteFailed(partPath, GetLastError(), trailer.targetSize);
  }

  FileRegion delta(tool.Get(), trailer.deltaOffset, trailer.deltaSize);
  FileRegion original(source.Get(), 0, trailer.sourceSize);
  TargetSink sink(targetPath ? part.Get() : nullptr, trailer.targetSize, ToConsoleText(sourcePath));
  undo::KeptRegions kept(targetPath ? undo::kToolRegionCapacity : 0);
  if (!kept.Allocated()) return ReadWriteFailed(partPath, ERROR_NOT_ENOUGH_MEMORY);
  undo::CopyRecorder recorder(sink, kept);
  const vcdiff::Result result = vcdiff::Decode(delta, original, recorder);
  const DWORD ioError = GetLastError();
  const DWORD writeError = sink.WriteError();
  if (result.status != vcdiff::Status::kOk || sink.Written() != trailer.targetSize ||
      sink.Digest() != trailer.targetHash)
    sink.Abandon();

  const PatchFiles files{toolPath, sourcePath, partPath, source.Get(), trailer};
  int outcome = DecodeOutcome(result, sink, ioError, writeError, files);

  ClearProgress();
  if (!targetPath) return outcome;

  // The copy must be on disk, and as long as the pack, before its name says it
  // is whole; on any failure PartFile removes it.
  if (outcome == kExitOk && !sink.Finish())
    outcome = WriteFailed(partPath, sink.WriteError(), trailer.targetSize);
  sink.Abandon();
  if (outcome == kExitOk && !FlushFileBuffers(part.Get()))
    outcome = WriteFailed(partPath, GetLastError(), trailer.targetSize);
  if (outcome == kExitOk) outcome = CheckWritten(part.Get(), partPath, trailer.targetSize);
  part.Close();
  if (outcome == kExitOk) outcome = LeaveUndoRecord(kept, files, original);
  if (outcome == kExitOk && !MoveFileExW(partPath.c_str(), targetPath->c_str(),
                                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    outcome = WriteFailed(*targetPath, GetLastError(), trailer.targetSize);
  if (outcome == kExitOk) partFile.Renamed();
  return outcome;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Memory that cannot be had ends the run like any other failure, its files
  // removed on the way out. std::system_error can come only from the writer's
  // mutex, which winpthreads makes when it is first locked.
  try {
    if (argc == 3 && std::wcscmp(argv[1], kVerifyOption) == 0) return Patch(argv[2], nullptr);
    // Started by hand (a double click), there is nothing to patch.
    if (argc != 3) {
      PrintLine(kUsageText);
      return kExitUsage;
    }
    const std::wstring target = argv[2];
    return Patch(argv[1], &target);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  } catch (const std::system_error&) {
    return OutOfMemory();
  }
}
