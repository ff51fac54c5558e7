// Owning, move-only wrappers for the Win32 handle kinds this backend and the panel create
// and free themselves: each is freed exactly once, by whoever holds it last. Handles that a
// portable class keeps as a plain value (a File's, a socket_t) are freed by that class's
// own close function instead. Beside os_windows.h rather than in the backend's folder, as
// the panel (ui/) owns windows, a font and a thread handle too.
#pragma once
#ifndef _WIN32
#error "windows_handles.h is for the Windows build only"
#endif
#include "platform/os_windows.h"

#include <utility>

namespace qc::platform {

// Traits: `Handle` (the raw type), `Invalid()` (what "none" stores), `IsValid(h)` and
// `Free(h)` (called only on a valid handle).
template <typename Traits>
class UniqueResource {
 public:
  using Handle = typename Traits::Handle;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Handle handle) noexcept : handle_(handle) {}
  ~UniqueResource() { reset(); }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : handle_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return Traits::IsValid(handle_); }
  // Hands the handle over (to the system or another owner) without freeing it.
  [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
  void reset(Handle handle = Traits::Invalid()) noexcept {
    const Handle old = std::exchange(handle_, handle);
    if (Traits::IsValid(old)) Traits::Free(old);
  }

 private:
  Handle handle_ = Traits::Invalid();
};

namespace handle_traits {

// Kernel objects: events, mutexes, semaphores, mappings, threads, files. Functions that
// fail give nullptr, CreateFile gives INVALID_HANDLE_VALUE: both are "none".
struct Kernel {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Free(Handle h) noexcept { CloseHandle(h); }
};

struct Socket {
  using Handle = SOCKET;
  static Handle Invalid() noexcept { return INVALID_SOCKET; }
  static bool IsValid(Handle s) noexcept { return s != INVALID_SOCKET; }
  static void Free(Handle s) noexcept { ::closesocket(s); }
};

struct WsaEvent {
  using Handle = WSAEVENT;
  static Handle Invalid() noexcept { return WSA_INVALID_EVENT; }
  static bool IsValid(Handle h) noexcept { return h != WSA_INVALID_EVENT; }
  static void Free(Handle h) noexcept { WSACloseEvent(h); }
};

struct MappedView {
  using Handle = void*;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle view) noexcept { return view != nullptr; }
  static void Free(Handle view) noexcept { UnmapViewOfFile(view); }
};

struct Global {
  using Handle = HGLOBAL;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Free(Handle h) noexcept { GlobalFree(h); }
};

template <typename Object>
struct Gdi {
  using Handle = Object;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Free(Handle h) noexcept { DeleteObject(h); }
};

struct Window {
  using Handle = HWND;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Free(Handle h) noexcept { DestroyWindow(h); }
};

struct Menu {
  using Handle = HMENU;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Free(Handle h) noexcept { DestroyMenu(h); }
};

struct Icon {
  using Handle = HICON;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Free(Handle h) noexcept { DestroyIcon(h); }
};

}  // namespace handle_traits

using UniqueHandle = UniqueResource<handle_traits::Kernel>;
using UniqueSocket = UniqueResource<handle_traits::Socket>;
using UniqueWsaEvent = UniqueResource<handle_traits::WsaEvent>;
using UniqueMappedView = UniqueResource<handle_traits::MappedView>;
// SetClipboardData takes the block over on success: release() it then.
using UniqueGlobal = UniqueResource<handle_traits::Global>;
using UniqueFont = UniqueResource<handle_traits::Gdi<HFONT>>;
// Only for a window its owner destroys; one the user closes goes through its own messages.
using UniqueWindow = UniqueResource<handle_traits::Window>;
using UniqueMenu = UniqueResource<handle_traits::Menu>;
using UniqueIcon = UniqueResource<handle_traits::Icon>;

}  // namespace qc::platform
