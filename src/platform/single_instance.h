// Marks that a server runs. Windows: the named mutex "QuillcastOneCopyAtTime", created
// owned; any non-zero last error after the create means refusal. Native: an exclusive
// lock on a file in the runtime directory.
#pragma once
#include "platform/native_types.h"

namespace qc::platform {

class SingleInstance {
 public:
  SingleInstance() = default;
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;
  // True when this process is now the only server.
  bool Acquire();
  void Release();

 private:
  native_handle_t handle_ = kNoNativeHandle;  // held exactly while this process is the server
};

}  // namespace qc::platform
