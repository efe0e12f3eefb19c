// The device record without a device: construction, the write gate, Close on
// a closed record, the firmware text and a capability read that has no
// handle. Platform-independent: no handle here reaches a device.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>

#include "device/hid_device.h"

namespace {

// A handle value that no kernel object has; never closed by these tests.
HANDLE FakeHandle() {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x7FFF0000));
}

std::string Narrow(const WCHAR* text) {
  std::string out;
  for (; *text != 0; ++text) {
    out += static_cast<char>(*text);
  }
  return out;
}

bool AllZero(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

// Leaves the record without fake handles before it is destroyed.
struct RecordWithFakes {
  HidDevice device;
  ~RecordWithFakes() {
    device.attributesHandle = nullptr;
    device.writeHandle = nullptr;
    device.readHandle = nullptr;
  }
};

TEST(RecordConstruction, Defaults) {
  HidDevice device;
  EXPECT_EQ(device.vendorFilter, 7634);
  EXPECT_EQ(device.productFilter, 259);
  EXPECT_EQ(device.status, 0);
  EXPECT_FALSE(device.deviceOpen);
  EXPECT_FALSE(device.IsWritable());
  EXPECT_EQ(device.detail, nullptr);
  EXPECT_EQ(device.detailSize, 0u);
  EXPECT_EQ(device.attributesHandle, nullptr);
  EXPECT_EQ(device.writeHandle, nullptr);
  EXPECT_EQ(device.readHandle, nullptr);
  EXPECT_EQ(device.completionEvent, nullptr);
  EXPECT_TRUE(device.devicePath.empty());
  EXPECT_TRUE(AllZero(device.serialNumber, sizeof device.serialNumber));
  EXPECT_TRUE(AllZero(device.manufacturer, sizeof device.manufacturer));
  EXPECT_TRUE(AllZero(device.product, sizeof device.product));
  EXPECT_TRUE(AllZero(device.firmware, sizeof device.firmware));
  EXPECT_TRUE(AllZero(&device.caps, sizeof device.caps));
  EXPECT_EQ(device.buttonCount, 0);
}

TEST(RecordFilter, SetFilterStoresBothNumbersAndNothingElse) {
  HidDevice device;
  device.SetFilter(0x1234, 0x5678);
  EXPECT_EQ(device.vendorFilter, 0x1234);
  EXPECT_EQ(device.productFilter, 0x5678);
  EXPECT_EQ(device.status, 0);
  EXPECT_EQ(device.writeHandle, nullptr);
}

// ---------------------------------------------------------------- IsWritable

enum class H { kNull, kInvalid, kHeld };

HANDLE Make(H h) {
  switch (h) {
    case H::kNull:
      return nullptr;
    case H::kInvalid:
      return INVALID_HANDLE_VALUE;
    default:
      return FakeHandle();
  }
}

struct WritableCase {
  const char* name;
  H attributes;
  H write;
  bool writable;
};

void PrintTo(const WritableCase& c, std::ostream* os) {
  *os << c.name;
}

class IsWritableTest : public testing::TestWithParam<WritableCase> {};

TEST_P(IsWritableTest, LooksAtAttributesAndWriteHandles) {
  const WritableCase& c = GetParam();
  RecordWithFakes r;
  r.device.attributesHandle = Make(c.attributes);
  r.device.writeHandle = Make(c.write);
  EXPECT_EQ(r.device.IsWritable(), c.writable);
}

INSTANTIATE_TEST_SUITE_P(
    Handles, IsWritableTest,
    testing::Values(WritableCase{"BothNull", H::kNull, H::kNull, false},
                    WritableCase{"WriteNull", H::kHeld, H::kNull, false},
                    WritableCase{"AttributesInvalid", H::kInvalid, H::kHeld, false},
                    WritableCase{"AttributesInvalidWriteInvalid", H::kInvalid, H::kInvalid, false},
                    WritableCase{"BothHeld", H::kHeld, H::kHeld, true},
                    WritableCase{"AttributesNullWriteHeld", H::kNull, H::kHeld, true},
                    // Only a null write handle closes the gate; Write refuses an invalid one.
                    WritableCase{"WriteInvalid", H::kHeld, H::kInvalid, true}),
    [](const testing::TestParamInfo<WritableCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- Write refusals

TEST(RecordWrite, RefusedWithoutASystemCall) {
  const uint8_t report[54] = {};
  struct Case {
    H write;
    bool open;
  };
  // A system call on these fake handles would fail and, for the open record,
  // clear the device-open flag: a refused write leaves it as it was.
  for (const Case c : {Case{H::kInvalid, true}, Case{H::kHeld, false}, Case{H::kNull, false}}) {
    RecordWithFakes r;
    r.device.attributesHandle = FakeHandle();
    r.device.writeHandle = Make(c.write);
    r.device.deviceOpen = c.open;
    EXPECT_EQ(r.device.Write(report, sizeof report), 0);
    EXPECT_EQ(r.device.deviceOpen, c.open);
  }
}

// ---------------------------------------------------------------- Close

TEST(RecordClose, OnAClosedRecordLeavesEverythingNull) {
  HidDevice device;
  device.Close();
  device.Close();
  EXPECT_EQ(device.attributesHandle, nullptr);
  EXPECT_EQ(device.writeHandle, nullptr);
  EXPECT_EQ(device.readHandle, nullptr);
  EXPECT_FALSE(device.deviceOpen);
}

TEST(RecordClose, InvalidHandlesBecomeNullAndTheFlagClears) {
  HidDevice device;
  device.attributesHandle = INVALID_HANDLE_VALUE;
  device.writeHandle = INVALID_HANDLE_VALUE;
  device.readHandle = INVALID_HANDLE_VALUE;
  device.deviceOpen = true;
  device.Close();
  EXPECT_EQ(device.attributesHandle, nullptr);
  EXPECT_EQ(device.writeHandle, nullptr);
  EXPECT_EQ(device.readHandle, nullptr);
  EXPECT_FALSE(device.deviceOpen);
}

TEST(RecordClose, KeepsEventOverlappedInputBufferAndPath) {
  HidDevice device;
  device.completionEvent = FakeHandle();
  device.readOverlapped.hEvent = FakeHandle();
  device.readOverlapped.Offset = 7;
  device.inputBuffer[3] = 0x42;
  device.devicePath = KV_WIDE("\\\\?\\hid#x");
  device.Close();
  EXPECT_EQ(device.completionEvent, FakeHandle());
  EXPECT_EQ(device.readOverlapped.hEvent, FakeHandle());
  EXPECT_EQ(device.readOverlapped.Offset, 7u);
  EXPECT_EQ(device.inputBuffer[3], 0x42);
  EXPECT_EQ(device.devicePath, KV_WIDE("\\\\?\\hid#x"));
  device.completionEvent = nullptr;
}

// ---------------------------------------------------------------- capability read

class ReadCapsWithoutHandle : public testing::TestWithParam<bool> {};

TEST_P(ReadCapsWithoutHandle, AnswersFalseAndChangesNothing) {
  HidDevice device;
  device.readHandle = GetParam() ? INVALID_HANDLE_VALUE : nullptr;
  std::memset(&device.caps, 0x11, sizeof device.caps);
  device.buttonCount = 5;
  HIDP_CAPS destination;
  std::memset(&destination, 0x5A, sizeof destination);
  HIDP_CAPS before = destination;
  EXPECT_FALSE(device.ReadCaps(destination));
  EXPECT_EQ(std::memcmp(&destination, &before, sizeof destination), 0);
  EXPECT_EQ(device.buttonCount, 5);
  HIDP_CAPS record;
  std::memset(&record, 0x11, sizeof record);
  EXPECT_EQ(std::memcmp(&device.caps, &record, sizeof record), 0);
  device.readHandle = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Handles, ReadCapsWithoutHandle, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Invalid" : "Null");
                         });

// ---------------------------------------------------------------- firmware text

struct FirmwareCase {
  unsigned version;
  const char* text;
};

class FirmwareTest : public testing::TestWithParam<FirmwareCase> {};

TEST_P(FirmwareTest, HighByteHexPointLowByteTwoDigits) {
  WCHAR out[kFirmwareUnits];
  for (WCHAR& unit : out) {
    unit = 0x2A;  // an earlier, longer text must not show through
  }
  FormatFirmware(static_cast<USHORT>(GetParam().version), out);
  EXPECT_EQ(Narrow(out), GetParam().text);
  for (std::size_t i = std::strlen(GetParam().text); i < kFirmwareUnits; ++i) {
    EXPECT_EQ(out[i], 0) << "unit " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, FirmwareTest,
    testing::Values(FirmwareCase{0x0105, "1.05"}, FirmwareCase{0x1000, "10.00"},
                    FirmwareCase{0x1A0F, "1a.0f"}, FirmwareCase{0xFFFF, "ff.ff"},
                    FirmwareCase{0x80FF, "80.ff"}, FirmwareCase{0x0000, "0.00"},
                    FirmwareCase{0x0A01, "a.01"}, FirmwareCase{0x00FF, "0.ff"}),
    [](const testing::TestParamInfo<FirmwareCase>& info) {
      return "v" + std::to_string(info.param.version);
    });

}  // namespace
