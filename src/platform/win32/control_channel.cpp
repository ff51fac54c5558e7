// The Windows control channel: three named auto-reset events and the 5120-byte named
// mapping that carries a share request's path, plus a named semaphore that lets one share
// client at a time write the block until the server has copied the path out.
#include "platform/control_channel.h"

#include <cstring>

#include "platform/os_windows.h"

namespace qc::platform {

namespace {
constexpr char kExitEventName[] = "$QuillcastEventExitProgramm$";
constexpr char kShareEventName[] = "$QuillcastEventShareNewFile$";
constexpr char kPanelEventName[] = "$QuillcastEventRunUIConfig$";
constexpr char kMappingName[] = "$QuillcastFileMapping$";
constexpr char kBlockLockName[] = "$QuillcastShareBlockLock$";
// How long a share client waits for an earlier request to be taken. A server that died
// mid-request must not hang its clients for ever.
constexpr DWORD kBlockLockWaitMs = 10000;
}  // namespace

struct ControlServer::Impl {
  HANDLE events[3] = {nullptr, nullptr, nullptr};  // exit, share, panel
  HANDLE mapping = nullptr;
  HANDLE blockLock = nullptr;
  unsigned char* view = nullptr;

  void ReleaseBlock() {
    if (blockLock != nullptr) ReleaseSemaphore(blockLock, 1, nullptr);
  }
};

ControlServer::~ControlServer() { Close(); }

ControlSetup ControlServer::Open() {
  Close();
  impl_ = new Impl;
  impl_->events[0] = CreateEventA(nullptr, FALSE, FALSE, kExitEventName);
  impl_->events[1] = CreateEventA(nullptr, FALSE, FALSE, kShareEventName);
  impl_->events[2] = CreateEventA(nullptr, FALSE, FALSE, kPanelEventName);
  if (impl_->events[0] == nullptr || impl_->events[1] == nullptr || impl_->events[2] == nullptr) {
    return ControlSetup::EventFailed;
  }
  impl_->mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      kControlBlockSize, kMappingName);
  if (impl_->mapping == nullptr) return ControlSetup::MappingFailed;
  impl_->view = static_cast<unsigned char*>(
      MapViewOfFile(impl_->mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
  if (impl_->view == nullptr) return ControlSetup::ViewFailed;
  impl_->blockLock = CreateSemaphoreA(nullptr, 1, 1, kBlockLockName);
  return ControlSetup::Ok;
}

std::uint32_t ControlServer::Wait() {
  if (impl_ == nullptr) return kWaitFailed;
  return WaitForMultipleObjects(3, impl_->events, FALSE, INFINITE);
}

std::string ControlServer::TakeSharePath() {
  if (impl_ == nullptr || impl_->view == nullptr) return std::string();
  std::size_t length = impl_->view[0] | (impl_->view[1] << 8);
  if (length > kMaxControlPath) length = kMaxControlPath;
  std::string path(reinterpret_cast<const char*>(impl_->view) + 2, length);
  impl_->ReleaseBlock();
  return path;
}

void ControlServer::DropShareRequest() {
  if (impl_ != nullptr) impl_->ReleaseBlock();
}

void ControlServer::Close() {
  if (impl_ == nullptr) return;
  for (HANDLE& event : impl_->events) {
    if (event != nullptr) CloseHandle(event);
  }
  if (impl_->view != nullptr) UnmapViewOfFile(impl_->view);
  if (impl_->mapping != nullptr) CloseHandle(impl_->mapping);
  if (impl_->blockLock != nullptr) CloseHandle(impl_->blockLock);
  delete impl_;
  impl_ = nullptr;
}

bool ControlServerReachable() {
  // The block lock is the last object the set-up creates.
  HANDLE lock = OpenSemaphoreA(SYNCHRONIZE, FALSE, kBlockLockName);
  if (lock == nullptr) return false;
  CloseHandle(lock);
  return true;
}

ControlSend SendControlRequest(ControlRequest request) {
  HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE,
                            request == ControlRequest::Stop ? kExitEventName : kPanelEventName);
  if (event == nullptr) return ControlSend::NotRunning;
  SetEvent(event);
  CloseHandle(event);
  return ControlSend::Delivered;
}

ControlSend SendControlShare(const std::string& path) {
  // Refused before anything is opened: the block has room for kMaxControlPath bytes.
  if (path.size() > kMaxControlPath) return ControlSend::PathTooLong;
  HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, kShareEventName);
  if (event == nullptr) return ControlSend::NotRunning;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, kMappingName);
  if (mapping == nullptr) {
    CloseHandle(event);
    return ControlSend::MappingMissing;
  }
  auto* view = static_cast<unsigned char*>(
      MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
  if (view == nullptr) {
    CloseHandle(mapping);
    CloseHandle(event);
    return ControlSend::ViewFailed;
  }
  // Held from writing the block until the server has copied the path out; the server
  // releases it.
  HANDLE blockLock = OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, kBlockLockName);
  ControlSend result = ControlSend::Delivered;
  if (blockLock != nullptr && WaitForSingleObject(blockLock, kBlockLockWaitMs) != WAIT_OBJECT_0) {
    result = ControlSend::Busy;
  } else {
    view[0] = static_cast<unsigned char>(path.size() & 0xFF);
    view[1] = static_cast<unsigned char>((path.size() >> 8) & 0xFF);
    std::memcpy(view + 2, path.data(), path.size());
    SetEvent(event);
  }
  if (blockLock != nullptr) CloseHandle(blockLock);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(event);
  return result;
}

}  // namespace qc::platform
