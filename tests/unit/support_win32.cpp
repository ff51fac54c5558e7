#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/os_windows.h"
#include "unit/file_holder.h"
#include "unit/platform_support.h"

namespace qc::tests {

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }

bool ProcessIsRunning(unsigned long pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

void SetSocketTimeLimit(platform::socket_t s, std::chrono::milliseconds limit) {
  const auto ms = std::max<long long>(1, limit.count());
  const DWORD value = static_cast<DWORD>(ms);
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
}

struct FileHolder::Child {
  HANDLE toChild = nullptr;
  HANDLE fromChild = nullptr;
  HANDLE process = nullptr;
};

FileHolder::FileHolder(const std::string& path, Mode mode) : child_(std::make_unique<Child>()) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE childIn = nullptr, childOut = nullptr;
  if (!CreatePipe(&childIn, &child_->toChild, &inherit, 0) ||
      !CreatePipe(&child_->fromChild, &childOut, &inherit, 0)) {
    return;
  }
  SetHandleInformation(child_->toChild, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(child_->fromChild, HANDLE_FLAG_INHERIT, 0);
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string command = std::string("\"") + exe + "\" " + kChildFilter;
  SetEnvironmentVariableA(kPathVariable, path.c_str());
  SetEnvironmentVariableA(kModeVariable, mode == kRead ? "read" : "write");
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn;
  startup.hStdOutput = childOut;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &info);
  SetEnvironmentVariableA(kPathVariable, nullptr);
  SetEnvironmentVariableA(kModeVariable, nullptr);
  CloseHandle(childIn);
  CloseHandle(childOut);
  if (!started) return;
  CloseHandle(info.hThread);
  child_->process = info.hProcess;
  // The child's output is GoogleTest's plus one line saying whether it holds the file.
  std::string seen;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(child_->fromChild, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    seen.append(buffer, got);
    const std::size_t at = seen.find(kReadyLine);
    if (at != std::string::npos && seen.size() > at + std::string(kReadyLine).size()) {
      holding_ = seen[at + std::string(kReadyLine).size()] == '1';
      return;
    }
  }
}

FileHolder::~FileHolder() {
  if (child_->toChild != nullptr) CloseHandle(child_->toChild);  // end of input: the child lets go
  if (child_->process != nullptr) {
    // Drain the output so the child never blocks writing its last lines.
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(child_->fromChild, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    WaitForSingleObject(child_->process, 30000);
    CloseHandle(child_->process);
  }
  if (child_->fromChild != nullptr) CloseHandle(child_->fromChild);
  child_->toChild = child_->fromChild = child_->process = nullptr;
}

bool SetModifiedTime(const std::string& path, std::int64_t seconds, std::int32_t nanoseconds) {
  // FILETIME counts 100 ns from 1601-01-01 UTC.
  const std::int64_t ticks = seconds * 10000000 + nanoseconds / 100 + 116444736000000000;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool set = SetFileTime(file, nullptr, nullptr, &time) != 0;
  CloseHandle(file);
  return set;
}

const NamedSocketError kAddressInUse{10048, "WSAEADDRINUSE (10048)"};
const NamedSocketError kNamedSocketErrors[] = {
    kAddressInUse,
    {10013, "WSAEACCES (10013)"},
    {10038, "WSAENOTSOCK (10038)"},
    {12345, "Winsock error (12345)"},
};
const std::size_t kNamedSocketErrorCount = std::size(kNamedSocketErrors);

// CreateFile of a folder without backup semantics is refused as access denied.
const FileErrorCodes kFileErrorCodes = {ERROR_DISK_FULL, ERROR_WRITE_FAULT, ERROR_SHARING_VIOLATION,
                                        ERROR_ACCESS_DENIED};

}  // namespace qc::tests
