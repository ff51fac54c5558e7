// What both backends share of File: it owns its one handle.
#include "platform/file.h"

namespace qc::platform {

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kNoNativeHandle; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kNoNativeHandle;
  }
  return *this;
}

bool File::IsOpen() const { return handle_ != kNoNativeHandle; }

}  // namespace qc::platform
