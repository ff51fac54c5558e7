// Every text, control ID, style and size of the control panel and the New share window,
// defined once. The window code only walks these tables.
#pragma once
#include "platform/os_windows.h"

#include <commctrl.h>
#include <commdlg.h>

#include <iterator>
#include <string_view>

#include "platform/message.h"
#include "quillcast_version.h"

namespace qc::ui {

// ---- Window classes and top-level windows --------------------------------------------

inline constexpr char kMainClassName[] = "WndClassQuillcastMain";
inline constexpr char kNewShareClassName[] = "WndClassQuillcastNewFile";
inline constexpr char kLimitsClassName[] = "WndClassQuillcastLimits";

inline constexpr UINT kClassStyle = CS_DBLCLKS | CS_PARENTDC;   // 136
inline constexpr INT_PTR kClassBackground = COLOR_BTNFACE + 1;  // 16
static_assert(kClassStyle == 136 && kClassBackground == 16);

inline constexpr char kMainTitle[] = "Quillcast Control Panel";
inline constexpr char kNewShareTitle[] = "New share";
inline constexpr char kLimitsTitle[] = "Share limits";

// Caption, system menu and minimise box; no sizing border, no maximise box.
inline constexpr DWORD kTopLevelStyle =
    WS_VISIBLE | WS_CLIPSIBLINGS | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
inline constexpr DWORD kTopLevelExStyle = WS_EX_WINDOWEDGE;
static_assert(kTopLevelStyle == 0x14CA0000 && kTopLevelExStyle == 256);

inline constexpr int kMainWidth = 504;
inline constexpr int kMainHeight = 319;
inline constexpr int kNewShareWidth = 369;
// Grown by the row of the limit fields.
inline constexpr int kNewShareHeight = 215;
inline constexpr int kLimitsWidth = 369;
inline constexpr int kLimitsHeight = 151;

// ---- The one font of both windows (the list view keeps the system font) --------------

inline constexpr int kFontHeight = -11;  // a character height of 11 pixels
inline constexpr int kFontWeight = FW_NORMAL;
inline constexpr char kFontFace[] = "Verdana";

// ---- Control IDs ---------------------------------------------------------------------

enum PanelId : int {
  kIdAbout = 2000,
  kIdClose = 2001,
  kIdPortLabel = 2002,
  kIdPort = 2003,
  kIdUseIpAddress = 2004,
  kIdUseDomain = 2005,
  kIdFolderLabel = 2006,
  kIdOneShotOption = 2007,
  kIdCopyOption = 2008,
  kIdFolder = 2009,
  kIdDomain = 2010,
  kIdHostList = 2011,
  kIdNetGroup = 2012,
  kIdShareList = 2013,
  kIdAdd = 2014,
  kIdDelete = 2015,
  kIdShareGroup = 2016,
  kIdCopyUrls = 2017,
  kIdShowCode = 2018,
  kIdEditLimits = 2019,
};

enum NewShareId : int {
  kIdCancel = 2001,
  kIdPhysicalLabel = 2002,
  kIdPhysicalFile = 2003,
  kIdVirtualLabel = 2006,
  kIdVirtualFile = 2010,
  kIdBrowse = 2014,
  kIdOk = 2015,
  kIdDownloadsLabel = 2020,
  kIdDownloadsLimit = 2021,
  kIdEndLabel = 2022,
  kIdEndTime = 2023,
  kIdBrowseFolder = 2024,
};

// The Share limits window ("Edit limits" in the panel): the limit fields of New share, for
// the selected share.
enum LimitsId : int {
  kIdLimitsShare = 2030,  // which share: its virtual path
  kIdLimitsCancel = 2031,
  kIdLimitsOk = 2032,
};

// ---- Control kinds and the two control tables ----------------------------------------

enum class ControlKind {
  PushButton,
  GroupBox,
  ListView,
  DropDownList,
  Edit,
  CheckBox,
  RadioButton,
  Label
};

// Each kind's window class and styles.
struct KindStyle {
  const char* className;
  DWORD exStyle;
  DWORD style;
};

constexpr KindStyle StyleOf(ControlKind kind) {
  constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
  switch (kind) {
    case ControlKind::PushButton:
      return {"Button", 0, kChild | WS_TABSTOP | BS_PUSHBUTTON};
    case ControlKind::GroupBox:
      return {"Button", 0, kChild | WS_GROUP | BS_GROUPBOX};
    case ControlKind::ListView:
      return {"SysListView32", WS_EX_CLIENTEDGE, kChild | WS_VSCROLL | LVS_REPORT};
    case ControlKind::DropDownList:
      return {"ComboBox", 0, kChild | WS_TABSTOP | CBS_DROPDOWNLIST | CBS_HASSTRINGS};
    case ControlKind::Edit:
      return {"Edit", WS_EX_CLIENTEDGE, kChild | WS_TABSTOP | ES_AUTOHSCROLL};
    case ControlKind::CheckBox:
      return {"Button", 0, kChild | WS_TABSTOP | BS_AUTOCHECKBOX};
    case ControlKind::RadioButton:
      return {"Button", 0, kChild | WS_TABSTOP | BS_AUTORADIOBUTTON};
    case ControlKind::Label:
      return {"Static", 0, kChild | SS_LEFT | SS_NOTIFY | SS_CENTERIMAGE};
  }
  return {"", 0, 0};
}
static_assert(StyleOf(ControlKind::PushButton).style == 0x50010000);
static_assert(StyleOf(ControlKind::GroupBox).style == 0x50020007);
static_assert(StyleOf(ControlKind::ListView).style == 0x50200001);
static_assert(StyleOf(ControlKind::DropDownList).style == 0x50010203);
static_assert(StyleOf(ControlKind::Edit).style == 0x50010080);
static_assert(StyleOf(ControlKind::CheckBox).style == 0x50010003);
static_assert(StyleOf(ControlKind::RadioButton).style == 0x50010009);
static_assert(StyleOf(ControlKind::Label).style == 0x50000300);

struct ControlRow {
  const char* text;
  int id;
  ControlKind kind;
  int x;
  int y;
  int width;
  int height;
};

// In creation order; positions and sizes are client pixels of the panel.
inline constexpr ControlRow kPanelControls[] = {
    {"Copy to clipboard", kIdCopyUrls, ControlKind::PushButton, 368, 208, 112, 24},
    {"Share", kIdShareGroup, ControlKind::GroupBox, 216, 8, 272, 232},
    {"Delete", kIdDelete, ControlKind::PushButton, 296, 208, 64, 24},
    {"Add", kIdAdd, ControlKind::PushButton, 224, 208, 64, 24},
    {"", kIdShareList, ControlKind::ListView, 224, 32, 256, 168},
    {"Net", kIdNetGroup, ControlKind::GroupBox, 8, 8, 200, 232},
    {"", kIdHostList, ControlKind::DropDownList, 40, 80, 152, 23},
    {"localhost", kIdDomain, ControlKind::Edit, 40, 120, 152, 24},
    {"/temp", kIdFolder, ControlKind::Edit, 40, 168, 152, 24},
    {"Copy to clipboard", kIdCopyOption, ControlKind::CheckBox, 16, 216, 150, 16},
    {"Unshare after the full upload", kIdOneShotOption, ControlKind::CheckBox, 16, 200, 184, 16},
    {"Default virtual folder:", kIdFolderLabel, ControlKind::Label, 16, 152, 120, 16},
    {"Use domain or other string", kIdUseDomain, ControlKind::RadioButton, 16, 104, 168, 16},
    {"Use ip address", kIdUseIpAddress, ControlKind::RadioButton, 16, 64, 104, 16},
    {"80", kIdPort, ControlKind::Edit, 128, 29, 64, 24},
    {"Port number:", kIdPortLabel, ControlKind::Label, 16, 32, 88, 16},
    {"Close", kIdClose, ControlKind::PushButton, 392, 248, 96, 32},
    {"About", kIdAbout, ControlKind::PushButton, 8, 248, 96, 32},
    // In the free place of the bottom row, beside "Close": opens the QR code window of the
    // selected share's link.
    {"QR code", kIdShowCode, ControlKind::PushButton, 288, 248, 96, 32},
    // The selected share's download limit and end time.
    {"Edit limits", kIdEditLimits, ControlKind::PushButton, 184, 248, 96, 32},
};
static_assert(std::size(kPanelControls) == 20);

// In creation order; positions and sizes are client pixels of the New share window.
inline constexpr ControlRow kNewShareControls[] = {
    {"Cancel", kIdCancel, ControlKind::PushButton, 8, 152, 72, 24},
    {"OK", kIdOk, ControlKind::PushButton, 280, 152, 72, 24},
    {"/", kIdVirtualFile, ControlKind::Edit, 8, 72, 344, 24},
    {"Virtual file:", kIdVirtualLabel, ControlKind::Label, 8, 56, 64, 16},
    {"...", kIdBrowse, ControlKind::PushButton, 320, 24, 32, 24},
    // Narrowed for "Folder..." beside "...".
    {"", kIdPhysicalFile, ControlKind::Edit, 8, 24, 232, 24},
    {"Physical file:", kIdPhysicalLabel, ControlKind::Label, 8, 8, 112, 16},
    {"Downloads (empty: no limit):", kIdDownloadsLabel, ControlKind::Label, 8, 104, 170, 16},
    {"", kIdDownloadsLimit, ControlKind::Edit, 8, 120, 120, 24},
    {"Ends at (2026-12-31T18:00):", kIdEndLabel, ControlKind::Label, 184, 104, 168, 16},
    {"", kIdEndTime, ControlKind::Edit, 184, 120, 168, 24},
    // A folder is shared as one archive; the file dialog cannot choose one.
    {"Folder...", kIdBrowseFolder, ControlKind::PushButton, 248, 24, 64, 24},
};
static_assert(std::size(kNewShareControls) == 12);

// In creation order; client pixels of the Share limits window.
inline constexpr ControlRow kLimitsControls[] = {
    {"", kIdLimitsShare, ControlKind::Label, 8, 8, 344, 16},
    {"Downloads (empty: no limit):", kIdDownloadsLabel, ControlKind::Label, 8, 32, 170, 16},
    {"", kIdDownloadsLimit, ControlKind::Edit, 8, 48, 120, 24},
    {"Ends at (2026-12-31T18:00):", kIdEndLabel, ControlKind::Label, 184, 32, 168, 16},
    {"", kIdEndTime, ControlKind::Edit, 184, 48, 168, 24},
    {"Cancel", kIdLimitsCancel, ControlKind::PushButton, 8, 88, 72, 24},
    {"OK", kIdLimitsOk, ControlKind::PushButton, 280, 88, 72, 24},
};

// ---- The QR code window -------------------------------------------------------------
// Opened by the panel's "QR code" (the selected share's link) and by the notification
// icon (the last link). Its layout follows the code's size and the window's DPI: the
// sizes below are pixels at 96 DPI.

inline constexpr char kCodeClassName[] = "WndClassQuillcastQrCode";
inline constexpr char kCodeTitle[] = "QR code";
inline constexpr char kCodeCopyText[] = "Copy link";
inline constexpr char kCodeTooLongText[] = "This link is too long for a QR code.";

enum CodeWindowId : int {
  kIdCodeLink = 2000,  // the link as text, read-only, under the code
  kIdCodeCopy = 2001,
};

inline constexpr int kCodeMargin = 8;
// The code's square when the code is small: modules get as many whole pixels as fit.
inline constexpr int kCodeArea = 232;
// Fewer pixels a module than this and a phone's camera misses modules on a screen; such
// a code (a very long link) makes the window larger instead.
inline constexpr int kCodeMinModulePixels = 2;
inline constexpr int kCodeMinWidth = 264;   // the link's text and the button need this
inline constexpr int kCodeLinkHeight = 48;  // three lines of the link
inline constexpr int kCodeButtonWidth = 96;
inline constexpr int kCodeButtonHeight = 24;
inline constexpr DWORD kCodeLinkStyle =
    WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL;

// ---- Share list ----------------------------------------------------------------------

inline constexpr DWORD kShareListExStyle = LVS_EX_FULLROWSELECT;            // 32
inline constexpr UINT kColumnMask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;  // 14
static_assert(kShareListExStyle == 32 && kColumnMask == 14);
struct ListColumn {
  const char* text;
  int width;
};
// The first two are the share's path; the others follow the downloads (panel_logic.h's
// ShareColumn), refreshed in place by the panel's timer.
inline constexpr ListColumn kShareListColumns[] = {{"File", 100},      {"Virtual folder", 150},
                                                   {"Downloads", 70},  {"Last download", 190},
                                                   {"Remaining", 130}, {"Progress", 170}};
// How often the panel looks at the counts and the running downloads.
inline constexpr UINT kColumnRefreshMilliseconds = 500;
inline constexpr int kItemTextBufferSize = 256;

// ---- Settings ------------------------------------------------------------------------

// GetDlgItemTextA's buffer for the port: at most 23 characters are looked at.
inline constexpr int kPortBufferSize = 24;
// Stored when "Use domain or other string" is chosen with an empty domain.
inline constexpr char kDefaultDomain[] = "localhost";

// ---- Open-file dialog ----------------------------------------------------------------

// One double-terminated list: the description, then its pattern (the literal adds the
// last terminator).
inline constexpr wchar_t kOpenFileFilter[] = L"All files (*.*)\0*.*\0";
inline constexpr DWORD kOpenFileFlags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;  // 6144
inline constexpr DWORD kOpenFileBufferSize = 256;
static_assert(kOpenFileFlags == 6144);

// ---- Folder dialog -------------------------------------------------------------------

inline constexpr wchar_t kFolderDialogTitle[] = L"Choose a folder to share";

// ---- Messages ------------------------------------------------------------------------

inline constexpr platform::Message kAboutMessage{"Quillcast BETA " QC_VERSION_TEXT, "About",
                                                 platform::MessageIcon::None};
inline constexpr platform::Message kPortChangedMessage{
    "Requires restart the server to update the port", "Attention", platform::MessageIcon::None};
inline constexpr platform::Message kEnterPhysicalPathMessage{"Please, enter the physical path",
                                                             "error", platform::MessageIcon::Error};

// At "Close", for a typed setting that would break every link: nothing is saved and the
// panel stays open with the setting's field focused, so it can be put right.
inline constexpr platform::Message kPortRuleMessage{"The port number must be from 1 to 65535",
                                                    "Attention", platform::MessageIcon::Warning};
inline constexpr platform::Message kDomainRuleMessage{
    "The domain must be a host name or an IPv4 address, optionally followed by \":\" and a "
    "port from 1 to 65535",
    "Attention", platform::MessageIcon::Warning};
inline constexpr platform::Message kDomainIPv6Message{
    "The domain can't be an IPv6 address: the server listens on IPv4 only", "Attention",
    platform::MessageIcon::Warning};
inline constexpr platform::Message kFolderRuleMessage{
    "The default virtual folder must be empty or begin with \"/\", without blanks, control "
    "characters, \"?\", \"#\" or \"@\"",
    "Attention", platform::MessageIcon::Warning};

// At "OK" in New share and Share limits, for a limit field that breaks the native
// command's rules for -limit and -until: nothing changes and the field is focused.
inline constexpr platform::Message kLimitDownloadsMessage{
    "The number of downloads must be a whole number from 1 to 999999999, or empty for no limit",
    "Attention", platform::MessageIcon::Warning};
inline constexpr platform::Message kLimitEndFormMessage{
    "The end must be a local date and time such as 2026-12-31T18:00, or empty for no end",
    "Attention", platform::MessageIcon::Warning};
inline constexpr platform::Message kLimitEndUnwritableMessage{
    "This computer's clock cannot show that date and time; please choose another one", "Attention",
    platform::MessageIcon::Warning};
inline constexpr platform::Message kLimitEndPassedMessage{
    "That date and time has passed already: the share would end at once", "Attention",
    platform::MessageIcon::Warning};
// A limit at or below the downloads a share already had would end it at once.
inline constexpr platform::Message kLimitBelowCountMessage{
    "This share has been downloaded that many times already: the limit must be higher, or "
    "empty for no limit",
    "Attention", platform::MessageIcon::Warning};
// "Edit limits" without a selected row.
inline constexpr platform::Message kSelectShareMessage{"Select a share in the list first",
                                                       "Attention", platform::MessageIcon::Warning};
// "Edit limits" for a share that has ended: its link stays dead.
inline constexpr platform::Message kShareEndedMessage{
    "This share has ended; share the file again for a new link", "Attention",
    platform::MessageIcon::Warning};

// A file shared again: it keeps its one share, whose virtual path follows the text.
inline constexpr platform::Message kAlreadySharedMessage{
    "This file is already shared, under the virtual path", "Attention",
    platform::MessageIcon::Warning};
// At "OK" in New share, for a typed virtual path another file's share holds: nothing is
// added and the window stays, so that another path can be typed. The path follows the text.
inline constexpr platform::Message kVirtualPathTakenMessage{
    "This virtual path already leads to another file; please choose another one", "Attention",
    platform::MessageIcon::Warning};

// At "OK" in New share, for a folder that holds more than anyone means to share at once;
// the path follows the text. "No" (the default button) adds nothing and the window stays.
inline constexpr platform::Message kConfirmDriveRootMessage{
    "This folder is the root of a drive: everything on the drive would be shared. Share it "
    "anyway?",
    "Attention", platform::MessageIcon::Warning};
inline constexpr platform::Message kConfirmProfileMessage{
    "This folder holds your user profile: all your documents, keys and browser data would be "
    "shared. Share it anyway?",
    "Attention", platform::MessageIcon::Warning};

}  // namespace qc::ui
