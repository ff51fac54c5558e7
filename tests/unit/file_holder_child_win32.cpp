// The Windows side of FileHolder: the process it starts is this test binary again.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/os_windows.h"
#include "unit/file_holder.h"

namespace qc {
namespace {

using tests::FileHolder;

// Not a test of its own: the process a FileHolder starts. It opens the file as a viewer
// or as an editor would, says whether that worked, and holds it until its input ends.
TEST(FileHolderChild, HoldsTheFileNamedInTheEnvironment) {
  const char* path = std::getenv(FileHolder::kPathVariable);
  const char* mode = std::getenv(FileHolder::kModeVariable);
  if (path == nullptr || mode == nullptr) GTEST_SKIP() << "runs only as a FileHolder's child";
  const bool read = std::string(mode) == "read";
  HANDLE h = CreateFileA(path, read ? GENERIC_READ : GENERIC_WRITE,
                         read ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  std::printf("\n%s%d\n", FileHolder::kReadyLine, h != INVALID_HANDLE_VALUE ? 1 : 0);
  std::fflush(stdout);
  char buffer[64];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
         got > 0) {
  }
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

}  // namespace
}  // namespace qc
