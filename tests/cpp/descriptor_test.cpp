// The report-descriptor parser behind the capability calls: descriptors of
// the shapes real devices send, malformed ones, and the button-capability
// query answered from a virtual device's descriptor.
#include "platform/posix/descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "standin_fixture.h"

namespace {

using Descriptor = std::vector<uint8_t>;

Descriptor Join(std::initializer_list<Descriptor> parts) {
  Descriptor out;
  for (const Descriptor& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

// A boot keyboard: modifier bits, a reserved byte, five LED bits and a
// six-key array.
const Descriptor kKeyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,  // desktop, keyboard, application
                              0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,  // key codes 224..231
                              0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08,  // 8 x 1 bit
                              0x81, 0x02,                                      // input: modifiers
                              0x95, 0x01, 0x75, 0x08, 0x81, 0x01,  // input: reserved byte
                              0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,
                              0x29, 0x05,                                      // LEDs 1..5
                              0x91, 0x02,                                      // output: LEDs
                              0x95, 0x01, 0x75, 0x03, 0x91, 0x01,              // output: padding
                              0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,  // 6 x 8 bits
                              0x05, 0x07, 0x19, 0x00, 0x29, 0x65,              // key codes 0..101
                              0x81, 0x00,                                      // input: key array
                              0xC0};

// A gamepad with report ids: 16 buttons and four axes, a nested pointer
// collection of two relative axes in report 1; a feature and an output
// report under id 2.
const Descriptor
    kGamepad = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01,  // desktop, gamepad, application
                0x85, 0x01,                          // report id 1
                0x05, 0x09, 0x19, 0x01, 0x29, 0x10,  // buttons 1..16
                0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x10, 0x81, 0x02,        // 16 x 1 bit
                0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x09, 0x32, 0x09, 0x35,        // X Y Z Rz
                0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,  // 4 x 8 bits
                0x09, 0x01, 0xA1, 0x00,  // pointer, physical
                0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95,
                0x02, 0x81, 0x06,  // input: relative X Y
                0xC0,              // end pointer
                0x85, 0x02,        // report id 2
                0x06, 0x00, 0xFF, 0x09, 0x20, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
                0x08, 0x95, 0x03, 0xB1, 0x02,                    // feature: 3 bytes
                0x09, 0x21, 0x75, 0x08, 0x95, 0x02, 0x91, 0x02,  // output: 2 bytes
                0xC0};

// Buttons between a push and a pop: the pop brings back size 8, count 4 and
// the vendor page for the value field after it.
const Descriptor kPushPop = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,  // vendor page, usage 1, application
    0x75, 0x08, 0x95, 0x04,                    // 4 x 8 bits
    0xA4,                                      // push
    0x05, 0x09, 0x19, 0x01, 0x29, 0x08, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,  // 8 buttons
    0xB4,                                                                    // pop
    0x09, 0x02, 0x81, 0x02,                                                  // input: 4 value bytes
    0xC0};

std::string CapsText(const HIDP_CAPS& c) {
  return "usage " + std::to_string(c.Usage) + "/" + std::to_string(c.UsagePage) + " lengths " +
         std::to_string(c.InputReportByteLength) + "/" + std::to_string(c.OutputReportByteLength) +
         "/" + std::to_string(c.FeatureReportByteLength) + " links " +
         std::to_string(c.NumberLinkCollectionNodes) + " input " +
         std::to_string(c.NumberInputButtonCaps) + "b" + std::to_string(c.NumberInputValueCaps) +
         "v" + std::to_string(c.NumberInputDataIndices) + "i output " +
         std::to_string(c.NumberOutputButtonCaps) + "b" + std::to_string(c.NumberOutputValueCaps) +
         "v feature " + std::to_string(c.NumberFeatureButtonCaps) + "b" +
         std::to_string(c.NumberFeatureValueCaps) + "v";
}

struct CapsCase {
  const char* name;
  Descriptor descriptor;
  HIDP_CAPS expected;
};

HIDP_CAPS Caps(USAGE usage, USAGE page, USHORT input, USHORT output, USHORT feature, USHORT links,
               USHORT inButtons, USHORT inValues, USHORT inIndices, USHORT outButtons,
               USHORT outValues, USHORT featButtons, USHORT featValues) {
  HIDP_CAPS c{};
  c.Usage = usage;
  c.UsagePage = page;
  c.InputReportByteLength = input;
  c.OutputReportByteLength = output;
  c.FeatureReportByteLength = feature;
  c.NumberLinkCollectionNodes = links;
  c.NumberInputButtonCaps = inButtons;
  c.NumberInputValueCaps = inValues;
  c.NumberInputDataIndices = inIndices;
  c.NumberOutputButtonCaps = outButtons;
  c.NumberOutputValueCaps = outValues;
  c.NumberFeatureButtonCaps = featButtons;
  c.NumberFeatureValueCaps = featValues;
  return c;
}

void PrintTo(const CapsCase& c, std::ostream* os) {
  *os << c.name;
}

class ParseCaps : public testing::TestWithParam<CapsCase> {};

TEST_P(ParseCaps, SummaryOfTheTopLevelCollection) {
  const CapsCase& c = GetParam();
  standin::ParsedDescriptor parsed;
  ASSERT_TRUE(standin::ParseReportDescriptor(c.descriptor.data(), c.descriptor.size(), &parsed));
  EXPECT_EQ(CapsText(parsed.caps), CapsText(c.expected));
  EXPECT_EQ(parsed.buttons[HidP_Input].size(), c.expected.NumberInputButtonCaps);
  EXPECT_EQ(parsed.buttons[HidP_Output].size(), c.expected.NumberOutputButtonCaps);
  EXPECT_EQ(parsed.buttons[HidP_Feature].size(), c.expected.NumberFeatureButtonCaps);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, ParseCaps,
    testing::Values(
        // 8 bytes of input and 1 of output, each with the report number byte.
        CapsCase{"Keyboard", kKeyboard, Caps(6, 1, 9, 2, 0, 1, 2, 0, 8 + 102, 1, 0, 0, 0)},
        // Report 1: 16 bits + 4 bytes + 2 bytes = 8 bytes, plus the id byte.
        // Data indices: 16 buttons and 6 values.
        CapsCase{"Gamepad", kGamepad, Caps(5, 1, 9, 3, 4, 2, 1, 6, 22, 0, 1, 0, 1)},
        CapsCase{"PushPop", kPushPop, Caps(1, 0xFF00, 6, 0, 0, 1, 1, 1, 9, 0, 0, 0, 0)},
        // A long item carries nothing the summary uses.
        CapsCase{"KeyboardWithLongItem",
                 Join({Descriptor(kKeyboard.begin(), kKeyboard.begin() + 6),
                       {0xFE, 0x02, 0x10, 0xAA, 0xBB},
                       Descriptor(kKeyboard.begin() + 6, kKeyboard.end())}),
                 Caps(6, 1, 9, 2, 0, 1, 2, 0, 8 + 102, 1, 0, 0, 0)},
        CapsCase{"ReportSize32",
                 {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x20, 0x95, 0x01, 0x09, 0x02,
                  0x81, 0x02, 0xC0},
                 Caps(1, 0xFF00, 5, 0, 0, 1, 0, 1, 1, 0, 0, 0, 0)}),
    [](const testing::TestParamInfo<CapsCase>& info) { return std::string(info.param.name); });

TEST(ParseButtons, GamepadButtonRangeIsDescribedInFull) {
  standin::ParsedDescriptor parsed;
  ASSERT_TRUE(standin::ParseReportDescriptor(kGamepad.data(), kGamepad.size(), &parsed));
  ASSERT_EQ(parsed.buttons[HidP_Input].size(), 1u);
  const HIDP_BUTTON_CAPS& b = parsed.buttons[HidP_Input][0];
  EXPECT_EQ(b.UsagePage, 9);
  EXPECT_EQ(b.ReportID, 1);
  EXPECT_TRUE(b.IsRange);
  EXPECT_EQ(b.Range.UsageMin, 1);
  EXPECT_EQ(b.Range.UsageMax, 16);
  EXPECT_EQ(b.LinkCollection, 0);
  EXPECT_EQ(b.LinkUsage, 5);
  EXPECT_EQ(b.LinkUsagePage, 1);
}

TEST(ParseButtons, KeyboardArrayIsOneRangeOfItsUsages) {
  standin::ParsedDescriptor parsed;
  ASSERT_TRUE(standin::ParseReportDescriptor(kKeyboard.data(), kKeyboard.size(), &parsed));
  ASSERT_EQ(parsed.buttons[HidP_Input].size(), 2u);
  const HIDP_BUTTON_CAPS& modifiers = parsed.buttons[HidP_Input][0];
  const HIDP_BUTTON_CAPS& keys = parsed.buttons[HidP_Input][1];
  EXPECT_EQ(modifiers.UsagePage, 7);
  EXPECT_EQ(modifiers.Range.UsageMin, 0xE0);
  EXPECT_EQ(modifiers.Range.UsageMax, 0xE7);
  EXPECT_EQ(keys.UsagePage, 7);
  EXPECT_EQ(keys.Range.UsageMin, 0);
  EXPECT_EQ(keys.Range.UsageMax, 0x65);
  ASSERT_EQ(parsed.buttons[HidP_Output].size(), 1u);
  EXPECT_EQ(parsed.buttons[HidP_Output][0].UsagePage, 8);
  EXPECT_EQ(parsed.buttons[HidP_Output][0].Range.UsageMax, 5);
}

// ---------------------------------------------------------------- malformed

const Descriptor kHead = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01};

struct BadCase {
  const char* name;
  Descriptor descriptor;
};

void PrintTo(const BadCase& c, std::ostream* os) {
  *os << c.name;
}

class ParseMalformed : public testing::TestWithParam<BadCase> {};

TEST_P(ParseMalformed, IsRefused) {
  const Descriptor& d = GetParam().descriptor;
  standin::ParsedDescriptor parsed;
  EXPECT_FALSE(standin::ParseReportDescriptor(d.data(), d.size(), &parsed));
}

Descriptor Repeat(uint8_t byte, std::size_t times) {
  return Descriptor(times, byte);
}

// Eight inputs of 2048 x 32 bits: 64 KiB in one report, more than a 16-bit
// length can hold.
Descriptor EightBigFields() {
  Descriptor d = {0x75, 0x20, 0x96, 0x00, 0x08};
  for (int i = 0; i < 8; ++i) {
    d.insert(d.end(), {0x81, 0x02});
  }
  return d;
}

Descriptor DeepNesting(int depth) {
  Descriptor d = kHead;
  for (int i = 0; i < depth; ++i) {
    d.insert(d.end(), {0xA1, 0x00});
  }
  d.insert(d.end(), static_cast<std::size_t>(depth) + 1, 0xC0);
  return d;
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, ParseMalformed,
    testing::Values(
        BadCase{"Empty", {}}, BadCase{"TruncatedItem", Join({kHead, {0x26, 0xFF}})},
        BadCase{"TruncatedFourByteItem", Join({kHead, {0x27, 0xFF, 0xFF, 0xFF}})},
        BadCase{"TruncatedLongItemHeader", Join({kHead, {0xFE, 0x05}})},
        BadCase{"TruncatedLongItemData", Join({kHead, {0xFE, 0x05, 0x10, 0xAA}, {0xC0}})},
        BadCase{"PopOnEmptyStack", Join({kHead, {0xB4, 0xC0}})},
        BadCase{"EndCollectionFirst", {0xC0}},
        BadCase{"EndCollectionTwice", Join({kHead, {0xC0, 0xC0}})},
        BadCase{"UnterminatedCollection", Join({kHead, {0x75, 0x08, 0x95, 0x01, 0x81, 0x02}})},
        BadCase{"ReportSize33", Join({kHead, {0x75, 0x21, 0x95, 0x01, 0x81, 0x02, 0xC0}})},
        BadCase{"ReportSizeHuge",
                Join({kHead, {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x95, 0x01, 0x81, 0x02, 0xC0}})},
        BadCase{"EnormousReportCount",
                Join({kHead, {0x75, 0x08, 0x97, 0xFF, 0xFF, 0xFF, 0x7F, 0x81, 0x02, 0xC0}})},
        BadCase{"ReportLongerThanALengthCanSay",
                Join({kHead, {0x75, 0x20, 0x96, 0x00, 0x40, 0x81, 0x02, 0xC0}})},
        BadCase{"ManyFieldsAddUpPastTheLimit", Join({kHead, EightBigFields(), {0xC0}})},
        BadCase{"ReportIdZero", Join({kHead, {0x85, 0x00, 0xC0}})},
        BadCase{"EndlessPushes", Join({kHead, Repeat(0xA4, 1000), {0xC0}})},
        BadCase{"NestingBeyondAnyDevice", DeepNesting(1000)},
        BadCase{"NoCollectionAtAll", {0x75, 0x08, 0x95, 0x01, 0x81, 0x02}},
        // Two button ranges of 65536 usages: more data indices than a 16-bit count holds.
        BadCase{"DataIndicesPastASixteenBitCount",
                Join({kHead,
                      {0x05, 0x09, 0x19, 0x00, 0x2A, 0xFF, 0xFF, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
                       0x95, 0x01, 0x81, 0x02},
                      {0x05, 0x09, 0x19, 0x00, 0x2A, 0xFF, 0xFF, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
                       0x95, 0x01, 0x81, 0x02},
                      {0xC0}})}),
    [](const testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

TEST(ParseMalformedInput, NullDataWithASizeIsRefused) {
  standin::ParsedDescriptor parsed;
  EXPECT_FALSE(standin::ParseReportDescriptor(nullptr, 4, &parsed));
}

// ---------------------------------------------------------------- the HID calls over a device

// Buttons 1..8 in the application collection, 9..12 in a nested physical
// collection, a key-code array; three LED bits of output.
const Descriptor kMixed = {
    0x05, 0x01, 0x09, 0x05, 0xA1, 0x01,                                      // application
    0x05, 0x09, 0x19, 0x01, 0x29, 0x08, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,  // buttons 1..8
    0x95, 0x08, 0x81, 0x02,                                                  //
    0x09, 0x01, 0xA1, 0x00,                                                  // physical
    0x05, 0x09, 0x19, 0x09, 0x29, 0x0C, 0x95, 0x04, 0x81, 0x02,              // buttons 9..12
    0x95, 0x04, 0x81, 0x03,                                                  // padding
    0xC0,                                                                    //
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x15, 0x00, 0x25, 0x65, 0x75, 0x08,  // key codes
    0x95, 0x01, 0x81, 0x00,                                                  //
    0x05, 0x08, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,  // LEDs 1..3
    0x95, 0x03, 0x91, 0x02, 0x95, 0x05, 0x91, 0x03,                          //
    0xC0};

class HidCalls : public testbus::Bus {
 protected:
  void SetUp() override {
    testbus::Bus::SetUp();
    const int id = testbus::Attach();
    ASSERT_EQ(kvvd_set_descriptor(id, kMixed.data(), static_cast<int>(kMixed.size())), 0);
    handle_ =
        CreateFileW(testbus::PathOf(id).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(HidD_GetPreparsedData(handle_, &preparsed_));
  }
  void TearDown() override {
    if (preparsed_ != nullptr) {
      HidD_FreePreparsedData(preparsed_);
    }
    CloseHandle(handle_);
    testbus::Bus::TearDown();
  }

  HANDLE handle_ = nullptr;
  PHIDP_PREPARSED_DATA preparsed_ = nullptr;
};

TEST_F(HidCalls, CapsMatchTheParsedDescriptor) {
  HIDP_CAPS caps{};
  ASSERT_EQ(HidP_GetCaps(preparsed_, &caps), HIDP_STATUS_SUCCESS);
  // 8 + 4 + 4 bits and one byte of input; 3 + 5 bits of output.
  EXPECT_EQ(CapsText(caps), CapsText(Caps(5, 1, 4, 2, 0, 2, 3, 0, 8 + 4 + 102, 1, 0, 0, 0)));
}

struct QueryCase {
  const char* name;
  HIDP_REPORT_TYPE type;
  USAGE page;
  USHORT link;
  USAGE usage;
  USHORT room;
  NTSTATUS status;
  USHORT returned;
  USAGE firstPage;
  USAGE firstMin;
};

void PrintTo(const QueryCase& c, std::ostream* os) {
  *os << c.name;
}

class ButtonQuery : public HidCalls, public testing::WithParamInterface<QueryCase> {};

TEST_P(ButtonQuery, FiltersAndAnswers) {
  const QueryCase& q = GetParam();
  HIDP_BUTTON_CAPS caps[8];
  std::memset(caps, 0xEE, sizeof caps);
  USHORT length = q.room;
  EXPECT_EQ(HidP_GetSpecificButtonCaps(q.type, q.page, q.link, q.usage, caps, &length, preparsed_),
            q.status);
  EXPECT_EQ(length, q.returned);
  if (q.returned > 0) {
    EXPECT_EQ(caps[0].UsagePage, q.firstPage);
    EXPECT_EQ(caps[0].Range.UsageMin, q.firstMin);
  }
  // Nothing is written past the room the caller gave.
  HIDP_BUTTON_CAPS untouched;
  std::memset(&untouched, 0xEE, sizeof untouched);
  for (USHORT i = q.room; i < 8; ++i) {
    EXPECT_EQ(std::memcmp(&caps[i], &untouched, sizeof untouched), 0) << "entry " << i;
  }
}

constexpr NTSTATUS kOk = HIDP_STATUS_SUCCESS;
constexpr NTSTATUS kNotFound = HIDP_STATUS_USAGE_NOT_FOUND;
constexpr NTSTATUS kTooSmall = HIDP_STATUS_BUFFER_TOO_SMALL;

INSTANTIATE_TEST_SUITE_P(
    Queries, ButtonQuery,
    testing::Values(QueryCase{"AnyInput", HidP_Input, 0, 0, 0, 3, kOk, 3, 9, 1},
                    QueryCase{"AnyInputMoreRoom", HidP_Input, 0, 0, 0, 8, kOk, 3, 9, 1},
                    QueryCase{"ButtonPage", HidP_Input, 9, 0, 0, 8, kOk, 2, 9, 1},
                    QueryCase{"KeyPage", HidP_Input, 7, 0, 0, 8, kOk, 1, 7, 0},
                    QueryCase{"NestedCollection", HidP_Input, 0, 1, 0, 8, kOk, 1, 9, 9},
                    QueryCase{"UsageInsideRange", HidP_Input, 9, 0, 10, 8, kOk, 1, 9, 9},
                    QueryCase{"UsageAtRangeEnd", HidP_Input, 9, 0, 8, 8, kOk, 1, 9, 1},
                    QueryCase{"UsageOutsideEveryRange", HidP_Input, 9, 0, 13, 8, kNotFound, 0, 0,
                              0},
                    QueryCase{"PageAbsent", HidP_Input, 0x0C, 0, 0, 8, kNotFound, 0, 0, 0},
                    QueryCase{"CollectionAbsent", HidP_Input, 0, 5, 0, 8, kNotFound, 0, 0, 0},
                    QueryCase{"Output", HidP_Output, 0, 0, 0, 8, kOk, 1, 8, 1},
                    QueryCase{"FeatureHasNone", HidP_Feature, 0, 0, 0, 8, kNotFound, 0, 0, 0},
                    QueryCase{"RoomForOne", HidP_Input, 0, 0, 0, 1, kTooSmall, 1, 9, 1},
                    QueryCase{"NoRoom", HidP_Input, 9, 0, 0, 0, kTooSmall, 0, 0, 0}),
    [](const testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

TEST_F(HidCalls, UnknownReportTypeAndFreedDataAreRefused) {
  HIDP_BUTTON_CAPS caps[2];
  USHORT length = 2;
  EXPECT_EQ(HidP_GetSpecificButtonCaps(static_cast<HIDP_REPORT_TYPE>(3), 0, 0, 0, caps, &length,
                                       preparsed_),
            HIDP_STATUS_INVALID_REPORT_TYPE);
  ASSERT_TRUE(HidD_FreePreparsedData(preparsed_));
  const PHIDP_PREPARSED_DATA freed = preparsed_;
  preparsed_ = nullptr;
  HIDP_CAPS summary{};
  EXPECT_EQ(HidP_GetCaps(freed, &summary), HIDP_STATUS_INVALID_PREPARSED_DATA);
  EXPECT_EQ(HidP_GetSpecificButtonCaps(HidP_Input, 0, 0, 0, caps, &length, freed),
            HIDP_STATUS_INVALID_PREPARSED_DATA);
}

TEST_F(HidCalls, MalformedDescriptorGivesNoPreparsedData) {
  const int id = testbus::Attach();
  const uint8_t broken[] = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xB4, 0xC0};
  ASSERT_EQ(kvvd_set_descriptor(id, broken, sizeof broken), 0);
  HANDLE h =
      CreateFileW(testbus::PathOf(id).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  PHIDP_PREPARSED_DATA data = nullptr;
  EXPECT_FALSE(HidD_GetPreparsedData(h, &data));
  EXPECT_EQ(data, nullptr);
  CloseHandle(h);
}

}  // namespace
