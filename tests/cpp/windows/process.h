// What the Windows tests need to know about processes: how many handles this
// one holds, and what a helper program started as a child prints.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

struct ChildRun {
  bool started = false;
  DWORD exitCode = 0;
  std::string output;
};

// The folder of the running test program, with a trailing backslash.
std::wstring ProgramFolder();

// The number of handles this process holds, from the system's handle list
// (GetProcessHandleCount answers 0 under Wine); -1 when it cannot be read.
long HandleCount();

// Starts program with the arguments, waits for it (at most 60 s) and returns
// its exit code and standard output. started is false when it could not run.
ChildRun RunChild(const std::wstring& program, const std::vector<std::wstring>& arguments);
