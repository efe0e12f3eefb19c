/* kvdash-dashboard.exe: the command at the top of the Windows app folder.
 * It runs runtime\python.exe -m kvdash_dashboard from its own folder with the
 * arguments it was given, in the console it was started in, and ends with the
 * app's exit status. A tiny program of our own rather than a frozen
 * interpreter: nothing is unpacked anywhere, and python.exe stays the PSF's
 * signed file.
 */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#define RUNTIME_PYTHON L"runtime\\python.exe"
#define APP_ARGUMENTS L" -m kvdash_dashboard"

static HANDLE app_process;

/* Console events reach every process of the console: the app handles Ctrl+C
 * itself and blanks the display; the launcher outlives it, so that its job
 * does not end the app half way. A closing window ends both, the app first. */
static BOOL WINAPI wait_for_app(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && app_process != NULL) {
    WaitForSingleObject(app_process, 5000);
  }
  return TRUE;
}

/* What follows the program's own name on the command line, as Windows splits
 * it (the name may be quoted and holds no escapes). */
static const wchar_t* arguments_after_program(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

static void fail(const wchar_t* what, const wchar_t* path) {
  fwprintf(stderr, L"kvdash-dashboard: %ls %ls (Windows error %lu)\n", what, path,
           (unsigned long)GetLastError());
}

/* A console that Windows opened for this program alone (a shortcut, a double
 * click) closes when it ends: keep it open after a failure so that the
 * message can be read. */
static void hold_own_console_after_failure(DWORD status) {
  DWORD processes[2];
  DWORD mode;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (status == 0 || status == STATUS_CONTROL_C_EXIT || GetConsoleProcessList(processes, 2) != 1 ||
      !GetConsoleMode(input, &mode)) {
    return;
  }
  fwprintf(stderr, L"\nkvdash-dashboard ended with status %lu. Press Enter to close.\n",
           (unsigned long)status);
  FlushConsoleInputBuffer(input);
  wchar_t ignored[2];
  DWORD read = 0;
  ReadConsoleW(input, ignored, 1, &read, NULL);
}

int wmain(void) {
  /* 1. The interpreter, beside this program. */
  wchar_t python[MAX_PATH * 2];
  DWORD length = GetModuleFileNameW(NULL, python, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) {
    fail(L"cannot find its own folder", L"");
    return 1;
  }
  wchar_t* slash = wcsrchr(python, L'\\');
  size_t folder = slash ? (size_t)(slash - python) + 1 : 0;
  if (folder + wcslen(RUNTIME_PYTHON) + 1 > MAX_PATH * 2) {
    fail(L"folder path too long:", python);
    return 1;
  }
  wcscpy(python + folder, RUNTIME_PYTHON);

  /* 2. "python.exe" -m kvdash_dashboard, then the arguments as given. */
  const wchar_t* rest = arguments_after_program(GetCommandLineW());
  size_t size = wcslen(python) + wcslen(APP_ARGUMENTS) + wcslen(rest) + 5;
  wchar_t* command = HeapAlloc(GetProcessHeap(), 0, size * sizeof(wchar_t));
  if (command == NULL) {
    fail(L"out of memory", L"");
    return 1;
  }
  _snwprintf(command, size, L"\"%ls\"%ls%ls%ls", python, APP_ARGUMENTS, *rest ? L" " : L"", rest);
  command[size - 1] = L'\0';

  /* 3. The app inherits the console and the standard handles, and ends with
   *    the launcher if the launcher is ended (a job that kills on close). */
  SetConsoleCtrlHandler(wait_for_app, TRUE);
  HANDLE job = CreateJobObjectW(NULL, NULL);
  if (job != NULL) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  STARTUPINFOW startup;
  GetStartupInfoW(&startup);
  startup.dwFlags |= STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child;
  if (!CreateProcessW(python, command, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL, &startup,
                      &child)) {
    fail(L"cannot start", python);
    hold_own_console_after_failure(1);
    return 1;
  }
  if (job != NULL) AssignProcessToJobObject(job, child.hProcess);
  app_process = child.hProcess;
  ResumeThread(child.hThread);
  CloseHandle(child.hThread);

  /* 4. Its exit status is ours. */
  DWORD status = 1;
  WaitForSingleObject(child.hProcess, INFINITE);
  GetExitCodeProcess(child.hProcess, &status);
  hold_own_console_after_failure(status);
  return (int)status;
}
