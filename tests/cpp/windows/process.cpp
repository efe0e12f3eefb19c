#include "tests/cpp/windows/process.h"

#include <winternl.h>

namespace {

constexpr DWORD kChildTimeoutMs = 60000;

constexpr ULONG kSystemHandleInformation = 16;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004u);

// The records of the system's handle list (not in the SDK headers).
struct SystemHandleEntry {
  ULONG ownerPid;
  BYTE objectType;
  BYTE flags;
  USHORT value;
  PVOID object;
  ACCESS_MASK access;
};
struct SystemHandleList {
  ULONG count;
  SystemHandleEntry entries[1];
};

using QuerySystemInformation = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

std::wstring Quoted(const std::wstring& text) {
  return L"\"" + text + L"\"";
}

}  // namespace

long HandleCount() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) {
    return -1;
  }
  auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
  if (query == nullptr) {
    return -1;
  }
  std::vector<BYTE> buffer(1 << 16);
  NTSTATUS status = 0;
  for (;;) {
    ULONG needed = 0;
    status =
        query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status != kInfoLengthMismatch) {
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) {
    return -1;
  }
  const auto* list = reinterpret_cast<const SystemHandleList*>(buffer.data());
  const DWORD self = GetCurrentProcessId();
  long count = 0;
  for (ULONG i = 0; i < list->count; ++i) {
    if (list->entries[i].ownerPid == self) {
      ++count;
    }
  }
  return count;
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

ChildRun RunChild(const std::wstring& program, const std::vector<std::wstring>& arguments) {
  ChildRun run;
  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    return run;
  }
  // Only the child's end is inherited.
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine = Quoted(program);
  for (const std::wstring& argument : arguments) {
    commandLine += L" " + Quoted(argument);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  run.started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &startup, &process) != 0;
  CloseHandle(writeEnd);
  if (run.started) {
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      run.output.append(chunk, got);
    }
    WaitForSingleObject(process.hProcess, kChildTimeoutMs);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(readEnd);
  return run;
}
