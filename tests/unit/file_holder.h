// Another process that keeps a file open, for tests of how opens of one file in several
// programs meet. Natively a forked child; on Windows (and under Wine) this same test
// binary, started again to run only FileHolderChild with the file and mode in its
// environment.
#pragma once
#include <string>

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qc::testing {

class FileHolder {
 public:
  // kRead: a viewer (reads, lets others read). kWrite: an editor that writes and lets
  // others read and write, the most permissive writer there is.
  enum Mode { kRead, kWrite };

  // Returns once the other process has tried to open the file; holding() tells whether it
  // succeeded. The file stays open until the object is destroyed.
  FileHolder(const std::string& path, Mode mode) { Start(path, mode); }
  ~FileHolder() { Release(); }
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;

  bool holding() const { return holding_; }

  static constexpr const char* kChildFilter = "--gtest_filter=FileHolderChild.*";
  static constexpr const char* kPathVariable = "QC_HOLD_FILE";
  static constexpr const char* kModeVariable = "QC_HOLD_MODE";
  static constexpr const char* kReadyLine = "QC-HOLDING ";

#ifdef _WIN32
 private:
  void Start(const std::string& path, Mode mode) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &toChild_, &inherit, 0) ||
        !CreatePipe(&fromChild_, &childOut, &inherit, 0)) {
      return;
    }
    SetHandleInformation(toChild_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromChild_, HANDLE_FLAG_INHERIT, 0);
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
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &info);
    SetEnvironmentVariableA(kPathVariable, nullptr);
    SetEnvironmentVariableA(kModeVariable, nullptr);
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (!started) return;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    // The child's output is GoogleTest's plus one line saying whether it holds the file.
    std::string seen;
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(fromChild_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      seen.append(buffer, got);
      const std::size_t at = seen.find(kReadyLine);
      if (at != std::string::npos && seen.size() > at + std::string(kReadyLine).size()) {
        holding_ = seen[at + std::string(kReadyLine).size()] == '1';
        return;
      }
    }
  }
  void Release() {
    if (toChild_ != nullptr) CloseHandle(toChild_);  // end of input: the child lets go
    if (process_ != nullptr) {
      // Drain the output so the child never blocks writing its last lines.
      char buffer[256];
      DWORD got = 0;
      while (ReadFile(fromChild_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      }
      WaitForSingleObject(process_, 30000);
      CloseHandle(process_);
    }
    if (fromChild_ != nullptr) CloseHandle(fromChild_);
    toChild_ = fromChild_ = process_ = nullptr;
  }
  HANDLE toChild_ = nullptr;
  HANDLE fromChild_ = nullptr;
  HANDLE process_ = nullptr;
#else
 private:
  void Start(const std::string& path, Mode mode) {
    int ready[2], release[2];
    if (::pipe(ready) != 0) return;
    if (::pipe(release) != 0) {
      ::close(ready[0]);
      ::close(ready[1]);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and _exit.
      ::close(ready[0]);
      ::close(release[1]);
      const int fd = ::open(path.c_str(), mode == kRead ? O_RDONLY : O_WRONLY);
      const char answer = fd >= 0 ? '1' : '0';
      (void)!::write(ready[1], &answer, 1);
      char byte;
      while (::read(release[0], &byte, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    releaseFd_ = release[1];
    char answer = '0';
    if (pid_ > 0 && ::read(ready[0], &answer, 1) == 1) holding_ = answer == '1';
    ::close(ready[0]);
  }
  void Release() {
    if (releaseFd_ >= 0) ::close(releaseFd_);
    releaseFd_ = -1;
    if (pid_ > 0) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  pid_t pid_ = -1;
  int releaseFd_ = -1;
#endif
  bool holding_ = false;
};

}  // namespace qc::testing
