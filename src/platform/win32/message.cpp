#include "platform/message.h"

#include <atomic>
#include <string>

#include "platform/os_windows.h"
#include "platform/windows_handles.h"

namespace qc::platform {

namespace {

void ShowSystemMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
  UINT style = MB_OK;
  if (icon == MessageIcon::Error) style |= MB_ICONERROR;
  if (icon == MessageIcon::Warning) style |= MB_ICONWARNING;
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), style);
}

}  // namespace

void WriteErrorLine(std::string_view text) {
  // A program without a console has no standard error handle, or one that refuses writes:
  // the line is then simply not written.
  const HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  std::string line(text);
  line += "\n";
  DWORD written = 0;
  WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

namespace {

// Set while a box shown aside waits for its click.
std::atomic<bool> asideBoxUp{false};

struct AsideBox {
  std::string text;
  std::string caption;
  MessageIcon icon;
};

DWORD WINAPI ShowAsideBox(LPVOID parameter) {
  const AsideBox* box = static_cast<AsideBox*>(parameter);
  ShowSystemMessage(box->text, box->caption, box->icon);
  delete box;
  asideBoxUp.store(false);
  return 0;
}

void ShowSystemMessageAside(const std::string& text, const std::string& caption, MessageIcon icon) {
  if (asideBoxUp.exchange(true)) return;
  auto* box = new AsideBox{text, caption, icon};
  // The thread owns the box's texts; nobody waits for it, and it ends with the click (or
  // with the process, which takes an unanswered box with it).
  const UniqueHandle thread(CreateThread(nullptr, 0, ShowAsideBox, box, 0, nullptr));
  if (!thread) {
    delete box;
    asideBoxUp.store(false);
  }
}

}  // namespace

MessageSink SystemMessageSink() { return {ShowSystemMessage, ShowSystemMessageAside}; }

}  // namespace qc::platform
