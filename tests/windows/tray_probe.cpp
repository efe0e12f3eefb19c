// tray_probe.exe: what scripts/test-windows-installer.sh asks of the
// notification area under Wine, from inside it.
//   tray_probe desktop          brings up Wine's desktop (its first window does)
//   tray_probe list             every window's class and title, children too
//   tray_probe has CLASS        status 0 when a window of that class exists
//   tray_probe command ID       posts WM_COMMAND ID to the running kvdash.exe's
//                               hidden window; status 1 when none runs
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr const wchar_t* kHostWindowClass = L"kvdash.notification-area";

struct Search {
  const wchar_t* wanted;  // nullptr: list them all
  bool found;
};

BOOL CALLBACK Visit(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  wchar_t name[256] = L"";
  wchar_t title[256] = L"";
  GetClassNameW(window, name, 256);
  GetWindowTextW(window, title, 256);
  if (search->wanted == nullptr) {
    std::wprintf(L"%ls\t%ls\n", name, title);
  } else if (std::wcscmp(name, search->wanted) == 0) {
    search->found = true;
  }
  return TRUE;
}

BOOL CALLBACK VisitTopLevel(HWND window, LPARAM context) {
  Visit(window, context);
  EnumChildWindows(window, Visit, context);
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"list" || (verb == L"has" && argc == 3)) {
    Search search{verb == L"has" ? argv[2] : nullptr, false};
    EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
    return verb == L"list" || search.found ? 0 : 1;
  }
  if (verb == L"desktop") {
    HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr) return 1;
    DestroyWindow(window);
    return 0;
  }
  if (verb == L"command" && argc == 3) {
    HWND window = FindWindowW(kHostWindowClass, nullptr);
    if (window == nullptr) return 1;
    return PostMessageW(window, WM_COMMAND, std::wcstoul(argv[2], nullptr, 10), 0) ? 0 : 1;
  }
  std::fwprintf(stderr, L"usage: tray_probe desktop | list | has CLASS | command ID\n");
  return 2;
}
