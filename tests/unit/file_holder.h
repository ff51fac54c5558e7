// Another process that keeps a file open, for tests of how opens of one file in several
// programs meet. Natively a forked child; on Windows (and under Wine) this same test
// binary, started again to run only FileHolderChild with the file and mode in its
// environment. Each system's way lives in tests/unit/support_<system>.cpp.
#pragma once
#include <memory>
#include <string>

namespace qc::tests {

class FileHolder {
 public:
  // kRead: a viewer (reads, lets others read). kWrite: an editor that writes and lets
  // others read and write, the most permissive writer there is.
  enum Mode { kRead, kWrite };

  // Returns once the other process has tried to open the file; holding() tells whether it
  // succeeded. The file stays open until the object is destroyed.
  FileHolder(const std::string& path, Mode mode);
  ~FileHolder();
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;

  bool holding() const { return holding_; }

  static constexpr const char* kChildFilter = "--gtest_filter=FileHolderChild.*";
  static constexpr const char* kPathVariable = "QC_HOLD_FILE";
  static constexpr const char* kModeVariable = "QC_HOLD_MODE";
  static constexpr const char* kReadyLine = "QC-HOLDING ";

 private:
  struct Child;  // the other process, as the system starts it
  std::unique_ptr<Child> child_;
  bool holding_ = false;
};

}  // namespace qc::tests
