#include "CapturedProcess.h"

#include <psapi.h>

#include <chrono>

namespace testkit {

namespace {

// A pipe whose ends the child may inherit until told otherwise; false, with
// the system's error to read, when it cannot be made.
bool MakePipe(UniqueHandle* read, UniqueHandle* write) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
  read->Reset(readEnd);
  write->Reset(writeEnd);
  return true;
}

}  // namespace

std::string StartFailure(const std::string& what, const std::string& directory, DWORD error) {
  char text[512] = "";
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof(text), nullptr);
  std::string said(text, length);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' '))
    said.pop_back();
  return "could not start " + what + (directory.empty() ? "" : " in " + directory) + ": error " +
         std::to_string(error) + (said.empty() ? "" : " (" + said + ")");
}

CapturedProcess::CapturedProcess(const std::string& commandLine, const std::string& directory,
                                 Input input) {
  // Wine starts the desktop's own process when something first needs the
  // desktop, from that process and with its standard error. Were that the
  // program's first box, the desktop process would join the job and hold
  // the output pipe open for as long as this test runs. On Windows the
  // desktop is there before any program starts; here the test makes it so.
  GetDesktopWindow();
  job_.Reset(CreateJobObjectA(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job_.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));

  DWORD error = ERROR_SUCCESS;
  started_ = Start(commandLine, directory, input, &error);
  if (!started_) {
    startError_ = StartFailure(commandLine, directory, error);
    return;
  }
  AssignProcessToJobObject(job_.Get(), process_.Get());
  readDone_.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  reader_ = std::thread([this] { ReadOutput(); });
}

// The program's ends of the pipes are closed here once it has them, whatever
// happens; so are ours when it cannot start.
bool CapturedProcess::Start(const std::string& commandLine, const std::string& directory,
                            Input input, DWORD* error) {
  UniqueHandle outWrite, inRead;
  if (!MakePipe(&outRead_, &outWrite) || !MakePipe(&inRead, &input_)) {
    *error = GetLastError();
    outRead_.Close();
    return false;
  }
  SetHandleInformation(outRead_.Get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(input_.Get(), HANDLE_FLAG_INHERIT, 0);
  if (input == Input::kAtEnd) input_.Close();

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead.Get();
  startup.hStdOutput = outWrite.Get();
  startup.hStdError = outWrite.Get();
  std::string line = commandLine;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessLosingNone([&] {
        return CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE,
                              CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, directory.c_str(),
                              &startup, &started) != 0;
      })) {
    *error = GetLastError();
    outRead_.Close();
    input_.Close();
    return false;
  }
  process_.Reset(started.hProcess);
  thread_.Reset(started.hThread);
  id_ = started.dwProcessId;
  return true;
}

// Appends everything read from the output pipe until every writer has closed it.
void CapturedProcess::ReadOutput() {
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(outRead_.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    std::lock_guard<std::mutex> hold(outputLock_);
    output_.append(buffer, read);
    outputGrew_.notify_all();
  }
  {
    std::lock_guard<std::mutex> hold(outputLock_);
    outputEnded_ = true;
    outputGrew_.notify_all();
  }
  SetEvent(readDone_.Get());
}

CapturedProcess::~CapturedProcess() {
  if (!started_) return;
  TerminateJobObject(job_.Get(), 1);
  if (reader_.joinable()) reader_.join();
}

bool CapturedProcess::Wait(DWORD milliseconds) {
  if (!started_) return false;
  const HANDLE ends[] = {process_.Get(), readDone_.Get()};
  if (WaitForMultipleObjects(2, ends, TRUE, milliseconds) != WAIT_OBJECT_0) return false;
  if (reader_.joinable()) reader_.join();
  return true;
}

bool CapturedProcess::PassedLine(const std::string& text) const {
  const size_t at = output_.find(text);
  const size_t end = at == std::string::npos ? at : output_.find('\n', at + text.size());
  return end != std::string::npos && output_.size() > end + 1;
}

bool CapturedProcess::WaitPastLine(const std::string& text, DWORD milliseconds) {
  if (!started_) return false;
  std::unique_lock<std::mutex> hold(outputLock_);
  outputGrew_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                       [&] { return outputEnded_ || PassedLine(text); });
  return PassedLine(text);
}

std::string CapturedProcess::Output() const {
  std::lock_guard<std::mutex> hold(outputLock_);
  return output_;
}

std::vector<std::string> CapturedProcess::Processes() const {
  struct {
    JOBOBJECT_BASIC_PROCESS_ID_LIST list;
    ULONG_PTR more[63];
  } ids = {};
  ids.list.NumberOfAssignedProcesses = 64;
  std::vector<std::string> paths;
  if (!QueryInformationJobObject(job_.Get(), JobObjectBasicProcessIdList, &ids, sizeof(ids),
                                 nullptr)) {
    return paths;
  }
  for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList && i < 64; ++i) {
    const DWORD id = static_cast<DWORD>(ids.list.ProcessIdList[i]);
    char path[MAX_PATH];
    DWORD length = sizeof(path);
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    const bool named =
        process.IsValid() && QueryFullProcessImageNameA(process.Get(), 0, path, &length);
    paths.push_back(named ? std::string(path, length) : "?");
  }
  return paths;
}

bool CapturedProcess::Runs(const std::string& name) const {
  for (const std::string& path : Processes()) {
    if (path.size() > name.size() && path[path.size() - name.size() - 1] == '\\' &&
        lstrcmpiA(path.c_str() + path.size() - name.size(), name.c_str()) == 0) {
      return true;
    }
  }
  return false;
}

bool CapturedProcess::Running() const {
  return started_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT;
}

bool CapturedProcess::QueryPeakMemory(PeakMemory* peak) const {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!started_ || !GetProcessMemoryInfo(process_.Get(), &counters, sizeof(counters))) return false;
  peak->workingSet = counters.PeakWorkingSetSize;
  peak->pagefile = counters.PeakPagefileUsage;
  return true;
}

DWORD CapturedProcess::ExitCode() const {
  DWORD code = 0xFFFFFFFF;
  if (started_) GetExitCodeProcess(process_.Get(), &code);
  return code;
}

}  // namespace testkit
