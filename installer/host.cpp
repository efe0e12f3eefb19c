// kvdash.exe and kvdash-dashboard.exe: the programs at the top of the Windows
// app folder. Both load the bundled CPython (runtime\python3XX.dll) into their
// own process and run kvdash_dashboard.main there, so that Task Manager and a
// firewall prompt name kvdash, not python.exe. Built twice from this file:
//   KVDASH_TRAY defined: kvdash.exe, GUI subsystem, with the notification-area
//     icon, one instance (a named mutex plus the icon's hidden window, found by
//     its class name), --quit;
//   else: kvdash-dashboard.exe, console subsystem, the command line.
// The interpreter is reached through LoadLibrary and GetProcAddress alone:
// a few functions of its stable ABI, no headers or import library needed, so
// the same host runs with whichever 3.x the runtime folder holds.
#include <windows.h>
// After windows.h, which they need.
#include <shellapi.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

// ---- The interpreter's few entry points ------------------------------------

// The stable ABI's module definition, as Include/moduleobject.h and
// Include/methodobject.h lay it out (unchanged since 3.2).
struct PyObject;
using PyCFunction = PyObject* (*)(PyObject*, PyObject*);
struct PyMethodDef {
  const char* name;
  PyCFunction method;
  int flags;
  const char* doc;
};
struct PyModuleDef {
  std::intptr_t ob_refcnt;
  void* ob_type;
  PyObject* (*m_init)();
  std::intptr_t m_index;
  PyObject* m_copy;
  const char* m_name;
  const char* m_doc;
  std::intptr_t m_size;
  PyMethodDef* m_methods;
  void* m_slots;
  void* m_traverse;
  void* m_clear;
  void* m_free;
};
constexpr int kMethNoArgs = 0x0004;
constexpr int kMethO = 0x0008;
constexpr int kPythonAbiVersion = 3;
constexpr int kSigInt = 2;

struct Python {
  int (*Main)(int, wchar_t**);
  int (*ImportAppendInittab)(const char*, PyObject* (*)());
  PyObject* (*ModuleCreate2)(PyModuleDef*, int);
  wchar_t* (*UnicodeAsWideCharString)(PyObject*, std::intptr_t*);
  long (*LongAsLong)(PyObject*);
  PyObject* (*ErrOccurred)();
  void (*MemFree)(void*);
  PyObject* (*BoolFromLong)(long);
  void (*IncRef)(PyObject*);
  PyObject* None;
  int (*ErrSetInterruptEx)(int);
};
Python py{};

// ---- What the host and the app share ----------------------------------------

constexpr const wchar_t* kWindowClass = L"kvdash.notification-area";
constexpr const wchar_t* kMutexName = L"Local\\kvdash.notification-area";
constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kRunValue = L"kvdash";
// The menu's commands, also what --quit, a second start and tests post to
// the hidden window as WM_COMMAND.
constexpr UINT kCmdSettings = 1001;
constexpr UINT kCmdDisplayPage = 1002;
constexpr UINT kCmdStartWithWindows = 1003;
constexpr UINT kCmdOpenLogFolder = 1004;
constexpr UINT kCmdQuit = 1005;
constexpr UINT kMsgIcon = WM_APP + 1;   // the icon's mouse events
constexpr UINT kMsgState = WM_APP + 2;  // the app said something new
constexpr UINT kMsgEnded = WM_APP + 3;  // the app has ended: remove the icon
constexpr DWORD kEndWaitMs = 4500;      // within the 5 s Windows grants at a close or sign-out

CRITICAL_SECTION shared_lock;
std::wstring state_text = L"starting";  // the tooltip's state
int web_port = -1;                      // -1: not known yet; 0: no web server
// The app ends cleanly on Ctrl+C (display blanked, closing line) once its
// loop runs, which its first state says; an end asked for earlier waits.
bool app_ready = false;
bool end_asked = false;
HWND tray_window = nullptr;
HANDLE app_ended = nullptr;  // set once main() has returned

void Notify(UINT message) {
  if (tray_window != nullptr) PostMessageW(tray_window, message, 0, 0);
}

// Ends the app as Ctrl+C does: its handler blanks the display, status 0.
void AskAppToEnd() {
  EnterCriticalSection(&shared_lock);
  bool now = app_ready;
  end_asked = !now;
  LeaveCriticalSection(&shared_lock);
  if (now && py.ErrSetInterruptEx != nullptr) py.ErrSetInterruptEx(kSigInt);
}

PyObject* ReturnNone() {
  py.IncRef(py.None);
  return py.None;
}

// _kvdash_host.set_state(text): the tooltip's state.
PyObject* HostSetState(PyObject*, PyObject* text) {
  wchar_t* wide = py.UnicodeAsWideCharString(text, nullptr);
  if (wide == nullptr) return nullptr;
  EnterCriticalSection(&shared_lock);
  state_text = wide;
  app_ready = true;
  bool end_now = end_asked;
  end_asked = false;
  LeaveCriticalSection(&shared_lock);
  py.MemFree(wide);
  Notify(kMsgState);
  if (end_now) py.ErrSetInterruptEx(kSigInt);
  return ReturnNone();
}

// _kvdash_host.set_port(port): where the settings page is (0: nowhere).
PyObject* HostSetPort(PyObject*, PyObject* number) {
  long port = py.LongAsLong(number);
  if (port == -1 && py.ErrOccurred() != nullptr) return nullptr;
  EnterCriticalSection(&shared_lock);
  web_port = port > 0 && port < 65536 ? static_cast<int>(port) : 0;
  LeaveCriticalSection(&shared_lock);
  Notify(kMsgState);
  return ReturnNone();
}

// _kvdash_host.open_settings(): the settings page in the user's browser
// (a first start with no settings file).
PyObject* HostOpenSettings(PyObject*, PyObject*) {
  if (tray_window != nullptr) PostMessageW(tray_window, WM_COMMAND, kCmdSettings, 0);
  return ReturnNone();
}

// _kvdash_host.tray(): whether this is the notification-area app.
PyObject* HostTray(PyObject*, PyObject*) {
#ifdef KVDASH_TRAY
  return py.BoolFromLong(1);
#else
  return py.BoolFromLong(0);
#endif
}

PyMethodDef host_methods[] = {
    {"set_state", HostSetState, kMethO, "The notification-area icon's state, in words."},
    {"set_port", HostSetPort, kMethO, "The settings page's port (0: none)."},
    {"open_settings", HostOpenSettings, kMethNoArgs, "Open the settings page in the browser."},
    {"tray", HostTray, kMethNoArgs, "True in kvdash.exe, the notification-area app."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef host_module = {1,
                           nullptr,
                           nullptr,
                           0,
                           nullptr,
                           "_kvdash_host",
                           "What kvdash.exe and kvdash-dashboard.exe share with the app.",
                           0,
                           host_methods,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr};

PyObject* InitHostModule() {
  return py.ModuleCreate2(&host_module, kPythonAbiVersion);
}

// ---- Files and folders ------------------------------------------------------

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);  // a long path: the name was cut
  }
}

std::wstring Folder(const std::wstring& path) {
  std::size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// The runtime's python3XX.dll (python3.dll is only the stable ABI's forwarder).
std::wstring FindPythonDll(const std::wstring& runtime) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((runtime + L"python3*.dll").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return std::wstring();
  std::wstring name;
  do {
    if (_wcsicmp(found.cFileName, L"python3.dll") != 0) name = found.cFileName;
  } while (name.empty() && FindNextFileW(search, &found));
  FindClose(search);
  return name.empty() ? name : runtime + name;
}

#ifdef KVDASH_TRAY
std::wstring LogFolder() {
  wchar_t* local = nullptr;
  std::wstring folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local))) {
    folder = std::wstring(local) + L"\\kvdash\\logs";
  }
  CoTaskMemFree(local);
  return folder;
}

#endif

// Where a message goes when there is no console: the app's log.
void Complain(const std::wstring& line) {
  if (GetStdHandle(STD_ERROR_HANDLE) != nullptr) std::fwprintf(stderr, L"%ls\n", line.c_str());
#ifdef KVDASH_TRAY
  std::wstring folder = LogFolder();
  if (folder.empty()) return;
  SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  HANDLE log = CreateFileW((folder + L"\\kvdash.log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  std::string utf8(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1,
                                                                nullptr, 0, nullptr, nullptr)),
                   '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &utf8[0], static_cast<int>(utf8.size()),
                      nullptr, nullptr);
  utf8.back() = '\n';
  DWORD written = 0;
  WriteFile(log, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  CloseHandle(log);
#endif
}

#ifdef KVDASH_TRAY

// ---- The notification-area icon ---------------------------------------------

bool settings_wanted = false;  // asked for before the port was known
UINT taskbar_created = 0;      // Explorer started again: the icon is added again
NOTIFYICONDATAW icon_data{};

bool StartsWithWindows() {
  DWORD size = 0;
  return RegGetValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, nullptr,
                      &size) == ERROR_SUCCESS;
}

void SetStartWithWindows(bool on) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  if (on) {
    std::wstring command = L"\"" + ModulePath() + L"\"";
    RegSetValueExW(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
  } else {
    RegDeleteValueW(key, kRunValue);
  }
  RegCloseKey(key);
}

void OpenPage(const wchar_t* path) {
  EnterCriticalSection(&shared_lock);
  int port = web_port;
  if (port < 0 && path[1] == L's') settings_wanted = true;  // opened once the port is known
  LeaveCriticalSection(&shared_lock);
  if (port <= 0) return;
  std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + path;
  ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void UpdateTip() {
  EnterCriticalSection(&shared_lock);
  std::wstring tip = L"kvdash: " + state_text;
  bool open_now = settings_wanted && web_port > 0;
  if (open_now) settings_wanted = false;
  LeaveCriticalSection(&shared_lock);
  if (open_now) OpenPage(L"/settings");
  std::size_t room = sizeof icon_data.szTip / sizeof icon_data.szTip[0] - 1;
  if (tip.size() > room) tip = tip.substr(0, room - 1) + L"\u2026";
  if (tip == icon_data.szTip) return;
  wcsncpy(icon_data.szTip, tip.c_str(), room);
  icon_data.uFlags = NIF_TIP;
  Shell_NotifyIconW(NIM_MODIFY, &icon_data);
}

void AddIcon(HWND window) {
  icon_data.cbSize = sizeof icon_data;
  icon_data.hWnd = window;
  icon_data.uID = 1;
  icon_data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
  icon_data.uCallbackMessage = kMsgIcon;
  icon_data.hIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1),
                                                  IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                  GetSystemMetrics(SM_CYSMICON), 0));
  wcsncpy(icon_data.szTip, L"kvdash: starting", sizeof icon_data.szTip / sizeof(wchar_t) - 1);
  Shell_NotifyIconW(NIM_ADD, &icon_data);
}

void ShowMenu(HWND window) {
  HMENU menu = CreatePopupMenu();
  EnterCriticalSection(&shared_lock);
  UINT web = web_port == 0 ? MF_GRAYED : 0;
  LeaveCriticalSection(&shared_lock);
  AppendMenuW(menu, MF_STRING | web, kCmdSettings, L"Settings");
  AppendMenuW(menu, MF_STRING | web, kCmdDisplayPage, L"Display page");
  AppendMenuW(menu, MF_STRING | (StartsWithWindows() ? MF_CHECKED : 0), kCmdStartWithWindows,
              L"Start with Windows");
  AppendMenuW(menu, MF_STRING, kCmdOpenLogFolder, L"Open log folder");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kCmdQuit, L"Quit");
  SetMenuDefaultItem(menu, kCmdSettings, FALSE);
  POINT at;
  GetCursorPos(&at);
  // The menu closes when the user clicks elsewhere only if its window is in front.
  SetForegroundWindow(window);
  TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
  PostMessageW(window, WM_NULL, 0, 0);
  DestroyMenu(menu);
}

void Command(UINT id) {
  switch (id) {
    case kCmdSettings:
      OpenPage(L"/settings");
      break;
    case kCmdDisplayPage:
      OpenPage(L"/");
      break;
    case kCmdStartWithWindows:
      SetStartWithWindows(!StartsWithWindows());
      break;
    case kCmdOpenLogFolder: {
      std::wstring folder = LogFolder();
      if (folder.empty()) break;
      SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
      ShellExecuteW(nullptr, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
      break;
    }
    case kCmdQuit:
      AskAppToEnd();
      break;
    default:
      break;
  }
}

LRESULT CALLBACK TrayProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == taskbar_created && taskbar_created != 0) {
    Shell_NotifyIconW(NIM_ADD, &icon_data);
    return 0;
  }
  switch (message) {
    case kMsgIcon:
      if (LOWORD(lparam) == WM_LBUTTONDBLCLK) Command(kCmdSettings);
      if (LOWORD(lparam) == WM_RBUTTONUP || LOWORD(lparam) == WM_CONTEXTMENU) ShowMenu(window);
      return 0;
    case kMsgState:
      UpdateTip();
      return 0;
    case WM_COMMAND:
      Command(LOWORD(wparam));
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // The process ends when this returns: the display is blanked first.
      if (wparam) {
        AskAppToEnd();
        WaitForSingleObject(app_ended, kEndWaitMs);
      }
      return 0;
    case kMsgEnded:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      Shell_NotifyIconW(NIM_DELETE, &icon_data);
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

DWORD WINAPI TrayThread(LPVOID ready) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = TrayProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kWindowClass;
  RegisterClassExW(&window_class);
  taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
  // Hidden, but a top-level window, so that FindWindow finds it.
  HWND window = CreateWindowExW(0, kWindowClass, L"kvdash", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                nullptr, window_class.hInstance, nullptr);
  if (window != nullptr) AddIcon(window);
  tray_window = window;
  SetEvent(static_cast<HANDLE>(ready));
  if (window == nullptr) return 1;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

// The running kvdash.exe's hidden window; waits a little for one that is
// still starting.
HWND RunningWindow(DWORD wait_ms) {
  for (DWORD waited = 0;; waited += 100) {
    HWND window = FindWindowW(kWindowClass, nullptr);
    if (window != nullptr || waited >= wait_ms) return window;
    Sleep(100);
  }
}

// kvdash.exe --quit: the running one ends as its Quit does; 0 once it has,
// 1 when none runs.
int QuitRunning() {
  HWND window = RunningWindow(0);
  if (window == nullptr) return 1;
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  PostMessageW(window, WM_COMMAND, kCmdQuit, 0);
  if (process == nullptr) return 0;
  DWORD waited = WaitForSingleObject(process, 30000);
  CloseHandle(process);
  return waited == WAIT_OBJECT_0 ? 0 : 1;
}

#else  // the console host

// A console that Windows opened for this program alone (a shortcut, a double
// click) closes when it ends: kept open after a failure so that the message
// can be read.
void HoldOwnConsoleAfterFailure(int status) {
  DWORD processes[2];
  DWORD mode = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (status == 0 || GetConsoleProcessList(processes, 2) != 1 || !GetConsoleMode(input, &mode)) {
    return;
  }
  std::fwprintf(stderr, L"\nkvdash-dashboard ended with status %d. Press Enter to close.\n",
                status);
  FlushConsoleInputBuffer(input);
  wchar_t ignored[2];
  DWORD read = 0;
  ReadConsoleW(input, ignored, 1, &read, nullptr);
}

// Ctrl+C reaches the app itself (the C runtime's handler, installed by Python,
// comes first). A closing console window, a sign-out or a shutdown end the
// process when this returns: the app is asked to end and given the time.
BOOL WINAPI ConsoleEvent(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) return FALSE;
  AskAppToEnd();
  WaitForSingleObject(app_ended, kEndWaitMs);
  return TRUE;
}

#endif

template <typename T>
bool Resolve(HMODULE dll, const char* name, T& function) {
  function = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
  return function != nullptr;
}

bool LoadPython(HMODULE dll) {
  return Resolve(dll, "Py_Main", py.Main) &&
         Resolve(dll, "PyImport_AppendInittab", py.ImportAppendInittab) &&
         Resolve(dll, "PyModule_Create2", py.ModuleCreate2) &&
         Resolve(dll, "PyUnicode_AsWideCharString", py.UnicodeAsWideCharString) &&
         Resolve(dll, "PyLong_AsLong", py.LongAsLong) &&
         Resolve(dll, "PyErr_Occurred", py.ErrOccurred) && Resolve(dll, "PyMem_Free", py.MemFree) &&
         Resolve(dll, "PyBool_FromLong", py.BoolFromLong) && Resolve(dll, "Py_IncRef", py.IncRef) &&
         Resolve(dll, "_Py_NoneStruct", py.None) &&
         Resolve(dll, "PyErr_SetInterruptEx", py.ErrSetInterruptEx);
}

// The app, run by the interpreter as "python -c" would: argv[0] the host's
// own path, sys.executable the runtime's pythonw.exe (the learn job starts it).
constexpr const wchar_t* kStartApp =
    L"import os, sys\n"
    L"sys.argv[0] = sys.orig_argv[0]\n"
    L"sys.executable = sys._base_executable = os.path.join(sys.prefix, 'pythonw.exe')\n"
    L"from kvdash_dashboard import main\n"
    L"raise SystemExit(main(sys.argv[1:]))\n";

int Run() {
  InitializeCriticalSection(&shared_lock);
  int count = 0;
  wchar_t** given = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> args;
  for (int i = 1; i < count; ++i) args.emplace_back(given[i]);
  LocalFree(given);
  const std::wstring self = ModulePath();
  const bool asks = [&] {
    for (const auto& a : args) {
      if (a == L"--version" || a == L"--help" || a == L"-h" || a == L"--print-config" ||
          a.rfind(L"--learn", 0) == 0) {
        return true;
      }
    }
    return false;
  }();

#ifdef KVDASH_TRAY
  if (args.size() == 1 && args[0] == L"--quit") return QuitRunning();
  HANDLE mutex = nullptr;
  if (!asks) {
    mutex = CreateMutexW(nullptr, FALSE, kMutexName);
    if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
      // One runs already: it opens its settings page.
      HWND window = RunningWindow(10000);
      if (window != nullptr) PostMessageW(window, WM_COMMAND, kCmdSettings, 0);
      return 0;
    }
  }
#else
  if (!asks) {
    HANDLE running = OpenMutexW(SYNCHRONIZE, FALSE, kMutexName);
    if (running != nullptr) {
      CloseHandle(running);
      std::fwprintf(stderr,
                    L"kvdash-dashboard: kvdash is running in the notification area and drives "
                    L"the display (end it with its Quit, or kvdash.exe --quit)\n");
      return 1;
    }
  }
#endif

  const std::wstring runtime = Folder(self) + L"runtime\\";
  const std::wstring dll_path = FindPythonDll(runtime);
  // Its own folder first for what it needs (vcruntime140.dll, python3.dll).
  HMODULE dll = dll_path.empty()
                    ? nullptr
                    : LoadLibraryExW(dll_path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (dll == nullptr || !LoadPython(dll)) {
    Complain(L"kvdash: cannot load Python from " + runtime + L" (Windows error " +
             std::to_wstring(GetLastError()) + L"): install kvdash again");
#ifndef KVDASH_TRAY
    HoldOwnConsoleAfterFailure(1);
#endif
    return 1;
  }
  py.ImportAppendInittab("_kvdash_host", InitHostModule);
  app_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);

#ifdef KVDASH_TRAY
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE tray = CreateThread(nullptr, 0, TrayThread, ready, 0, nullptr);
  if (tray != nullptr) WaitForSingleObject(ready, 10000);
#else
  SetConsoleCtrlHandler(ConsoleEvent, TRUE);
#endif

  // "-I": isolated, as the runtime's ._pth makes it anyway: no PYTHON*
  // variables, no user site-packages.
  std::vector<std::wstring> line = {self, L"-I", L"-c", kStartApp};
  line.insert(line.end(), args.begin(), args.end());
  std::vector<wchar_t*> argv;
  for (auto& word : line) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  int status = py.Main(static_cast<int>(line.size()), argv.data());
  SetEvent(app_ended);

#ifdef KVDASH_TRAY
  if (tray != nullptr) {
    Notify(kMsgEnded);
    WaitForSingleObject(tray, 5000);
  }
  if (mutex != nullptr) CloseHandle(mutex);
#else
  HoldOwnConsoleAfterFailure(status);
#endif
  return status;
}

}  // namespace

#ifdef KVDASH_TRAY
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return Run();
}
#else
int wmain() {
  return Run();
}
#endif
