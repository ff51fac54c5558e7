#include "ui/ui_session.h"

#include <vector>

namespace qc::ui {

void CreateControls(const UiSession& session, HWND parent, std::span<const ControlRow> table) {
  for (const ControlRow& row : table) {
    const KindStyle style = StyleOf(row.kind);
    HWND control = CreateWindowExA(
        style.exStyle, style.className, row.text, style.style, row.x, row.y, row.width, row.height,
        parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), session.instance, nullptr);
    if (control != nullptr && row.kind != ControlKind::ListView) {
      SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(session.font), TRUE);
    }
  }
}

std::string WindowText(HWND window) {
  const LRESULT length = SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
  if (length <= 0) return {};
  std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
  const LRESULT copied =
      SendMessageA(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
  return std::string(buffer.data(), static_cast<std::size_t>(copied > 0 ? copied : 0));
}

platform::AnsiPath PathInEdit(HWND edit) {
  const int length = GetWindowTextLengthW(edit);
  std::wstring text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
  const int copied = GetWindowTextW(edit, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return platform::AnsiPathOf(platform::WideToUtf8(text));
}

}  // namespace qc::ui
