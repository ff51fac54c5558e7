// What both backends share of File: it owns its one handle.
#include "platform/file.h"

#include <utility>

namespace qc::platform {

File::~File() { Close(); }

File::File(File&& other) noexcept
    : handle_(other.handle_), faults_(std::move(other.faults_)), error_(other.error_) {
  other.handle_ = kNoNativeHandle;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kNoNativeHandle;
    faults_ = std::move(other.faults_);
    error_ = other.error_;
  }
  return *this;
}

File File::Failed(int error) {
  File file;
  file.error_ = error;
  return file;
}

bool File::IsOpen() const { return handle_ != kNoNativeHandle; }

}  // namespace qc::platform
