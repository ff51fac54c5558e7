// The Windows control channel: three named auto-reset events and the 5120-byte named
// mapping that carries a share request's path, plus a named semaphore that lets one share
// client at a time write the block until the server has copied the path out. A client
// that shares several files (Send to with a selection) holds a batch mutex across all of
// them and marks the second and later ones with a continuation event, so that the server
// knows which requests belong together; the block's layout stays one path.
#include "platform/control_channel.h"

#include <algorithm>

#include "platform/os_windows.h"
#include "platform/windows_handles.h"

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
// mid-request must not hang its clients for ever; but the server takes the next path of a
// batch only once it has stored the one before durably, and a disk busy with other work
// held that flush past ten seconds under load (a Send to of three files then failed on its
// third), so the wait is the batch's own.
constexpr DWORD kBlockLockWaitMs = 60000;
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

// Members are freed in reverse order: the batch lock, the mark and the block lock first,
// then the view before its mapping, the events last.
struct ControlServer::Impl {
  UniqueHandle events[3];  // exit, share, panel
  UniqueHandle mapping;
  UniqueMappedView view;
  UniqueHandle blockLock;
  UniqueHandle nextInBatch;
  // The clients' batch mutex: free again once a batch's client has sent all of it.
  UniqueHandle batchLock;

  unsigned char* Block() const { return static_cast<unsigned char*>(view.get()); }

  // Set by the client only while it holds the block, so it belongs to the request
  // that is being taken.
  bool TakeNextInBatch() {
    return nextInBatch && WaitForSingleObject(nextInBatch.get(), 0) == WAIT_OBJECT_0;
  }

  void ReleaseBlock() {
    if (blockLock) ReleaseSemaphore(blockLock.get(), 1, nullptr);
  }
};

// The Windows channel carries only the one-way requests: no server answers, and a client
// finds none to ask. (By value, as the native channel keeps what it is given.)
// NOLINTNEXTLINE(performance-unnecessary-value-param)
ControlServer::ControlServer(AnsweredRequests) {}
ControlServer::~ControlServer() = default;

ControlSetup ControlServer::Open(int* error) {
  const auto failed = [error](ControlSetup setup) {
    if (error != nullptr) *error = static_cast<int>(GetLastError());
    return setup;
  };
  Close();
  impl_ = std::make_unique<Impl>();
  impl_->events[0].reset(CreateEventA(nullptr, FALSE, FALSE, kExitEventName));
  impl_->events[1].reset(CreateEventA(nullptr, FALSE, FALSE, kShareEventName));
  impl_->events[2].reset(CreateEventA(nullptr, FALSE, FALSE, kPanelEventName));
  if (!impl_->events[0] || !impl_->events[1] || !impl_->events[2]) {
    return failed(ControlSetup::ChannelFailed);
  }
  impl_->mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          kControlBlockSize, kMappingName));
  if (!impl_->mapping) return failed(ControlSetup::BlockFailed);
  impl_->view.reset(MapViewOfFile(impl_->mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
  if (!impl_->view) return failed(ControlSetup::BlockUnusable);
  impl_->nextInBatch.reset(CreateEventA(nullptr, FALSE, FALSE, kNextInBatchName));
  impl_->batchLock.reset(CreateMutexA(nullptr, FALSE, kBatchLockName));
  impl_->blockLock.reset(CreateSemaphoreA(nullptr, 1, 1, kBlockLockName));
  return ControlSetup::Ok;
}

ControlEvent ControlServer::Wait(bool untilBatchEnds) {
  if (impl_ == nullptr) return ControlEvent::Failed;
  HANDLE handles[4] = {impl_->events[0].get(), impl_->events[1].get(), impl_->events[2].get(),
                       impl_->batchLock.get()};
  const DWORD count = untilBatchEnds && impl_->batchLock ? 4 : 3;
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
      ReleaseMutex(impl_->batchLock.get());
      return ControlEvent::BatchEnded;
    }
    const std::optional<ControlEvent> event = ControlEventOfWait(result);
    if (event) return *event;
  }
}

std::string ControlServer::TakeSharePath(bool* continuesBatch) {
  if (continuesBatch != nullptr) *continuesBatch = false;
  if (impl_ == nullptr || !impl_->view) return std::string();
  const unsigned char* block = impl_->Block();
  std::size_t length = block[0] | (block[1] << 8);
  if (length > kMaxControlPath) length = kMaxControlPath;
  std::string path(reinterpret_cast<const char*>(block) + 2, length);
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

void ControlServer::Close() { impl_.reset(); }

bool ControlServerReachable() {
  // The block lock is the last object the set-up creates.
  const UniqueHandle lock(OpenSemaphoreA(SYNCHRONIZE, FALSE, kBlockLockName));
  return static_cast<bool>(lock);
}

ControlSend SendControlRequest(ControlRequest request) {
  const UniqueHandle event(OpenEventA(
      EVENT_ALL_ACCESS, FALSE, request == ControlRequest::Stop ? kExitEventName : kPanelEventName));
  if (!event) return ControlSend::NotRunning;
  SetEvent(event.get());
  return ControlSend::Delivered;
}

ControlSend SendControlShares(const std::vector<std::string>& paths) {
  // Refused before anything is opened: the block has room for kMaxControlPath bytes.
  for (const std::string& path : paths) {
    if (path.size() > kMaxControlPath) return ControlSend::PathTooLong;
  }
  // Declared in the order they are taken, so that they are let go in reverse.
  const UniqueHandle event(OpenEventA(EVENT_ALL_ACCESS, FALSE, kShareEventName));
  if (!event) return ControlSend::NotRunning;
  const UniqueHandle mapping(OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, kMappingName));
  if (!mapping) return ControlSend::BlockMissing;
  const UniqueMappedView mappedView(
      MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
  if (!mappedView) return ControlSend::BlockUnusable;
  auto* view = static_cast<unsigned char*>(mappedView.get());
  // One batch at a time, so that no other client's file lands between this one's. A
  // client that died holding it leaves it abandoned, which still hands it over.
  const UniqueHandle batchLock(CreateMutexA(nullptr, FALSE, kBatchLockName));
  bool batchHeld = false;
  ControlSend result = ControlSend::Delivered;
  if (batchLock) {
    const DWORD waited = WaitForSingleObject(batchLock.get(), kBatchLockWaitMs);
    batchHeld = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (!batchHeld) result = ControlSend::Busy;
  }
  // Held from writing the block until the server has copied the path out; the server
  // releases it.
  const UniqueHandle blockLock(
      OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, kBlockLockName));
  // Without the block lock the mark could be taken with another request: no marks then.
  const UniqueHandle nextInBatch(blockLock ? OpenEventA(EVENT_MODIFY_STATE, FALSE, kNextInBatchName)
                                           : nullptr);
  for (std::size_t i = 0; i < paths.size() && result == ControlSend::Delivered; ++i) {
    const std::string& path = paths[i];
    if (blockLock && WaitForSingleObject(blockLock.get(), kBlockLockWaitMs) != WAIT_OBJECT_0) {
      result = ControlSend::Busy;
      break;
    }
    if (i > 0 && nextInBatch) SetEvent(nextInBatch.get());
    view[0] = static_cast<unsigned char>(path.size() & 0xFF);
    view[1] = static_cast<unsigned char>((path.size() >> 8) & 0xFF);
    // Length first, then the bytes: the block holds no terminating zero.
    std::copy(path.begin(), path.end(), view + 2);
    SetEvent(event.get());
  }
  if (batchHeld) ReleaseMutex(batchLock.get());
  return result;
}

struct ControlConnection::Impl {};

ControlConnection::ControlConnection() : impl_(std::make_unique<Impl>()) {}
ControlConnection::~ControlConnection() = default;
bool ControlConnection::Open() { return false; }
bool ControlConnection::Write(std::string_view, int) { return false; }
std::size_t ControlConnection::Read(char*, std::size_t, int, bool*) { return 0; }

}  // namespace qc::platform
