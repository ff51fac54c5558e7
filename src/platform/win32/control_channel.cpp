// The Windows control channel: three named auto-reset events and the 5120-byte named
// mapping that carries a share request's path, plus a named semaphore that lets one share
// client at a time write the block until the server has copied the path out. A client
// that shares several files (Send to with a selection) holds a batch mutex across all of
// them and marks the second and later ones with a continuation event, so that the server
// knows which requests belong together; the block's layout stays one path.
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
constexpr char kBatchLockName[] = "$QuillcastShareBatchLock$";
constexpr char kNextInBatchName[] = "$QuillcastEventShareNextInBatch$";
// How long a share client waits for an earlier request to be taken. A server that died
// mid-request must not hang its clients for ever.
constexpr DWORD kBlockLockWaitMs = 10000;
// How long a share client waits for another client's batch to end. A batch can hold the
// server for a while (each file may show a message box), so this is longer.
constexpr DWORD kBatchLockWaitMs = 60000;
}  // namespace

std::optional<ControlEvent> ControlEventOfWait(std::uint32_t result) {
  switch (result) {
    case WAIT_OBJECT_0:
      return ControlEvent::Stop;
    case WAIT_OBJECT_0 + 1:
      return ControlEvent::Share;
    case WAIT_OBJECT_0 + 2:
      return ControlEvent::Panel;
    case WAIT_FAILED:
    case WAIT_ABANDONED_0:
    case WAIT_ABANDONED_0 + 1:
    case WAIT_ABANDONED_0 + 2:
      return ControlEvent::Failed;
    default:
      return std::nullopt;
  }
}

struct ControlServer::Impl {
  HANDLE events[3] = {nullptr, nullptr, nullptr};  // exit, share, panel
  HANDLE mapping = nullptr;
  HANDLE blockLock = nullptr;
  HANDLE nextInBatch = nullptr;
  // The clients' batch mutex: free again once a batch's client has sent all of it.
  HANDLE batchLock = nullptr;
  unsigned char* view = nullptr;

  // Set by the client only while it holds the block, so it belongs to the request
  // that is being taken.
  bool TakeNextInBatch() {
    return nextInBatch != nullptr && WaitForSingleObject(nextInBatch, 0) == WAIT_OBJECT_0;
  }

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
    return ControlSetup::ChannelFailed;
  }
  impl_->mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      kControlBlockSize, kMappingName);
  if (impl_->mapping == nullptr) return ControlSetup::BlockFailed;
  impl_->view = static_cast<unsigned char*>(
      MapViewOfFile(impl_->mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
  if (impl_->view == nullptr) return ControlSetup::BlockUnusable;
  impl_->nextInBatch = CreateEventA(nullptr, FALSE, FALSE, kNextInBatchName);
  impl_->batchLock = CreateMutexA(nullptr, FALSE, kBatchLockName);
  impl_->blockLock = CreateSemaphoreA(nullptr, 1, 1, kBlockLockName);
  return ControlSetup::Ok;
}

ControlEvent ControlServer::Wait(bool untilBatchEnds) {
  if (impl_ == nullptr) return ControlEvent::Failed;
  HANDLE handles[4] = {impl_->events[0], impl_->events[1], impl_->events[2], impl_->batchLock};
  const DWORD count = untilBatchEnds && impl_->batchLock != nullptr ? 4 : 3;
  for (;;) {
    const DWORD result =
        MsgWaitForMultipleObjectsEx(count, handles, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (result == WAIT_OBJECT_0 + count) {
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
      continue;
    }
    // Taken only to learn that it is free (a client that died holding it hands it over
    // abandoned, which ends its batch too): given back at once.
    if (count == 4 && (result == WAIT_OBJECT_0 + 3 || result == WAIT_ABANDONED_0 + 3)) {
      ReleaseMutex(impl_->batchLock);
      return ControlEvent::BatchEnded;
    }
    const std::optional<ControlEvent> event = ControlEventOfWait(result);
    if (event) return *event;
  }
}

std::string ControlServer::TakeSharePath(bool* continuesBatch) {
  if (continuesBatch != nullptr) *continuesBatch = false;
  if (impl_ == nullptr || impl_->view == nullptr) return std::string();
  std::size_t length = impl_->view[0] | (impl_->view[1] << 8);
  if (length > kMaxControlPath) length = kMaxControlPath;
  std::string path(reinterpret_cast<const char*>(impl_->view) + 2, length);
  const bool next = impl_->TakeNextInBatch();
  if (continuesBatch != nullptr) *continuesBatch = next;
  impl_->ReleaseBlock();
  return path;
}

void ControlServer::DropShareRequest() {
  if (impl_ == nullptr) return;
  impl_->TakeNextInBatch();
  impl_->ReleaseBlock();
}

void ControlServer::Close() {
  if (impl_ == nullptr) return;
  for (HANDLE& event : impl_->events) {
    if (event != nullptr) CloseHandle(event);
  }
  if (impl_->view != nullptr) UnmapViewOfFile(impl_->view);
  if (impl_->mapping != nullptr) CloseHandle(impl_->mapping);
  if (impl_->blockLock != nullptr) CloseHandle(impl_->blockLock);
  if (impl_->nextInBatch != nullptr) CloseHandle(impl_->nextInBatch);
  if (impl_->batchLock != nullptr) CloseHandle(impl_->batchLock);
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

ControlSend SendControlShares(const std::vector<std::string>& paths) {
  // Refused before anything is opened: the block has room for kMaxControlPath bytes.
  for (const std::string& path : paths) {
    if (path.size() > kMaxControlPath) return ControlSend::PathTooLong;
  }
  HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, kShareEventName);
  if (event == nullptr) return ControlSend::NotRunning;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, kMappingName);
  if (mapping == nullptr) {
    CloseHandle(event);
    return ControlSend::BlockMissing;
  }
  auto* view = static_cast<unsigned char*>(
      MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
  if (view == nullptr) {
    CloseHandle(mapping);
    CloseHandle(event);
    return ControlSend::BlockUnusable;
  }
  // One batch at a time, so that no other client's file lands between this one's. A
  // client that died holding it leaves it abandoned, which still hands it over.
  HANDLE batchLock = CreateMutexA(nullptr, FALSE, kBatchLockName);
  bool batchHeld = false;
  ControlSend result = ControlSend::Delivered;
  if (batchLock != nullptr) {
    const DWORD waited = WaitForSingleObject(batchLock, kBatchLockWaitMs);
    batchHeld = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (!batchHeld) result = ControlSend::Busy;
  }
  // Held from writing the block until the server has copied the path out; the server
  // releases it.
  HANDLE blockLock = OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, kBlockLockName);
  // Without the block lock the mark could be taken with another request: no marks then.
  HANDLE nextInBatch = blockLock != nullptr
                           ? OpenEventA(EVENT_MODIFY_STATE, FALSE, kNextInBatchName)
                           : nullptr;
  for (std::size_t i = 0; i < paths.size() && result == ControlSend::Delivered; ++i) {
    const std::string& path = paths[i];
    if (blockLock != nullptr && WaitForSingleObject(blockLock, kBlockLockWaitMs) != WAIT_OBJECT_0) {
      result = ControlSend::Busy;
      break;
    }
    if (i > 0 && nextInBatch != nullptr) SetEvent(nextInBatch);
    view[0] = static_cast<unsigned char>(path.size() & 0xFF);
    view[1] = static_cast<unsigned char>((path.size() >> 8) & 0xFF);
    std::memcpy(view + 2, path.data(), path.size());
    SetEvent(event);
  }
  if (nextInBatch != nullptr) CloseHandle(nextInBatch);
  if (blockLock != nullptr) CloseHandle(blockLock);
  if (batchHeld) ReleaseMutex(batchLock);
  if (batchLock != nullptr) CloseHandle(batchLock);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(event);
  return result;
}

// The Windows channel carries only the one-way requests: no server answers, and a client
// finds none to ask.
void SetAnsweredRequests(AnsweredRequests) {}

struct ControlConnection::Impl {};

ControlConnection::ControlConnection() : impl_(std::make_unique<Impl>()) {}
ControlConnection::~ControlConnection() = default;
bool ControlConnection::Open() { return false; }
bool ControlConnection::Write(std::string_view, int) { return false; }
std::size_t ControlConnection::Read(char*, std::size_t, int, bool*) { return 0; }

}  // namespace qc::platform
