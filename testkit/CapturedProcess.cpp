#include "CapturedProcess.h"

namespace testkit {

std::string StartFailure(const std::string& what, const std::string& directory, DWORD error) {
  char text[512] = "";
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                                      sizeof(text), nullptr);
  std::string said(text, length);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' ')) said.pop_back();
  return "could not start " + what + (directory.empty() ? "" : " in " + directory) + ": error " +
         std::to_string(error) + (said.empty() ? "" : " (" + said + ")");
}

bool StartPiped(const std::string& commandLine, const std::string& directory, DWORD flags,
                bool holdInput, PipedProcess* started) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE outRead, outWrite, inRead, inWrite;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) {
    started->error = GetLastError();
    return false;
  }
  if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) {
    started->error = GetLastError();
    CloseHandle(outRead);
    CloseHandle(outWrite);
    return false;
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  if (holdInput) {
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  } else {
    CloseHandle(inWrite);
    inWrite = nullptr;
  }

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = outWrite;
  std::string line = commandLine;
  PROCESS_INFORMATION process = {};
  const bool ok = CreateProcessLosingNone([&] {
    return CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, flags, nullptr, directory.c_str(),
                          &startup, &process) != 0;
  });
  started->error = ok ? ERROR_SUCCESS : GetLastError();
  CloseHandle(outWrite);
  CloseHandle(inRead);
  if (!ok) {
    CloseHandle(outRead);
    if (inWrite != nullptr) CloseHandle(inWrite);
    return false;
  }
  started->process = process;
  started->output = outRead;
  started->input = inWrite;
  return true;
}

void DrainPipe(HANDLE pipe, std::string* text) {
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    text->append(buffer, read);
  }
}

CapturedProcess::CapturedProcess(const std::string& commandLine, const std::string& directory) {
  // Wine starts the desktop's own process when something first needs the
  // desktop, from that process and with its standard error. Were that the
  // program's first box, the desktop process would join the job and hold
  // the output pipe open for as long as this test runs. On Windows the
  // desktop is there before any program starts; here the test makes it so.
  GetDesktopWindow();
  job_ = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof(limits));

  PipedProcess piped;
  started_ = StartPiped(commandLine, directory, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                        /*holdInput=*/false, &piped);
  if (!started_) {
    startError_ = StartFailure(commandLine, directory, piped.error);
    return;
  }
  process_ = piped.process;
  outRead_ = piped.output;
  AssignProcessToJobObject(job_, process_.hProcess);
  readDone_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  reader_ = std::thread([this] {
    DrainPipe(outRead_, &output_);
    SetEvent(readDone_);
  });
}

CapturedProcess::~CapturedProcess() {
  if (started_) {
    TerminateJobObject(job_, 1);
    if (reader_.joinable()) reader_.join();
    CloseHandle(readDone_);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  if (outRead_ != nullptr) CloseHandle(outRead_);
  CloseHandle(job_);
}

bool CapturedProcess::Wait(DWORD milliseconds) {
  if (!started_) return false;
  const HANDLE ends[] = {process_.hProcess, readDone_};
  if (WaitForMultipleObjects(2, ends, TRUE, milliseconds) != WAIT_OBJECT_0) return false;
  if (reader_.joinable()) reader_.join();
  return true;
}

std::vector<std::string> CapturedProcess::Processes() const {
  struct {
    JOBOBJECT_BASIC_PROCESS_ID_LIST list;
    ULONG_PTR more[63];
  } ids = {};
  ids.list.NumberOfAssignedProcesses = 64;
  std::vector<std::string> paths;
  if (!QueryInformationJobObject(job_, JobObjectBasicProcessIdList, &ids, sizeof(ids), nullptr)) {
    return paths;
  }
  for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList && i < 64; ++i) {
    const DWORD id = static_cast<DWORD>(ids.list.ProcessIdList[i]);
    char path[MAX_PATH];
    DWORD length = sizeof(path);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    const bool named = process != nullptr && QueryFullProcessImageNameA(process, 0, path, &length);
    if (process != nullptr) CloseHandle(process);
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

DWORD CapturedProcess::ExitCode() const {
  DWORD code = 0xFFFFFFFF;
  if (started_) GetExitCodeProcess(process_.hProcess, &code);
  return code;
}

}  // namespace testkit
