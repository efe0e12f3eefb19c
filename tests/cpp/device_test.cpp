// The device layer against virtual displays: the scan over a bus of several
// devices with faults injected at single platform calls, the identity and
// capabilities it reads, and the output channel's open, write and close.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "device/hid_device.h"
#include "standin_fixture.h"

namespace {

using testbus::Attach;
using testbus::DisplaySpec;
using testbus::PathOf;

// What a device on the bus is like.
enum class Kind {
  kDisplay,
  kOtherProduct,  // vendor 7634, another product
  kOtherVendor,   // product 259, another vendor
  kAttributesFail,
  kLongPath,  // a display whose path is 300 characters long
  kRefuseWrite,
  kRefuseRead,
  kSerialFails,
};

int AttachKind(Kind kind) {
  DisplaySpec spec;
  if (kind == Kind::kOtherProduct) {
    spec.product = 0x0104;
  } else if (kind == Kind::kOtherVendor) {
    spec.vendor = 0x1DD3;
  }
  const int id = Attach(spec);
  switch (kind) {
    case Kind::kAttributesFail:
      kvvd_fail_attributes(id);
      break;
    case Kind::kLongPath:
      kvvd_set_path_length(id, 300);
      break;
    case Kind::kRefuseWrite:
      kvvd_refuse_open(id, 1, 0);
      break;
    case Kind::kRefuseRead:
      kvvd_refuse_open(id, 0, 1);
      break;
    case Kind::kSerialFails:
      kvvd_fail_serial(id);
      break;
    default:
      break;
  }
  return id;
}

std::vector<int> AttachAll(const std::vector<Kind>& kinds) {
  std::vector<int> ids;
  for (Kind k : kinds) {
    ids.push_back(AttachKind(k));
  }
  return ids;
}

class Scan : public testbus::Bus {
 protected:
  // Checks the record and every device after a scan. accepted: index of the
  // device that must have been taken, or -1 for none; keptPath: index of the
  // device whose path the record must hold after a failed scan, or -1.
  void ExpectOutcome(const std::vector<int>& ids, int accepted, int keptPath, int32_t status) {
    if (accepted >= 0) {
      EXPECT_EQ(status, 2);
      EXPECT_EQ(device_.status, 2);
      EXPECT_TRUE(device_.deviceOpen);
      EXPECT_TRUE(device_.IsWritable());
      EXPECT_EQ(device_.devicePath, PathOf(ids[static_cast<std::size_t>(accepted)]));
    } else {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(device_.status, 0);
      EXPECT_FALSE(device_.deviceOpen);
      EXPECT_FALSE(device_.IsWritable());
      EXPECT_EQ(device_.attributesHandle, nullptr);
      EXPECT_EQ(device_.writeHandle, nullptr);
      EXPECT_EQ(device_.readHandle, nullptr);
      EXPECT_TRUE(testbus::AllZero(device_.serialNumber, sizeof device_.serialNumber));
      if (keptPath >= 0) {
        EXPECT_EQ(device_.devicePath, PathOf(ids[static_cast<std::size_t>(keptPath)]));
      } else {
        EXPECT_TRUE(device_.devicePath.empty());
      }
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
      // The display keeps its attributes, write and read handles; every
      // other device has none left.
      EXPECT_EQ(kvvd_open_handles(ids[i]), static_cast<int>(i) == accepted ? 3 : 0)
          << "device " << i;
    }
    EXPECT_EQ(device_.detail, nullptr);
    // Besides the display's three handles only the completion event may
    // remain, and only once an open got as far as creating it.
    const int event = device_.completionEvent != nullptr ? 1 : 0;
    EXPECT_EQ(NewHandles(), (accepted >= 0 ? 3 : 0) + event);
  }

  std::unique_ptr<HidDevice> owned_ = std::make_unique<HidDevice>();
  HidDevice& device_ = *owned_;
};

// ---------------------------------------------------------------- which device is taken

struct BusCase {
  const char* name;
  std::vector<Kind> kinds;
  int accepted;
  int keptPath;
};

void PrintTo(const BusCase& c, std::ostream* os) {
  *os << c.name;
}

class ScanBus : public Scan, public testing::WithParamInterface<BusCase> {};

TEST_P(ScanBus, TakesTheFirstDisplayThatOpensAndLeavesNoOtherHandle) {
  const BusCase& c = GetParam();
  const std::vector<int> ids = AttachAll(c.kinds);
  const int32_t status = device_.Scan();
  ExpectOutcome(ids, c.accepted, c.keptPath, status);
}

const std::vector<Kind> kEverySkip = {Kind::kOtherProduct,   Kind::kOtherVendor,
                                      Kind::kAttributesFail, Kind::kLongPath,
                                      Kind::kRefuseWrite,    Kind::kRefuseRead};

std::vector<Kind> Then(std::vector<Kind> kinds, Kind last) {
  kinds.push_back(last);
  return kinds;
}

INSTANTIATE_TEST_SUITE_P(
    Buses, ScanBus,
    testing::Values(
        BusCase{"Empty", {}, -1, -1}, BusCase{"OneDisplay", {Kind::kDisplay}, 0, -1},
        BusCase{"OtherProductOnly", {Kind::kOtherProduct}, -1, -1},
        BusCase{"OtherProductThenDisplay", {Kind::kOtherProduct, Kind::kDisplay}, 1, -1},
        BusCase{"OtherVendorThenDisplay", {Kind::kOtherVendor, Kind::kDisplay}, 1, -1},
        BusCase{"AttributesFailThenDisplay", {Kind::kAttributesFail, Kind::kDisplay}, 1, -1},
        BusCase{"LongPathThenDisplay", {Kind::kLongPath, Kind::kDisplay}, 1, -1},
        BusCase{"LongPathOnly", {Kind::kLongPath}, -1, -1},
        BusCase{"RefusedWriteThenDisplay", {Kind::kRefuseWrite, Kind::kDisplay}, 1, -1},
        BusCase{"RefusedReadThenDisplay", {Kind::kRefuseRead, Kind::kDisplay}, 1, -1},
        BusCase{"RefusedWriteOnly", {Kind::kRefuseWrite}, -1, 0},
        BusCase{"RefusedReadOnly", {Kind::kRefuseRead}, -1, 0},
        BusCase{"TwoDisplays", {Kind::kDisplay, Kind::kDisplay}, 0, -1},
        BusCase{"DisplayThenRefused", {Kind::kDisplay, Kind::kRefuseWrite}, 0, -1},
        BusCase{"SerialFails", {Kind::kSerialFails}, 0, -1},
        BusCase{"EverySkipThenDisplay", Then(kEverySkip, Kind::kDisplay), 6, -1},
        BusCase{"EverySkipOnly", kEverySkip, -1, 5}),
    [](const testing::TestParamInfo<BusCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- faults at single calls

enum class Call { kEnumerate, kSizeQuery, kDetailQuery };

struct FaultCase {
  const char* name;
  std::vector<Kind> kinds;
  Call call;
  int index;
  unsigned error;
  int accepted;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

class ScanFault : public Scan, public testing::WithParamInterface<FaultCase> {};

TEST_P(ScanFault, EndsTheScanAtTheFaultyIndex) {
  const FaultCase& c = GetParam();
  const std::vector<int> ids = AttachAll(c.kinds);
  switch (c.call) {
    case Call::kEnumerate:
      ASSERT_EQ(kvvd_fault_enumerate(c.index, c.error), 0);
      break;
    case Call::kSizeQuery:
      ASSERT_EQ(kvvd_fault_detail(c.index, 0, c.error), 0);
      break;
    case Call::kDetailQuery:
      ASSERT_EQ(kvvd_fault_detail(c.index, 1, c.error), 0);
      break;
  }
  const int32_t status = device_.Scan();
  ExpectOutcome(ids, c.accepted, -1, status);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ScanFault,
    testing::Values(
        FaultCase{"EnumerateAtDisplay", {Kind::kDisplay}, Call::kEnumerate, 0, 31, -1},
        FaultCase{"EnumerateAtDisplayNoMoreItems", {Kind::kDisplay}, Call::kEnumerate, 0, 259, -1},
        FaultCase{"EnumerateBeforeDisplay",
                  {Kind::kOtherProduct, Kind::kOtherVendor, Kind::kDisplay},
                  Call::kEnumerate,
                  1,
                  31,
                  -1},
        FaultCase{
            "EnumerateAfterDisplay", {Kind::kDisplay, Kind::kDisplay}, Call::kEnumerate, 1, 31, 0},
        FaultCase{"SizeQueryAtDisplay", {Kind::kDisplay}, Call::kSizeQuery, 0, 87, -1},
        FaultCase{"SizeQueryBeforeDisplay",
                  {Kind::kOtherProduct, Kind::kDisplay},
                  Call::kSizeQuery,
                  0,
                  5,
                  -1},
        FaultCase{"DetailQueryAtDisplay", {Kind::kDisplay}, Call::kDetailQuery, 0, 31, -1},
        FaultCase{"DetailQueryBeforeDisplay",
                  {Kind::kOtherVendor, Kind::kDisplay},
                  Call::kDetailQuery,
                  0,
                  87,
                  -1},
        FaultCase{"DetailQueryAfterDisplay",
                  {Kind::kDisplay, Kind::kDisplay},
                  Call::kDetailQuery,
                  1,
                  31,
                  0}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- device paths

class ScanPathLength : public Scan, public testing::WithParamInterface<int> {};

TEST_P(ScanPathLength, PathsUpTo259CharactersAreTakenLongerOnesPassedOver) {
  const int length = GetParam();
  const int display = Attach();
  ASSERT_EQ(kvvd_set_path_length(display, length), 0);
  ASSERT_EQ(PathOf(display).size(), static_cast<std::size_t>(length));
  const int fallback = Attach();
  const int32_t status = device_.Scan();
  ASSERT_EQ(status, 2);
  const bool fits = length <= 259;
  EXPECT_EQ(device_.devicePath, PathOf(fits ? display : fallback));
  EXPECT_EQ(kvvd_open_handles(display), fits ? 3 : 0);
  EXPECT_EQ(kvvd_open_handles(fallback), fits ? 0 : 3);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ScanPathLength, testing::Values(200, 259, 260, 300, 2000));

// ---------------------------------------------------------------- identity

TEST_F(Scan, ReadsTheIdentityStrings) {
  DisplaySpec spec;
  spec.manufacturer = "Leo Maker";
  spec.productName = "SLI-PRO";
  spec.serial = "A-77";
  Attach(spec);
  ASSERT_EQ(device_.Scan(), 2);
  EXPECT_EQ(testbus::Text(device_.manufacturer), u"Leo Maker");
  EXPECT_EQ(testbus::Text(device_.product), u"SLI-PRO");
  EXPECT_EQ(testbus::Text(device_.serialNumber), u"A-77");
}

TEST_F(Scan, FailingSerialRequestGivesAnEmptySerialOnly) {
  const int id = Attach();
  kvvd_fail_serial(id);
  ASSERT_EQ(device_.Scan(), 2);
  EXPECT_TRUE(testbus::AllZero(device_.serialNumber, sizeof device_.serialNumber));
  EXPECT_EQ(testbus::Text(device_.product), u"SLI-PRO");
}

TEST_F(Scan, OverlongStringsAreCutAndTerminatedInsideTheirBuffers) {
  const int id = Attach();
  const std::string manufacturer(300, 'm');
  const std::string product(400, 'p');
  const std::string serial(200, 's');
  ASSERT_EQ(kvvd_set_strings(id, manufacturer.c_str(), product.c_str(), serial.c_str()), 0);
  ASSERT_EQ(device_.Scan(), 2);
  // Each buffer keeps as much as fits before its last unit, the terminator.
  EXPECT_EQ(testbus::Text(device_.manufacturer), std::u16string(kStringUnits - 1, u'm'));
  EXPECT_EQ(testbus::Text(device_.product), std::u16string(kStringUnits - 1, u'p'));
  EXPECT_EQ(testbus::Text(device_.serialNumber), std::u16string(kSerialUnits - 1, u's'));
  EXPECT_EQ(testbus::Text(device_.firmware), u"1.05");
}

struct VersionCase {
  int version;
  const char16_t* text;
};

class ScanFirmware : public Scan, public testing::WithParamInterface<VersionCase> {};

TEST_P(ScanFirmware, VersionNumberBecomesTheFirmwareText) {
  DisplaySpec spec;
  spec.version = GetParam().version;
  Attach(spec);
  ASSERT_EQ(device_.Scan(), 2);
  EXPECT_EQ(testbus::Text(device_.firmware), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Versions, ScanFirmware,
                         testing::Values(VersionCase{0x0105, u"1.05"},
                                         VersionCase{0x1000, u"10.00"},
                                         VersionCase{0x1A0F, u"1a.0f"},
                                         VersionCase{0xFFFF, u"ff.ff"},
                                         VersionCase{0x80FF, u"80.ff"}));

// ---------------------------------------------------------------- capabilities

struct ButtonCase {
  const char* name;
  int min;
  int max;
  int valueCaps;
  int32_t count;
};

void PrintTo(const ButtonCase& c, std::ostream* os) {
  *os << c.name;
}

class ScanCaps : public Scan, public testing::WithParamInterface<ButtonCase> {};

TEST_P(ScanCaps, ButtonCountAndValueCaps) {
  const ButtonCase& c = GetParam();
  DisplaySpec spec;
  spec.buttonsMin = c.min;
  spec.buttonsMax = c.max;
  spec.valueCaps = c.valueCaps;
  Attach(spec);
  ASSERT_EQ(device_.Scan(), 2);
  EXPECT_EQ(device_.buttonCount, c.count);
  EXPECT_EQ(device_.caps.NumberInputValueCaps, c.valueCaps);
  EXPECT_EQ(device_.caps.NumberInputButtonCaps, c.count > 0 ? 1 : 0);
  // The display's 53 output bytes and the report number byte.
  EXPECT_EQ(device_.caps.OutputReportByteLength, 54);

  HIDP_CAPS copy;
  std::memset(&copy, 0x5A, sizeof copy);
  ASSERT_TRUE(device_.ReadCaps(copy));
  EXPECT_EQ(std::memcmp(&copy, &device_.caps, sizeof copy), 0);
  EXPECT_EQ(copy.NumberInputValueCaps, c.valueCaps);
  EXPECT_EQ(device_.buttonCount, c.count);
}

INSTANTIATE_TEST_SUITE_P(
    Displays, ScanCaps,
    testing::Values(ButtonCase{"NoButtons", 0, 0, 0, 0}, ButtonCase{"OneToEight", 1, 8, 0, 8},
                    ButtonCase{"ThreeToTen", 3, 10, 0, 8}, ButtonCase{"SingleButton", 5, 5, 0, 1},
                    ButtonCase{"TwoValueCaps", 0, 0, 2, 0},
                    ButtonCase{"ButtonsAndValues", 1, 12, 3, 12}),
    [](const testing::TestParamInfo<ButtonCase>& info) { return std::string(info.param.name); });

TEST_F(Scan, UnreadableCapabilitiesKeepEarlierContentsAndTheDisplayIsStillTaken) {
  DisplaySpec spec;
  spec.buttonsMin = 1;
  spec.buttonsMax = 8;
  spec.valueCaps = 2;
  const int id = Attach(spec);
  ASSERT_EQ(device_.Scan(), 2);
  ASSERT_EQ(device_.buttonCount, 8);
  const HIDP_CAPS before = device_.caps;

  const uint8_t broken[] = {0xA1, 0x01};  // a collection that never ends
  ASSERT_EQ(kvvd_set_descriptor(id, broken, sizeof broken), 0);
  ASSERT_EQ(device_.Scan(), 2);
  EXPECT_TRUE(device_.deviceOpen);
  EXPECT_EQ(device_.buttonCount, 8);
  EXPECT_EQ(std::memcmp(&device_.caps, &before, sizeof before), 0);

  HIDP_CAPS destination;
  std::memset(&destination, 0x5A, sizeof destination);
  const HIDP_CAPS untouched = destination;
  EXPECT_FALSE(device_.ReadCaps(destination));
  EXPECT_EQ(std::memcmp(&destination, &untouched, sizeof destination), 0);
}

// ---------------------------------------------------------------- scans in a row

TEST_F(Scan, AfterAFailedScanTheNextStartsClosedAndFindsThePluggedDisplay) {
  const int id = Attach();
  kvvd_refuse_open(id, 1, 0);
  ASSERT_EQ(device_.Scan(), 0);
  EXPECT_EQ(kvvd_open_handles(id), 0);
  kvvd_refuse_open(id, 0, 0);
  ASSERT_EQ(device_.Scan(), 2);
  EXPECT_EQ(testbus::Text(device_.serialNumber), u"0001");
  EXPECT_EQ(kvvd_open_handles(id), 3);
}

TEST_F(Scan, AScanThatFindsNothingClosesWhatAnEarlierScanOpened) {
  const int id = Attach();
  ASSERT_EQ(device_.Scan(), 2);
  ASSERT_EQ(kvvd_open_handles(id), 3);
  kvvd_refuse_open(id, 1, 1);
  ASSERT_EQ(device_.Scan(), 0);
  EXPECT_EQ(device_.status, 0);
  EXPECT_FALSE(device_.deviceOpen);
  EXPECT_FALSE(device_.IsWritable());
  EXPECT_EQ(device_.writeHandle, nullptr);
  EXPECT_EQ(device_.readHandle, nullptr);
  EXPECT_EQ(device_.attributesHandle, nullptr);
  EXPECT_TRUE(testbus::AllZero(device_.serialNumber, sizeof device_.serialNumber));
  EXPECT_EQ(kvvd_open_handles(id), 0);
}

TEST_F(Scan, RescanningAnOpenDisplayDoesNotPileUpHandles) {
  const int id = Attach();
  ASSERT_EQ(device_.Scan(), 2);
  const HANDLE event = device_.completionEvent;
  ASSERT_NE(event, nullptr);
  ASSERT_EQ(device_.Scan(), 2);
  EXPECT_EQ(kvvd_open_handles(id), 3);
  EXPECT_EQ(device_.completionEvent, event);
  EXPECT_EQ(NewHandles(), 4);
}

TEST_F(Scan, ADetachedDisplayIsNotFoundAgain) {
  const int id = Attach();
  ASSERT_EQ(device_.Scan(), 2);
  kvvd_detach(id);
  EXPECT_EQ(device_.Scan(), 0);
  EXPECT_EQ(kvvd_open_handles(id), 0);
}

TEST_F(Scan, ReleasingTheRecordGivesBackEveryHandleIncludingTheEvent) {
  const int id = Attach();
  ASSERT_EQ(device_.Scan(), 2);
  owned_.reset();
  EXPECT_EQ(kvvd_open_handles(id), 0);
  EXPECT_EQ(NewHandles(), 0);
}

// ---------------------------------------------------------------- writes

class Channel : public Scan {
 protected:
  void SetUp() override {
    Scan::SetUp();
    id_ = Attach();
    ASSERT_EQ(device_.Scan(), 2);
    for (std::size_t i = 0; i < sizeof report_; ++i) {
      report_[i] = static_cast<uint8_t>(i);
    }
  }

  int32_t Write() { return device_.Write(report_, sizeof report_); }

  int id_ = 0;
  uint8_t report_[54] = {};
};

TEST_F(Channel, AWriteSendsTheBufferAsItStands) {
  EXPECT_NE(Write(), 0);
  EXPECT_EQ(kvvd_write_count(id_), 1);
  EXPECT_EQ(testbus::LastReport(id_), std::vector<uint8_t>(report_, report_ + sizeof report_));
  EXPECT_NE(Write(), 0);
  EXPECT_EQ(kvvd_write_count(id_), 2);
}

TEST_F(Channel, AShortWriteCountsAsSuccess) {
  ASSERT_EQ(kvvd_short_writes(id_, 10), 0);
  EXPECT_NE(Write(), 0);
  EXPECT_TRUE(device_.deviceOpen);
  EXPECT_NE(Write(), 0);
  EXPECT_EQ(kvvd_write_count(id_), 2);
}

TEST_F(Channel, PendingWriteKeepsTheDeviceAndTheNextWriteIsAttempted) {
  ASSERT_EQ(kvvd_fail_writes(id_, 997, 1), 0);
  EXPECT_EQ(Write(), 0);
  EXPECT_TRUE(device_.deviceOpen);
  EXPECT_NE(Write(), 0);
  EXPECT_EQ(kvvd_write_count(id_), 1);
}

class LostWrite : public Channel, public testing::WithParamInterface<unsigned> {};

TEST_P(LostWrite, LaterWritesMakeNoSystemCallUntilTheNextScan) {
  // Two failures queued: a write that reached the system would use the second.
  ASSERT_EQ(kvvd_fail_writes(id_, GetParam(), 2), 0);
  EXPECT_EQ(Write(), 0);
  EXPECT_FALSE(device_.deviceOpen);
  EXPECT_TRUE(device_.IsWritable());  // lost, not closed
  EXPECT_EQ(Write(), 0);
  EXPECT_EQ(Write(), 0);
  EXPECT_EQ(kvvd_write_count(id_), 0);

  // A new scan opens the display again; its first write meets the failure
  // still queued, which proves the writes above never reached the device.
  ASSERT_EQ(device_.Scan(), 2);
  EXPECT_EQ(Write(), 0);
  EXPECT_FALSE(device_.deviceOpen);
  ASSERT_EQ(device_.Scan(), 2);
  EXPECT_NE(Write(), 0);
  EXPECT_EQ(kvvd_write_count(id_), 1);
}

INSTANTIATE_TEST_SUITE_P(Errors, LostWrite, testing::Values(1167u, 31u));

TEST_F(Channel, UnpluggedDisplayIsLost) {
  kvvd_detach(id_);
  EXPECT_EQ(Write(), 0);
  EXPECT_FALSE(device_.deviceOpen);
}

// ---------------------------------------------------------------- open and close by hand

// A detail block for the record holding path, as the scan would leave it.
void GiveDetail(HidDevice& device, const std::u16string& path) {
  const std::size_t size =
      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR);
  auto* block = new uint8_t[size];
  device.detail.reset(reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block));
  device.detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  std::memcpy(device.detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  device.detailSize = static_cast<DWORD>(size);
}

HANDLE OpenPath(const std::u16string& path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

TEST_F(Scan, SecondOpenReusesTheEventKeepsTheOverlappedBlockAndZeroesTheInputBuffer) {
  const int id = Attach();
  GiveDetail(device_, PathOf(id));
  std::memset(device_.inputBuffer, 0x77, sizeof device_.inputBuffer);
  ASSERT_TRUE(device_.Open());
  const HANDLE event = device_.completionEvent;
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(device_.readOverlapped.hEvent, event);
  EXPECT_EQ(device_.readOverlapped.Offset, 0u);
  EXPECT_EQ(device_.readOverlapped.OffsetHigh, 0u);
  EXPECT_TRUE(testbus::AllZero(device_.inputBuffer, sizeof device_.inputBuffer));
  EXPECT_EQ(kvvd_open_handles(id), 2);  // write and read
  EXPECT_FALSE(device_.deviceOpen);     // the scan sets it, not Open

  device_.Close();
  EXPECT_EQ(kvvd_open_handles(id), 0);
  device_.readOverlapped.Offset = 9;
  device_.readOverlapped.OffsetHigh = 3;
  std::memset(device_.inputBuffer, 0x77, sizeof device_.inputBuffer);
  ASSERT_TRUE(device_.Open());
  EXPECT_EQ(device_.completionEvent, event);
  EXPECT_EQ(device_.readOverlapped.hEvent, event);
  EXPECT_EQ(device_.readOverlapped.Offset, 9u);
  EXPECT_EQ(device_.readOverlapped.OffsetHigh, 3u);
  EXPECT_TRUE(testbus::AllZero(device_.inputBuffer, sizeof device_.inputBuffer));
  EXPECT_EQ(NewHandles(), 3);  // write, read and the one event
  device_.Close();
}

TEST_F(Scan, OpenRefusedForReadingStillPreparesTheReadSide) {
  const int id = Attach();
  kvvd_refuse_open(id, 0, 1);
  GiveDetail(device_, PathOf(id));
  std::memset(device_.inputBuffer, 0x77, sizeof device_.inputBuffer);
  EXPECT_FALSE(device_.Open());
  EXPECT_NE(device_.completionEvent, nullptr);
  EXPECT_TRUE(testbus::AllZero(device_.inputBuffer, sizeof device_.inputBuffer));
  EXPECT_EQ(kvvd_open_handles(id), 1);  // the write handle, until Close
  device_.Close();
  EXPECT_EQ(kvvd_open_handles(id), 0);
  EXPECT_EQ(device_.writeHandle, nullptr);
  EXPECT_EQ(device_.readHandle, nullptr);
}

TEST_F(Scan, OpenRefusedForWritingStopsBeforeTheEvent) {
  const int id = Attach();
  kvvd_refuse_open(id, 1, 0);
  GiveDetail(device_, PathOf(id));
  EXPECT_FALSE(device_.Open());
  EXPECT_EQ(device_.completionEvent, nullptr);
  EXPECT_EQ(kvvd_open_handles(id), 0);
  EXPECT_EQ(NewHandles(), 0);
}

struct HalfOpenCase {
  const char* name;
  bool attributes;
  bool write;
  bool read;
};

void PrintTo(const HalfOpenCase& c, std::ostream* os) {
  *os << c.name;
}

class CloseHalfOpen : public Scan, public testing::WithParamInterface<HalfOpenCase> {};

TEST_P(CloseHalfOpen, ClosesEveryHeldHandleAndNullsAllThree) {
  const HalfOpenCase& c = GetParam();
  const int id = Attach();
  const std::u16string path = PathOf(id);
  device_.attributesHandle = c.attributes ? OpenPath(path, 0) : nullptr;
  device_.writeHandle = c.write ? OpenPath(path, GENERIC_WRITE) : INVALID_HANDLE_VALUE;
  device_.readHandle = c.read ? OpenPath(path, GENERIC_READ) : INVALID_HANDLE_VALUE;
  device_.deviceOpen = true;
  ASSERT_EQ(kvvd_open_handles(id), int{c.attributes} + int{c.write} + int{c.read});
  device_.Close();
  EXPECT_EQ(kvvd_open_handles(id), 0);
  EXPECT_EQ(NewHandles(), 0);
  EXPECT_EQ(device_.attributesHandle, nullptr);
  EXPECT_EQ(device_.writeHandle, nullptr);
  EXPECT_EQ(device_.readHandle, nullptr);
  EXPECT_FALSE(device_.deviceOpen);
}

INSTANTIATE_TEST_SUITE_P(Records, CloseHalfOpen,
                         testing::Values(HalfOpenCase{"AttributesOnly", true, false, false},
                                         HalfOpenCase{"WriteWithoutRead", true, true, false},
                                         HalfOpenCase{"AllThree", true, true, true}),
                         [](const testing::TestParamInfo<HalfOpenCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Scan, CloseOnAClosedRecordClosesNothing) {
  const int id = Attach();
  const HANDLE foreign = OpenPath(PathOf(id), 0);
  ASSERT_NE(foreign, INVALID_HANDLE_VALUE);
  device_.Close();
  EXPECT_EQ(kvvd_open_handles(id), 1);
  EXPECT_EQ(NewHandles(), 1);
  CloseHandle(foreign);
}

}  // namespace
