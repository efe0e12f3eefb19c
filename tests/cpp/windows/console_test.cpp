// ConsoleOut through the Windows C runtime's stdout, seen from outside the
// process that prints.
#include <gtest/gtest.h>

#include "tests/cpp/windows/process.h"

namespace {

ChildRun Console(const wchar_t* mode) {
  return RunChild(ProgramFolder() + L"kvdash_console_probe.exe", {mode});
}

}  // namespace

TEST(ConsoleOut, AddsNoNewline) {
  const ChildRun run = Console(L"plain");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, "Error: kvengine Not initialized!");
}

TEST(ConsoleOut, FormatsLikePrintf) {
  const ChildRun run = Console(L"formats");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u);
  // Text mode: each \n reaches the pipe as \r\n, as for any C program on Windows.
  EXPECT_EQ(run.output, "error: device init failed! #1001\r\n[1.05|  2.5|%|z|4294967295]");
}

TEST(ConsoleOut, LeavesTheTextInTheStreamBuffer) {
  const ChildRun run = Console(L"unflushed");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u);
  // Written straight to the handle after ConsoleOut, yet first on the pipe:
  // ConsoleOut's text waited in the buffer until the runtime flushed at exit.
  EXPECT_EQ(run.output, "direct|buffered");
}
