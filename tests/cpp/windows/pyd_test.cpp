// BuildEx of the real kvdash.pyd, through the Windows C runtime, seen on the
// standard output of the program that loaded the module.
#include <gtest/gtest.h>

#include <string>

#include "tests/cpp/windows/process.h"

namespace {

// This test program holds the instance marker, so the module's globals say so
// when the .pyd loads, before any BuildEx text.
const std::string kLoadMessage = "Kavu Engine already running!";

ChildRun BuildExRun(const wchar_t* which) {
  const std::wstring build = ProgramFolder() + L"..\\..\\..\\";
  return RunChild(build + L"pyd-probe\\kvdash_pyd_probe.exe", {build + L"kvdash.pyd", which});
}

// Text mode turns each \n into \r\n on the way to the pipe.
std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
  return out;
}

}  // namespace

TEST(BuildExInPyd, InitFailureGivesThreeLines) {
  const ChildRun run = BuildExRun(L"init");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_EQ(run.output,
            kLoadMessage + Crlf("Error error: device init failed! #1001\n F:init\n\n") + "<False>");
}

TEST(BuildExInPyd, NoDetailEndsWithTwoNewlines) {
  const ChildRun run = BuildExRun(L"bare");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_EQ(run.output, kLoadMessage + Crlf("Error no details #7\n\n") + "<False>");
}

TEST(BuildExInPyd, OnlyTheFirstGivenDetailIsUsed) {
  const ChildRun run = BuildExRun(L"details");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_EQ(run.output, kLoadMessage + Crlf("Error two details #-3\n P1:first\n\n") + "<False>");
}

TEST(BuildExInPyd, ThirdDetailAlone) {
  const ChildRun run = BuildExRun(L"third");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_EQ(run.output, kLoadMessage + Crlf("Error last only #0\n P3:third\n\n") + "<False>");
}

TEST(BuildExInPyd, LongTextsAreCutToTheStepSize) {
  const ChildRun run = BuildExRun(L"long");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  // Each step composes into 256 bytes: 255 characters of message survive.
  const std::string expected =
      kLoadMessage + "Error " + std::string(255, 'a') + Crlf("\n") + "<False>";
  EXPECT_EQ(run.output, expected);
}
