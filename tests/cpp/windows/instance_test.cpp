// The single-instance marker: a named mutex "kvdashengine", opened by the
// process-wide globals at load. This test program links the core, so it holds
// the marker itself while its tests run.
#include <gtest/gtest.h>

#include "engine/my_globals.h"
#include "platform/win32.h"
#include "tests/cpp/windows/process.h"

namespace {

const wchar_t kMarkerName[] = L"kvdashengine";
const char kRunningMessage[] = "Kavu Engine already running!";

std::wstring Probe() {
  return ProgramFolder() + L"kvdash_instance_probe.exe";
}

// True when some process of the session has the named mutex open.
bool MarkerExists() {
  HANDLE marker = OpenMutexW(SYNCHRONIZE, FALSE, kMarkerName);
  if (marker == nullptr) {
    return false;
  }
  CloseHandle(marker);
  return true;
}

}  // namespace

TEST(InstanceMarker, IsTheNamedMutexOfThisProcess) {
  ASSERT_NE(TheGlobals().mutex, nullptr);
  EXPECT_TRUE(MarkerExists());
  // Opened, never owned: another thread may take it at once.
  EXPECT_EQ(WaitForSingleObject(TheGlobals().mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(TheGlobals().mutex));
}

TEST(InstanceMarker, SecondProcessSaysEngineAlreadyRunning) {
  ASSERT_TRUE(MarkerExists());
  const ChildRun run = RunChild(Probe(), {});
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, kRunningMessage);
}

TEST(InstanceMarker, LoneProcessPrintsNothing) {
  // Give up this process's handle, so that the probe is the only holder.
  CMyGlobals& globals = TheGlobals();
  ASSERT_TRUE(CloseHandle(globals.mutex));
  globals.mutex = nullptr;
  ASSERT_FALSE(MarkerExists()) << "another process holds the marker";

  const ChildRun run = RunChild(Probe(), {});
  // The marker goes away with the last process that had it.
  const bool leftBehind = MarkerExists();

  SetLastError(ERROR_SUCCESS);
  globals.mutex = CreateMutexW(nullptr, FALSE, kMarkerName);
  const DWORD error = GetLastError();

  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, "");
  EXPECT_FALSE(leftBehind);
  ASSERT_NE(globals.mutex, nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
}
