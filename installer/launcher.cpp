// kvdash-dashboard.exe: the command at the top of the Windows app folder.
// It runs runtime\python.exe -m kvdash_dashboard from its own folder with the
// arguments it was given, in the console it was started in, and ends with the
// app's exit status. A tiny program of our own rather than a frozen
// interpreter: nothing is unpacked anywhere, and python.exe stays the PSF's
// signed file.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr const wchar_t* kRuntimePython = L"runtime\\python.exe";
constexpr const wchar_t* kAppArguments = L" -m kvdash_dashboard";
constexpr DWORD kCloseWaitMs = 5000;

HANDLE app_process = nullptr;

// Console events reach every process of the console: the app handles Ctrl+C
// itself and blanks the display; the launcher outlives it, so that its job
// does not end the app half way. A closing window ends both, the app first.
BOOL WINAPI WaitForApp(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && app_process != nullptr) {
    WaitForSingleObject(app_process, kCloseWaitMs);
  }
  return TRUE;
}

// What follows the program's own name on the command line, as Windows splits
// it (the name may be quoted and holds no escapes).
const wchar_t* ArgumentsAfterProgram(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line != L'\0' && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

void Fail(const wchar_t* what, const std::wstring& path) {
  std::fwprintf(stderr, L"kvdash-dashboard: %ls %ls (Windows error %lu)\n", what, path.c_str(),
                static_cast<unsigned long>(GetLastError()));
}

// A console that Windows opened for this program alone (a shortcut, a double
// click) closes when it ends: keep it open after a failure so that the
// message can be read.
void HoldOwnConsoleAfterFailure(DWORD status) {
  DWORD processes[2];
  DWORD mode = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (status == 0 || status == static_cast<DWORD>(STATUS_CONTROL_C_EXIT) ||
      GetConsoleProcessList(processes, 2) != 1 || !GetConsoleMode(input, &mode)) {
    return;
  }
  std::fwprintf(stderr, L"\nkvdash-dashboard ended with status %lu. Press Enter to close.\n",
                static_cast<unsigned long>(status));
  FlushConsoleInputBuffer(input);
  wchar_t ignored[2];
  DWORD read = 0;
  ReadConsoleW(input, ignored, 1, &read, nullptr);
}

// The interpreter beside this program; empty when its own path is unknown.
std::wstring RuntimePython() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);  // a long path: the name was cut
  }
  std::size_t slash = path.rfind(L'\\');
  path.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return path + kRuntimePython;
}

}  // namespace

int wmain() {
  // 1. The interpreter, beside this program.
  const std::wstring python = RuntimePython();
  if (python.empty()) {
    Fail(L"cannot find its own folder", L"");
    return 1;
  }

  // 2. "python.exe" -m kvdash_dashboard, then the arguments as given.
  const wchar_t* rest = ArgumentsAfterProgram(GetCommandLineW());
  std::wstring command = L"\"" + python + L"\"" + kAppArguments;
  if (*rest != L'\0') command += std::wstring(L" ") + rest;

  // 3. The app inherits the console and the standard handles, and ends with
  //    the launcher if the launcher is ended (a job that kills on close).
  SetConsoleCtrlHandler(WaitForApp, TRUE);
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  startup.dwFlags |= STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child{};
  // CreateProcessW may write into the command line it is given.
  if (!CreateProcessW(python.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &child)) {
    Fail(L"cannot start", python);
    HoldOwnConsoleAfterFailure(1);
    return 1;
  }
  if (job != nullptr) AssignProcessToJobObject(job, child.hProcess);
  app_process = child.hProcess;
  ResumeThread(child.hThread);
  CloseHandle(child.hThread);

  // 4. Its exit status is ours.
  DWORD status = 1;
  WaitForSingleObject(child.hProcess, INFINITE);
  GetExitCodeProcess(child.hProcess, &status);
  HoldOwnConsoleAfterFailure(status);
  return static_cast<int>(status);
}
