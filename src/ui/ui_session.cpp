#include "ui/ui_session.h"

#include <vector>

#include "platform/local_time.h"
#include "shares/folder_rules.h"

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

namespace {

// LOCALE_SGROUPING ("3;0", "3;2;0") as NUMBERFMT's Grouping (3, 32).
UINT Grouping(const char* text) {
  UINT grouping = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '1' || *c > '9') continue;
    grouping = grouping * 10 + static_cast<UINT>(*c - '0');
  }
  return grouping == 0 ? 3 : grouping;
}

std::string LocaleNumber(const std::string& digits) {
  char decimal[8] = {};
  char thousand[8] = {};
  char grouping[16] = {};
  GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, decimal, sizeof decimal);
  GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, thousand, sizeof thousand);
  GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SGROUPING, grouping, sizeof grouping);
  NUMBERFMTA format{};
  const std::size_t dot = digits.find('.');
  format.NumDigits = dot == std::string::npos ? 0 : static_cast<UINT>(digits.size() - dot - 1);
  format.LeadingZero = 1;
  format.Grouping = Grouping(grouping);
  format.lpDecimalSep = decimal;
  format.lpThousandSep = thousand;
  format.NegativeOrder = 1;
  char out[64];
  if (GetNumberFormatA(LOCALE_USER_DEFAULT, 0, digits.c_str(), &format, out, sizeof out) <= 0)
    return digits;
  return out;
}

std::string LocaleMoment(std::int64_t unixSeconds) {
  const std::optional<platform::CalendarTime> local = platform::LocalCalendarTime(unixSeconds);
  if (!local) return std::string();
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(local->year);
  time.wMonth = static_cast<WORD>(local->month);
  time.wDay = static_cast<WORD>(local->day);
  time.wHour = static_cast<WORD>(local->hour);
  time.wMinute = static_cast<WORD>(local->minute);
  time.wSecond = static_cast<WORD>(local->second > 59 ? 59 : local->second);
  char date[64];
  char clock[64];
  if (GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, date, sizeof date) <= 0 ||
      GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &time, nullptr, clock, sizeof clock) <=
          0) {
    return std::string();
  }
  return std::string(date) + " " + clock;
}

}  // namespace

LocaleFormat UserLocaleFormat() { return {LocaleNumber, LocaleMoment}; }

bool ConfirmWholeFolder(HWND owner, const std::string& folder) {
  const platform::Message* question = nullptr;
  switch (FolderShareRiskOfPath(folder)) {
    case FolderShareRisk::DriveRoot:
      question = &kConfirmDriveRootMessage;
      break;
    case FolderShareRisk::WholeProfile:
      question = &kConfirmProfileMessage;
      break;
    case FolderShareRisk::None:
      return true;
  }
  const std::string text = std::string(question->text) + "\n\n" + folder;
  const std::string caption(question->caption);
  // "No" first in line: a hurried Enter shares nothing.
  return MessageBoxA(owner, text.c_str(), caption.c_str(),
                     MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

}  // namespace qc::ui
