// Reads shortcuts (.lnk) back through IShellLink for the installer's end-to-end test, and
// tells where the user's shell folders are. Everything is printed as UTF-8.
//   shortcut_reader folders        sendto=, programs=, startup=, appdata=, localappdata=
//   shortcut_reader LINK.lnk ...   target=, arguments=, workdir=, icon= for each link
//                                  ("missing" when the link cannot be loaded)
#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/os_windows.h"

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace {

std::string Utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(size - 1);
  return out;
}

void Print(const char* key, const wchar_t* value) {
  std::printf("%s=%s\n", key, Utf8(value).c_str());
}

void PrintFolders() {
  const struct {
    const char* key;
    int csidl;
  } folders[] = {{"sendto", CSIDL_SENDTO},
                 {"programs", CSIDL_PROGRAMS},
                 {"startup", CSIDL_STARTUP},
                 {"appdata", CSIDL_APPDATA},
                 {"localappdata", CSIDL_LOCAL_APPDATA}};
  for (const auto& folder : folders) {
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, folder.csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    Print(folder.key, path);
  }
}

bool PrintLink(const wchar_t* file) {
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return false;
  }
  IPersistFile* persist = nullptr;
  bool loaded =
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
      SUCCEEDED(persist->Load(file, STGM_READ));
  if (loaded) {
    wchar_t text[4096];
    // The stored target, without resolving it (a missing target must show as such).
    text[0] = L'\0';
    link->GetPath(text, 4096, nullptr, SLGP_RAWPATH);
    Print("target", text);
    text[0] = L'\0';
    link->GetArguments(text, 4096);
    Print("arguments", text);
    text[0] = L'\0';
    link->GetWorkingDirectory(text, 4096);
    Print("workdir", text);
    int index = 0;
    text[0] = L'\0';
    link->GetIconLocation(text, 4096, &index);
    std::printf("icon=%s,%d\n", Utf8(text).c_str(), index);
  }
  if (persist != nullptr) persist->Release();
  link->Release();
  return loaded;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 2) {
    std::fprintf(stderr, "usage: shortcut_reader folders | LINK.lnk...\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int result = 0;
  if (std::wcscmp(argv[1], L"folders") == 0) {
    PrintFolders();
  } else {
    for (int i = 1; i < argc; ++i) {
      Print("link", argv[i]);
      if (!PrintLink(argv[i])) {
        std::printf("missing\n");
        result = 1;
      }
    }
  }
  std::fflush(stdout);
  CoUninitialize();
  LocalFree(argv);
  return result;
}
