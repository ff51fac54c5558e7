// Marks that a server runs. Windows: the named mutex "QuillcastOneCopyAtTime", created
// owned; any non-zero last error after the create means refusal. Native: an exclusive
// lock on a file in the runtime directory.
#pragma once

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
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  bool owned_ = false;
};

}  // namespace qc::platform
