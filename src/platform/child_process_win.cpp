// The driver side's child process on Windows: this program's own image
// started anew with a hidden argument, joined to the run by a named pipe
// whose client end alone it inherits, and ended with the run by a job object.
#include "platform/child_process.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/win32_util.h"

namespace korvadex {

namespace {

// The first argument of a driver process. No person types it by accident,
// and a run never takes it: that needs at least four arguments, this form
// has exactly three.
constexpr char kChildArgument[] = "--korvadex-odbc-driver-process--";
constexpr wchar_t kChildArgumentWide[] = L"--korvadex-odbc-driver-process--";

// Rows cross in batches of a few hundred KiB; a buffer that holds several
// lets the child fetch on while the parent formats.
constexpr DWORD kPipeBuffer = 4 << 20;

// How long a child whose pipe is closed has to leave by itself.
constexpr DWORD kLeaveWaitMs = 2000;

// Process-wide by nature: the inherited event with which the parent asks
// this driver process to cancel.
HANDLE parentCancelEvent = nullptr;

HANDLE HandleFrom(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

std::string Failure(const char* call) { return std::string(call) + " Fehler " + std::to_string(::GetLastError()); }

// A duplex pipe of a name no other pipe has: the server end for this process
// and the client end, inheritable when `isForChild`.
bool CreatePipePair(bool isForChild, HANDLE& server, HANDLE& client) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = L"\\\\.\\pipe\\korvadex-" + UniqueSuffix(attempt);
    // The first instance of its name, so no other program can have made it
    // beforehand to listen in.
    server = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_ACCESS_DENIED || ::GetLastError() == ERROR_PIPE_BUSY) continue;
      return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, isForChild ? TRUE : FALSE};
    client = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes, OPEN_EXISTING, 0, nullptr);
    if (client != INVALID_HANDLE_VALUE) return true;
    ::CloseHandle(server);
    return false;
  }
  return false;
}

// A job that ends the child when the run's handle to it closes, however the
// run ends, and lets no unhandled exception wait for error reporting. Null,
// with the reason in `note`, when the child cannot be put in one (a run
// inside a job that forbids it, before Windows 8).
HANDLE JobFor(HANDLE process, std::string& note) {
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) {
    note = "ohne Job-Objekt: " + Failure("CreateJobObject");
    return nullptr;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    note = "ohne Job-Objekt: " + Failure("SetInformationJobObject");
  } else if (!::AssignProcessToJobObject(job, process)) {
    note = "ohne Job-Objekt: " + Failure("AssignProcessToJobObject");
  } else {
    return job;
  }
  ::CloseHandle(job);
  return nullptr;
}

// Starts `commandLine` suspended, inheriting `inherited` and no other handle,
// with no console (so no console event reaches it) and no standard streams.
bool CreateChild(const std::wstring& image, std::wstring& commandLine, HANDLE (&inherited)[2],
                 PROCESS_INFORMATION& info, std::string& note) {
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> buffer(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
    note = Failure("InitializeProcThreadAttributeList");
    return false;
  }
  bool isCreated = false;
  if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                   nullptr, nullptr)) {
    note = Failure("UpdateProcThreadAttribute");
  } else {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.lpAttributeList = attributes;
    isCreated = ::CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT | DETACHED_PROCESS, nullptr,
                                 nullptr, &startup.StartupInfo, &info) != 0;
    if (!isCreated) note = Failure("CreateProcess");
  }
  ::DeleteProcThreadAttributeList(attributes);
  return isCreated;
}

// A crash of the driver process ends it with the exception's code at once:
// no dialog, no waiting for error reporting.
LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* exception) {
  ::TerminateProcess(::GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// The run takes the console's events and passes them on as a cancel request.
BOOL WINAPI IgnoreConsoleEvent(DWORD /*event*/) { return TRUE; }

std::intptr_t ParseHandle(const char* text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0' ? static_cast<std::intptr_t>(value) : 0;
}

}  // namespace

HANDLE ParentCancelEvent() { return parentCancelEvent; }

bool MakeChannelPair(int ends[2]) {
  HANDLE server = nullptr;
  HANDLE client = nullptr;
  if (!CreatePipePair(false, server, client)) return false;
  ends[0] = DescriptorOf(server, false, false);
  if (ends[0] < 0) {
    ::CloseHandle(client);
    return false;
  }
  ends[1] = DescriptorOf(client, false, false);
  if (ends[1] >= 0) return true;
  CloseFile(ends[0]);
  return false;
}

bool ChildProcess::StartProcess(ChildBody /*body*/) {
  // The new image reaches `body` (RunDriverSide) through main() and TakeChildChannel.
  std::wstring image(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, image.data(), static_cast<DWORD>(image.size()));
  if (length == 0 || length >= image.size()) {
    startNote_ = Failure("GetModuleFileName");
    return false;
  }
  image.resize(length);
  HANDLE server = nullptr;
  HANDLE client = nullptr;
  if (!CreatePipePair(true, server, client)) {
    startNote_ = Failure("CreateNamedPipe");
    return false;
  }
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE cancel = ::CreateEventW(&inheritable, FALSE, FALSE, nullptr);
  if (cancel == nullptr) {
    startNote_ = Failure("CreateEvent");
    ::CloseHandle(server);
    ::CloseHandle(client);
    return false;
  }
  std::wstring commandLine = L"\"" + image + L"\" " + kChildArgumentWide + L" " +
                             std::to_wstring(reinterpret_cast<std::uintptr_t>(client)) + L" " +
                             std::to_wstring(reinterpret_cast<std::uintptr_t>(cancel));
  HANDLE inherited[2] = {client, cancel};
  PROCESS_INFORMATION info{};
  const bool isCreated = CreateChild(image, commandLine, inherited, info, startNote_);
  // The child holds its own copy of the client end now.
  ::CloseHandle(client);
  const int socket = isCreated ? DescriptorOf(server, false, false) : -1;
  if (!isCreated || socket < 0) {
    if (isCreated) {
      ::TerminateProcess(info.hProcess, 1);
      ::CloseHandle(info.hThread);
      ::CloseHandle(info.hProcess);
    } else {
      ::CloseHandle(server);
    }
    ::CloseHandle(cancel);
    return false;
  }
  job_ = reinterpret_cast<std::intptr_t>(JobFor(info.hProcess, startNote_));
  ::ResumeThread(info.hThread);
  ::CloseHandle(info.hThread);
  process_ = reinterpret_cast<std::intptr_t>(info.hProcess);
  cancelEvent_ = reinterpret_cast<std::intptr_t>(cancel);
  socket_ = socket;
  return true;
}

void ChildProcess::RequestCancel() const {
  std::lock_guard<std::mutex> lock(reapMutex_);
  if (hasProcess() && !isWaited_) ::SetEvent(HandleFrom(cancelEvent_));
}

void ChildProcess::Kill() const {
  std::lock_guard<std::mutex> lock(reapMutex_);
  if (hasProcess() && !isWaited_) ::TerminateProcess(HandleFrom(process_), 1);
}

void ChildProcess::AwaitEndOrKill() {
  if (::WaitForSingleObject(HandleFrom(process_), kLeaveWaitMs) != WAIT_OBJECT_0) Kill();
}

void ChildProcess::WaitForProcess() {
  ::WaitForSingleObject(HandleFrom(process_), INFINITE);
  std::lock_guard<std::mutex> lock(reapMutex_);
  DWORD code = 0;
  ::GetExitCodeProcess(HandleFrom(process_), &code);
  // An NTSTATUS of error severity is the exception that ended the process.
  if (code >= 0xC0000000u) {
    end_.exception = code;
  } else {
    end_.hasExited = true;
    end_.exitCode = static_cast<int>(code);
  }
  for (std::intptr_t* handle : {&process_, &cancelEvent_, &job_}) {
    if (*handle != 0) ::CloseHandle(HandleFrom(*handle));
    *handle = 0;
  }
  isWaited_ = true;
}

bool TakeChildChannel(int argc, const char* const* argv, int& channel) {
  if (argc != 4 || std::strcmp(argv[1], kChildArgument) != 0) return false;
  // First of all, so that nothing from here on can open a dialog.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  const HANDLE pipe = HandleFrom(ParseHandle(argv[2]));
  const HANDLE cancel = HandleFrom(ParseHandle(argv[3]));
  // Only a pipe's client end and a second handle, both inherited, make a
  // driver process; anything else is a command line like any other.
  DWORD pipeFlags = 0;
  DWORD pipeInherit = 0;
  DWORD cancelInherit = 0;
  if (pipe == nullptr || cancel == nullptr || ::GetFileType(pipe) != FILE_TYPE_PIPE ||
      !::GetNamedPipeInfo(pipe, &pipeFlags, nullptr, nullptr, nullptr) || (pipeFlags & PIPE_SERVER_END) != 0 ||
      !::GetHandleInformation(pipe, &pipeInherit) || (pipeInherit & HANDLE_FLAG_INHERIT) == 0 ||
      !::GetHandleInformation(cancel, &cancelInherit) || (cancelInherit & HANDLE_FLAG_INHERIT) == 0) {
    return false;
  }
  ::SetUnhandledExceptionFilter(EndWithExceptionCode);
  ::SetConsoleCtrlHandler(IgnoreConsoleEvent, TRUE);
  ::SetHandleInformation(pipe, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(cancel, HANDLE_FLAG_INHERIT, 0);
  parentCancelEvent = cancel;
  channel = DescriptorOf(pipe, false, false);
  return channel >= 0;
}

int CancelRequestSignal() { return SIGTERM; }

// No driver process of Windows ends by a signal.
const char* SignalName(int /*signal*/) { return "?"; }

}  // namespace korvadex
