// Construction and teardown of Engine and DisplayState without a display.
// Platform-independent: nothing here needs a device or the stand-in.
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "engine/display_state.h"

namespace {

using Bytes = std::array<uint8_t, kReportSize>;

bool AllZero(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

TEST(EngineConstruction, StartsNotInitialized) {
  Engine engine;
  EXPECT_FALSE(engine.initialized);
}

TEST(EngineConstruction, DisplayStateHoldsTheDisplayLimits) {
  Engine engine;
  const DisplayState& d = engine.display;
  EXPECT_EQ(d.deviceTypeCode, 7000);
  EXPECT_EQ(d.maxRpmLed, 13);
  EXPECT_EQ(d.digitsPerPanel, 6);
  EXPECT_EQ(d.warningLedSlots, 11);
  EXPECT_EQ(d.maxExternalLed, 5);
  EXPECT_EQ(d.maxWarningLed, 6);
  EXPECT_EQ(d.brightness, 255);
  EXPECT_EQ(d.rumbleMotors, 0);
}

TEST(EngineConstruction, ReportCapsAndTextsStartEmpty) {
  Engine engine;
  const DisplayState& d = engine.display;
  EXPECT_EQ(d.report.bytes, Bytes{});
  EXPECT_TRUE(AllZero(&d.capsCopy, sizeof d.capsCopy));
  EXPECT_TRUE(d.leftText.empty());
  EXPECT_TRUE(d.rightText.empty());
}

TEST(EngineConstruction, DeviceRecordIsClosedWithTheDisplayFilter) {
  Engine engine;
  const HidDevice& device = engine.display.device;
  EXPECT_EQ(device.vendorFilter, 7634);
  EXPECT_EQ(device.productFilter, 259);
  EXPECT_FALSE(device.IsWritable());
  EXPECT_EQ(device.status, 0);
  EXPECT_FALSE(device.deviceOpen);
  EXPECT_EQ(device.writeHandle, nullptr);
  EXPECT_EQ(device.readHandle, nullptr);
  EXPECT_EQ(device.attributesHandle, nullptr);
}

TEST(EngineConstruction, FreshEngineSendsNothing) {
  Engine engine;
  engine.display.SendReport();
  EXPECT_EQ(engine.display.report.bytes, Bytes{});
  EXPECT_EQ(engine.display.device.status, 0);
}

TEST(DisplayStateRelease, NeverOpenedLeavesTheBlankImageInMemoryAndEmptyTexts) {
  DisplayState state;
  state.leftText = "12.345";
  state.rightText = "1:23.4";
  state.SetLeftDigits(state.leftText.c_str());
  state.SetGear('4', 0);
  state.Release();
  Bytes blank{};
  blank[1] = 0x01;
  blank[2] = 0x20;
  for (std::size_t i = 27; i <= 38; ++i) {
    blank[i] = 0x20;
  }
  EXPECT_EQ(state.report.bytes, blank);
  EXPECT_TRUE(state.leftText.empty());
  EXPECT_TRUE(state.rightText.empty());
  EXPECT_FALSE(state.device.IsWritable());
  EXPECT_EQ(state.device.writeHandle, nullptr);
}

}  // namespace
