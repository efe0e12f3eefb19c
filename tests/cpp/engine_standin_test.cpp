// Engine::Init, the storage step and teardown against virtual displays, with
// the home directory of each test in a temporary folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/my_globals.h"
#include "standin_fixture.h"

namespace {

using testbus::Attach;
using testbus::BlankImage;
using testbus::DisplaySpec;
using testbus::LastReport;

constexpr const char* kStorageMessage = "Error: can't access the storage directory!";

std::optional<std::string> Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void Restore(const char* name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool EndsWith(const std::u16string& text, const std::u16string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<uint8_t> Bytes(const OutputReport& report) {
  return std::vector<uint8_t>(report.bytes.begin(), report.bytes.end());
}

class EngineOnBus : public testbus::Bus {
 protected:
  void SetUp() override {
    testbus::Bus::SetUp();
    home_ = Env("HOME");
    config_ = Env("XDG_CONFIG_HOME");
    char pattern[] = "/tmp/kvdash-cpp-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    tmp_ = pattern;
    setenv("HOME", tmp_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
  }

  void TearDown() override {
    Restore("HOME", home_);
    Restore("XDG_CONFIG_HOME", config_);
    std::error_code ignored;
    std::filesystem::remove_all(tmp_, ignored);
    testbus::Bus::TearDown();
  }

  std::string Documents() const { return tmp_ + "/Documents"; }

  // Runs Init with the console captured; returns what it printed.
  std::string InitCapturing(Engine& engine, InitResult* result) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    *result = engine.Init();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  std::string tmp_;
  std::optional<std::string> home_;
  std::optional<std::string> config_;
};

// ---------------------------------------------------------------- Init outcomes

// kPlainFile: HOME is a file; kUnmakeable: HOME names a folder whose parent
// is missing, so Documents cannot be made under it.
enum class Home { kTemporary, kEmpty, kRelative, kPlainFile, kUnmakeable };

struct InitCase {
  const char* name;
  Home home;
  bool display;
  bool storageReady;
  int32_t status;
};

void PrintTo(const InitCase& c, std::ostream* os) {
  *os << c.name;
}

class EngineInit : public EngineOnBus, public testing::WithParamInterface<InitCase> {};

TEST_P(EngineInit, FlagOnlyOnFullSuccessAndTheDisplayBlankedWheneverFound) {
  const InitCase& c = GetParam();
  const int other = Attach(DisplaySpec{0x1DD2, 0x0200});
  const int id = c.display ? Attach() : 0;
  if (c.home == Home::kEmpty) {
    setenv("HOME", "", 1);
  } else if (c.home == Home::kRelative) {
    setenv("HOME", "relative/home", 1);
  } else if (c.home == Home::kPlainFile) {
    const std::string file = tmp_ + "/home-file";
    std::ofstream(file) << "not a folder";
    setenv("HOME", file.c_str(), 1);
  } else if (c.home == Home::kUnmakeable) {
    setenv("HOME", (tmp_ + "/missing/home").c_str(), 1);
  }

  Engine engine;
  InitResult result;
  const std::string printed = InitCapturing(engine, &result);

  EXPECT_EQ(result.storageReady, c.storageReady);
  EXPECT_EQ(result.deviceStatus, c.status);
  EXPECT_EQ(engine.initialized, c.storageReady && c.status == 2);
  EXPECT_EQ(printed, c.storageReady ? "" : kStorageMessage);
  EXPECT_EQ(IsDirectory(Documents() + "/kvengine/cfg"), c.storageReady);
  EXPECT_EQ(kvvd_write_count(other), 0);
  EXPECT_EQ(kvvd_open_handles(other), 0);
  if (c.display) {
    ASSERT_EQ(kvvd_report_count(id), 1);
    EXPECT_EQ(LastReport(id), BlankImage());
    EXPECT_EQ(Bytes(engine.display.report), BlankImage());
    EXPECT_TRUE(engine.display.device.IsWritable());
  } else {
    // Nothing found: the report stays as construction left it.
    EXPECT_EQ(Bytes(engine.display.report), std::vector<uint8_t>(54, 0));
    EXPECT_FALSE(engine.display.device.IsWritable());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EngineInit,
    testing::Values(InitCase{"HomeAndDisplay", Home::kTemporary, true, true, 2},
                    InitCase{"HomeNoDisplay", Home::kTemporary, false, true, 0},
                    InitCase{"EmptyHomeDisplay", Home::kEmpty, true, false, 2},
                    InitCase{"EmptyHomeNoDisplay", Home::kEmpty, false, false, 0},
                    InitCase{"RelativeHomeDisplay", Home::kRelative, true, false, 2},
                    InitCase{"HomeIsAFileDisplay", Home::kPlainFile, true, false, 2},
                    InitCase{"UnmakeableDocumentsDisplay", Home::kUnmakeable, true, false, 2},
                    InitCase{"UnmakeableDocumentsNoDisplay", Home::kUnmakeable, false, false, 0}),
    [](const testing::TestParamInfo<InitCase>& info) { return std::string(info.param.name); });

TEST_F(EngineOnBus, InitCreatesBothDirectoriesAndRecordsTheirPaths) {
  Attach();
  Engine engine;
  const InitResult result = engine.Init();
  ASSERT_TRUE(result.Succeeded());
  EXPECT_TRUE(IsDirectory(Documents() + "/kvengine"));
  EXPECT_TRUE(IsDirectory(Documents() + "/kvengine/cfg"));
  const CMyGlobals& globals = TheGlobals();
  EXPECT_TRUE(EndsWith(globals.storageRoot, u"\\kvengine"));
  EXPECT_TRUE(EndsWith(globals.configDirectory, u"\\kvengine\\cfg\\"));
  const std::u16string documents = standin::ToUtf16(Documents());
  EXPECT_EQ(globals.storageRoot, documents + u"\\kvengine");
  EXPECT_EQ(globals.configDirectory, documents + u"\\kvengine\\cfg\\");
}

TEST_F(EngineOnBus, ExistingDirectoriesAreLeftAsTheyAre) {
  Attach();
  ASSERT_TRUE(std::filesystem::create_directories(Documents() + "/kvengine/cfg"));
  const std::string kept = Documents() + "/kvengine/cfg/keep.txt";
  std::ofstream(kept) << "x";
  Engine engine;
  EXPECT_TRUE(engine.Init().Succeeded());
  EXPECT_TRUE(IsRegularFile(kept));
}

TEST_F(EngineOnBus, AFileInTheWayIsNotReportedAndStorageCountsAsReady) {
  Attach();
  ASSERT_TRUE(std::filesystem::create_directories(Documents()));
  std::ofstream(Documents() + "/kvengine") << "not a directory";
  Engine engine;
  InitResult result;
  EXPECT_EQ(InitCapturing(engine, &result), "");
  EXPECT_TRUE(result.storageReady);
  EXPECT_TRUE(engine.initialized);
  EXPECT_TRUE(IsRegularFile(Documents() + "/kvengine"));
}

// The stand-in of the shell's call: the folder is made when it can be, and
// the call fails, leaving the buffer alone, when there is no folder to be had.
TEST_F(EngineOnBus, DocumentsFolderIsMadeWhenMissingAndRefusedWhenItCannotBeHad) {
  const auto call = [](WCHAR* path) {
    return SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path);
  };
  WCHAR path[MAX_PATH] = {};
  ASSERT_FALSE(IsDirectory(Documents()));
  ASSERT_EQ(call(path), S_OK);
  EXPECT_TRUE(IsDirectory(Documents()));
  EXPECT_EQ(std::u16string(path), standin::ToUtf16(Documents()));

  const std::string config = tmp_ + "/config";
  ASSERT_TRUE(std::filesystem::create_directories(config));
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  struct Refused {
    const char* documents;
    const char* file;  // made as a plain file first, when set
  };
  const Refused refused[] = {
      {"$HOME/Papers", "/Papers"},              // a file where the folder should be
      {"$HOME/missing/Papers", nullptr},        // its parent does not exist
      {"$HOME/Documents/x/y", "/Documents/x"},  // a file among its parents
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.documents);
    if (r.file != nullptr) {
      std::ofstream(tmp_ + r.file) << "not a folder";
    }
    std::ofstream(config + "/user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"" << r.documents << "\"\n";
    path[0] = u'?';
    path[1] = 0;
    EXPECT_EQ(call(path), E_FAIL);
    EXPECT_EQ(std::u16string(path), u"?");
  }
}

TEST_F(EngineOnBus, ConfiguredDocumentsFolderIsUsed) {
  const std::string config = tmp_ + "/config";
  ASSERT_TRUE(std::filesystem::create_directories(config));
  std::ofstream(config + "/user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n";
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  ASSERT_EQ(PrepareStorage(), 0);
  EXPECT_TRUE(IsDirectory(tmp_ + "/Papers/kvengine/cfg"));
  EXPECT_EQ(TheGlobals().storageRoot, standin::ToUtf16(tmp_ + "/Papers") + u"\\kvengine");
}

TEST_F(EngineOnBus, FailedStorageThenFixedHomeSucceedsOnTheNextInit) {
  const int id = Attach();
  Engine engine;
  setenv("HOME", "", 1);
  InitResult result;
  EXPECT_EQ(InitCapturing(engine, &result), kStorageMessage);
  EXPECT_FALSE(engine.initialized);
  setenv("HOME", tmp_.c_str(), 1);
  EXPECT_EQ(InitCapturing(engine, &result), "");
  EXPECT_TRUE(result.Succeeded());
  EXPECT_TRUE(engine.initialized);
  // Each bring-up blanks the display once; the first one's handles were
  // closed by the second scan.
  EXPECT_EQ(kvvd_report_count(id), 2);
  EXPECT_EQ(kvvd_open_handles(id), 3);
}

TEST_F(EngineOnBus, NoDisplayThenPluggedInSucceedsOnTheSameEngine) {
  Engine engine;
  EXPECT_FALSE(engine.Init().Succeeded());
  EXPECT_FALSE(engine.initialized);
  const int id = Attach();
  EXPECT_TRUE(engine.Init().Succeeded());
  EXPECT_TRUE(engine.initialized);
  EXPECT_EQ(LastReport(id), BlankImage());
}

TEST_F(EngineOnBus, InitCopiesTheDisplaysCapabilities) {
  DisplaySpec spec;
  spec.buttonsMin = 1;
  spec.buttonsMax = 8;
  spec.valueCaps = 2;
  Attach(spec);
  Engine engine;
  ASSERT_TRUE(engine.Init().Succeeded());
  EXPECT_EQ(engine.display.capsCopy.NumberInputValueCaps, 2);
  EXPECT_EQ(engine.display.device.buttonCount, 8);
  EXPECT_EQ(std::memcmp(&engine.display.capsCopy, &engine.display.device.caps, sizeof(HIDP_CAPS)),
            0);
}

TEST_F(EngineOnBus, InitDeviceWithoutADisplayWritesNothing) {
  const int refused = Attach();
  kvvd_refuse_open(refused, 1, 0);
  DisplayState state;
  state.SetGear('5', 0);
  EXPECT_EQ(state.InitDevice(), 0);
  EXPECT_EQ(kvvd_write_count(refused), 0);
  EXPECT_EQ(state.report.bytes[2], 0x35);  // not blanked
  EXPECT_EQ(state.device.vendorFilter, 7634);
  EXPECT_EQ(state.device.productFilter, 259);
}

// ---------------------------------------------------------------- frames

TEST_F(EngineOnBus, AFrameOfTheDashboardReachesTheDisplayAsSet) {
  const int id = Attach();
  Engine engine;
  ASSERT_TRUE(engine.Init().Succeeded());
  DisplayState& d = engine.display;
  d.SetGear('3', 0);
  for (int led = 1; led <= 9; ++led) {
    d.SetLed(led - 1, 1, true);
  }
  d.SetLeftDigits("12.345");
  d.SendReport();
  d.SendReport();
  ASSERT_EQ(kvvd_report_count(id), 3);  // blank, then two frames
  std::vector<uint8_t> expected = BlankImage();
  expected[2] = 0x33;
  for (std::size_t b = 3; b <= 11; ++b) {
    expected[b] = 1;
  }
  const uint8_t left[] = {0x31, 0xB2, 0x33, 0x34, 0x35, 0x00};
  std::copy(std::begin(left), std::end(left), expected.begin() + 27);
  EXPECT_EQ(testbus::ReportOf(id, 1), expected);
  EXPECT_EQ(testbus::ReportOf(id, 2), expected);
}

TEST_F(EngineOnBus, EveryWriteCarriesReportNumberZeroAndTypeOne) {
  const int id = Attach();
  Engine engine;
  ASSERT_TRUE(engine.Init().Succeeded());
  engine.display.report.bytes[0] = 0x7E;
  engine.display.report.bytes[1] = 0x7F;
  engine.display.SendReport();
  const std::vector<uint8_t> sent = LastReport(id);
  ASSERT_EQ(sent.size(), 54u);
  EXPECT_EQ(sent[0], 0x00);
  EXPECT_EQ(sent[1], 0x01);
}

// ---------------------------------------------------------------- teardown

TEST_F(EngineOnBus, TeardownOfAnOpenedDisplayBlanksItAndGivesBackEveryHandle) {
  const int id = Attach();
  auto engine = std::make_unique<Engine>();
  ASSERT_TRUE(engine->Init().Succeeded());
  engine->display.SetGear('4', 1);
  engine->display.SetRightDigits("1:23.4");
  engine->display.SendReport();
  ASSERT_NE(LastReport(id), BlankImage());
  const long long writes = kvvd_write_count(id);
  engine.reset();
  EXPECT_EQ(kvvd_write_count(id), writes + 1);
  EXPECT_EQ(LastReport(id), BlankImage());
  EXPECT_EQ(kvvd_open_handles(id), 0);
  EXPECT_EQ(NewHandles(), 0);
}

TEST_F(EngineOnBus, TeardownOfANeverOpenedEngineWritesNothing) {
  const int id = Attach();
  auto engine = std::make_unique<Engine>();
  engine->display.SetGear('4', 0);
  engine->display.SendReport();
  engine.reset();
  EXPECT_EQ(kvvd_write_count(id), 0);
  EXPECT_EQ(kvvd_open_handles(id), 0);
}

TEST_F(EngineOnBus, TeardownAfterAFailedInitWritesNothing) {
  const int id = Attach();
  kvvd_refuse_open(id, 0, 1);
  auto engine = std::make_unique<Engine>();
  EXPECT_FALSE(engine->Init().Succeeded());
  engine.reset();
  EXPECT_EQ(kvvd_write_count(id), 0);
  EXPECT_EQ(kvvd_open_handles(id), 0);
  EXPECT_EQ(NewHandles(), 0);
}

}  // namespace
