// The bytes of the output report after the gear, LED and panel setters, the
// blank image and the preparation for a send. Platform-independent: no
// system call is reached from here.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "engine/display_state.h"
#include "report/output_report.h"

namespace {

using Bytes = std::array<uint8_t, kReportSize>;
using PanelBytes = std::array<uint8_t, 6>;

// A report whose every byte is distinct from what the setters write, so an
// unintended write shows.
Bytes Filled(uint8_t value) {
  Bytes b;
  b.fill(value);
  return b;
}

PanelBytes PanelOf(const OutputReport& report, Panel panel) {
  const std::size_t start = panel == Panel::kLeft ? 27 : 33;
  PanelBytes out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = report.bytes[start + i];
  }
  return out;
}

std::string Hex(const PanelBytes& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += kHex[b >> 4];
    s += kHex[b & 0xF];
    s += ' ';
  }
  return s;
}

// ---------------------------------------------------------------- gear

struct GearCase {
  const char* name;
  int32_t character;
  int32_t point;
  uint8_t expected;
};

void PrintTo(const GearCase& c, std::ostream* os) {
  *os << c.name;
}

class GearTest : public testing::TestWithParam<GearCase> {};

TEST_P(GearTest, StoresCharacterCodeInByteTwoOnly) {
  const GearCase& c = GetParam();
  OutputReport report;
  report.bytes = Filled(0x5A);
  report.SetGear(c.character, c.point);
  Bytes expected = Filled(0x5A);
  expected[2] = c.expected;
  EXPECT_EQ(report.bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Characters, GearTest,
    testing::Values(
        GearCase{"Text7", '7', 0, 0x37}, GearCase{"Number7", 7, 0, 0x37},
        GearCase{"Number0", 0, 0, 0x30}, GearCase{"Number9", 9, 0, 0x39},
        GearCase{"TextZero", '0', 0, 0x30}, GearCase{"TextNine", '9', 0, 0x39},
        GearCase{"LowerR", 'r', 0, 0x72}, GearCase{"Dash", '-', 0, 0x2D},
        GearCase{"Space", ' ', 0, 0x20}, GearCase{"LowerN", 'n', 0, 0},
        GearCase{"UpperN", 'N', 0, 0}, GearCase{"UpperR", 'R', 0, 0}, GearCase{"Dot", '.', 0, 0},
        GearCase{"Number10", 10, 0, 0}, GearCase{"Five_Point", '5', 1, 0xB5},
        GearCase{"Unaccepted_Point", 'n', 1, 0x80}, GearCase{"Five_PointTwo", '5', 2, 0xB5},
        GearCase{"Five_NegativePoint", '5', -1, 0x35}, GearCase{"LowByte0x130", 0x130, 0, 0x30},
        GearCase{"LowByte0x100IsNumber0", 0x100, 0, 0x30}, GearCase{"LowByte0x172", 0x172, 0, 0x72},
        GearCase{"MinusOne", -1, 0, 0}, GearCase{"HighBitChar", 0xB5, 0, 0}),
    [](const testing::TestParamInfo<GearCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- LEDs

struct LedCase {
  const char* name;
  bool rpmRow;
  int32_t index;
  int32_t value;
  int changedByte;  // -1: nothing changes
  uint8_t stored;
};

void PrintTo(const LedCase& c, std::ostream* os) {
  *os << c.name;
}

class LedTest : public testing::TestWithParam<LedCase> {};

TEST_P(LedTest, ChangesAtMostTheIndexedByteOfItsRow) {
  const LedCase& c = GetParam();
  DisplayState state;
  state.report.bytes = Filled(0x5A);
  state.SetLed(c.index, c.value, c.rpmRow);
  Bytes expected = Filled(0x5A);
  if (c.changedByte >= 0) {
    expected[static_cast<std::size_t>(c.changedByte)] = c.stored;
  }
  EXPECT_EQ(state.report.bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LedTest,
    testing::Values(
        LedCase{"RpmFirst", true, 0, 1, 3, 1}, LedCase{"RpmNinth", true, 8, 1, 11, 1},
        LedCase{"RpmLast", true, 12, 1, 15, 1}, LedCase{"RpmPastEnd", true, 13, 1, -1, 0},
        LedCase{"RpmNegative", true, -1, 1, -1, 0}, LedCase{"RpmOff", true, 5, 0, 8, 0},
        LedCase{"RpmValue2", true, 5, 2, 8, 0}, LedCase{"RpmValueMinus1", true, 5, -1, 8, 0},
        LedCase{"RpmValueLarge", true, 5, 257, 8, 0}, LedCase{"WarnFirst", false, 0, 1, 16, 1},
        LedCase{"WarnSixth", false, 5, 1, 21, 1}, LedCase{"WarnSlot10", false, 10, 1, 26, 1},
        LedCase{"WarnPastEnd", false, 11, 1, -1, 0}, LedCase{"WarnNegative", false, -1, 1, -1, 0},
        LedCase{"WarnValue2", false, 2, 2, 18, 0}, LedCase{"WarnValueMinus1", false, 2, -1, 18, 0},
        LedCase{"WarnHugeIndex", false, 0x7FFFFFFF, 1, -1, 0}),
    [](const testing::TestParamInfo<LedCase>& info) { return std::string(info.param.name); });

TEST(LedRows, LightingWholeRowsTouchesOnlyBytesThreeToTwentySix) {
  DisplayState state;
  for (int32_t i = -3; i < 20; ++i) {
    state.SetLed(i, 1, true);
    state.SetLed(i, 1, false);
  }
  for (std::size_t b = 0; b < kReportSize; ++b) {
    EXPECT_EQ(state.report.bytes[b], (b >= 3 && b <= 26) ? 1 : 0) << "byte " << b;
  }
}

// ---------------------------------------------------------------- panels

struct PanelCase {
  const char* name;
  std::string text;
  PanelBytes left;
  PanelBytes right;  // the same text on the right panel
};

PanelCase Same(const char* name, std::string text, PanelBytes bytes) {
  return PanelCase{name, std::move(text), bytes, bytes};
}

constexpr PanelBytes kLeftPlaceholder = {0x2D, 0x2D, 0xAD, 0xAD, 0x2D, 0x2D};
constexpr PanelBytes kRightPlaceholder = {0xAD, 0xAD, 0xAD, 0x2D, 0x2D, 0x2D};

void PrintTo(const PanelCase& c, std::ostream* os) {
  *os << c.name;
}

class PanelTest : public testing::TestWithParam<PanelCase> {};

TEST_P(PanelTest, LeftPanelBytes) {
  const PanelCase& c = GetParam();
  OutputReport report;
  report.bytes = Filled(0x5A);
  ASSERT_TRUE(report.SetDigits(Panel::kLeft, c.text.c_str(), 6));
  EXPECT_EQ(Hex(PanelOf(report, Panel::kLeft)), Hex(c.left));
  // Everything outside bytes 27 to 32 is untouched.
  for (std::size_t b = 0; b < kReportSize; ++b) {
    if (b < 27 || b > 32) {
      ASSERT_EQ(report.bytes[b], 0x5A) << "byte " << b;
    }
  }
}

TEST_P(PanelTest, RightPanelBytes) {
  const PanelCase& c = GetParam();
  OutputReport report;
  report.bytes = Filled(0x5A);
  ASSERT_TRUE(report.SetDigits(Panel::kRight, c.text.c_str(), 6));
  EXPECT_EQ(Hex(PanelOf(report, Panel::kRight)), Hex(c.right));
  for (std::size_t b = 0; b < kReportSize; ++b) {
    if (b < 33 || b > 38) {
      ASSERT_EQ(report.bytes[b], 0x5A) << "byte " << b;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PanelTest,
    testing::Values(
        PanelCase{"Empty", "", kLeftPlaceholder, kRightPlaceholder},
        PanelCase{"ThirteenValid", "1234567890123", kLeftPlaceholder, kRightPlaceholder},
        PanelCase{"ThirteenSeparators", "1.2.3.4.5.6.7", kLeftPlaceholder, kRightPlaceholder},
        Same("TwelveValid", "123456789012", {0x31, 0x32, 0x33, 0x34, 0x35, 0x36}),
        Same("TwelveUnaccepted", "abcdefghijkl", {0, 0, 0, 0, 0, 0}),
        Same("Decimal", "12.345", {0x31, 0xB2, 0x33, 0x34, 0x35, 0}),
        Same("LapTime", "1:23.4", {0xB1, 0xB2, 0xB3, 0x34, 0, 0}),
        Same("AllPoints", "8.8.8.8.8.8.", {0xB8, 0xB8, 0xB8, 0xB8, 0xB8, 0xB8}),
        Same("TrailingPointOnSixth", "123456.", {0x31, 0x32, 0x33, 0x34, 0x35, 0xB6}),
        Same("PointOnFifth", "12345.67", {0x31, 0x32, 0x33, 0x34, 0xB5, 0x36}),
        Same("CutOnTheRight", "1234567", {0x31, 0x32, 0x33, 0x34, 0x35, 0x36}),
        Same("Short", "12", {0x31, 0x32, 0, 0, 0, 0}), Same("LowerR", "r", {0x72, 0, 0, 0, 0, 0}),
        Same("UpperR", "R", {0, 0, 0, 0, 0, 0}), Same("LowerA", "a", {0, 0, 0, 0, 0, 0}),
        Same("DashAndSpace", "- -", {0x2D, 0x20, 0x2D, 0, 0, 0}),
        Same("NumbersAsBytes", "\x05\x07", {0x35, 0x37, 0, 0, 0, 0}),
        Same("ByteOneAndNine", "\x01\x09", {0x31, 0x39, 0, 0, 0, 0}),
        Same("ByteTenIsUnaccepted", "\x0A", {0, 0, 0, 0, 0, 0}),
        Same("PointAdded", "1:2.3", {0xB1, 0x32, 0x33, 0, 0, 0}),
        Same("LeadingPoint", ".5", {0x35, 0, 0, 0, 0, 0}),
        Same("LeadingColon", ":5", {0xB5, 0, 0, 0, 0, 0}),
        Same("TrailingPoint", "1.", {0xB1, 0, 0, 0, 0, 0}),
        Same("TrailingColon", "1:", {0xB1, 0x80, 0, 0, 0, 0}),
        Same("PointThenLetter", "1.a", {0xB1, 0x61, 0, 0, 0, 0}),
        Same("ColonThenLetter", "1:a", {0xB1, 0xE1, 0, 0, 0, 0}),
        Same("PointThenPoint", "1..", {0xB1, 0x2E, 0, 0, 0, 0}),
        Same("UnacceptedBeforePoint", "a.1", {0x80, 0x31, 0, 0, 0, 0}),
        Same("Utf8BytesEachUnaccepted",
             "\xC3\xA9"
             "5",
             {0, 0, 0x35, 0, 0, 0}),
        Same("EndsAtFirstZeroByte",
             std::string("1\0"
                         "2",
                         3),
             {0x31, 0, 0, 0, 0, 0})),
    [](const testing::TestParamInfo<PanelCase>& info) { return std::string(info.param.name); });

TEST(Panels, PositionsTheTextDoesNotReachAreZeroedNotKept) {
  OutputReport report;
  ASSERT_TRUE(report.SetDigits(Panel::kLeft, "888888", 6));
  ASSERT_TRUE(report.SetDigits(Panel::kLeft, "1", 6));
  EXPECT_EQ(Hex(PanelOf(report, Panel::kLeft)), Hex({0x31, 0, 0, 0, 0, 0}));
}

TEST(Panels, EachPanelLeavesTheOtherAlone) {
  OutputReport report;
  ASSERT_TRUE(report.SetDigits(Panel::kLeft, "123456", 6));
  ASSERT_TRUE(report.SetDigits(Panel::kRight, "", 6));
  EXPECT_EQ(Hex(PanelOf(report, Panel::kLeft)), Hex({0x31, 0x32, 0x33, 0x34, 0x35, 0x36}));
  EXPECT_EQ(Hex(PanelOf(report, Panel::kRight)), Hex(kRightPlaceholder));
  ASSERT_TRUE(report.SetDigits(Panel::kLeft, "", 6));
  EXPECT_EQ(Hex(PanelOf(report, Panel::kLeft)), Hex(kLeftPlaceholder));
  EXPECT_EQ(Hex(PanelOf(report, Panel::kRight)), Hex(kRightPlaceholder));
}

TEST(Panels, NullTextShowsThePlaceholder) {
  OutputReport report;
  ASSERT_TRUE(report.SetDigits(Panel::kLeft, nullptr, 6));
  EXPECT_EQ(Hex(PanelOf(report, Panel::kLeft)), Hex(kLeftPlaceholder));
}

TEST(Panels, DisplayStateRoutesLeftAndRightToTheirBytes) {
  DisplayState state;
  state.SetLeftDigits("12.345");
  state.SetRightDigits("1:23.4");
  EXPECT_EQ(Hex(PanelOf(state.report, Panel::kLeft)), Hex({0x31, 0xB2, 0x33, 0x34, 0x35, 0}));
  EXPECT_EQ(Hex(PanelOf(state.report, Panel::kRight)), Hex({0xB1, 0xB2, 0xB3, 0x34, 0, 0}));
  for (std::size_t b = 0; b < kReportSize; ++b) {
    if (b < 27 || b > 38) {
      EXPECT_EQ(state.report.bytes[b], 0) << "byte " << b;
    }
  }
}

TEST(Panels, PlaceholderTexts) {
  EXPECT_STREQ(PanelPlaceholder(Panel::kLeft), "---:---");
  EXPECT_STREQ(PanelPlaceholder(Panel::kRight), "-:--.---");
}

// ---------------------------------------------------------------- blank image and send

Bytes BlankImage() {
  Bytes b{};
  b[1] = 0x01;
  b[2] = 0x20;
  for (std::size_t i = 27; i <= 38; ++i) {
    b[i] = 0x20;
  }
  return b;
}

TEST(BlankImage, ReplacesEveryByteOfAnyEarlierImage) {
  for (const uint8_t fill : std::vector<uint8_t>{0x00, 0x5A, 0xFF}) {
    OutputReport report;
    report.bytes = Filled(fill);
    report.Blank(6);
    EXPECT_EQ(report.bytes, BlankImage()) << "from a report filled with " << int{fill};
  }
}

TEST(BlankImage, DisplayStateBlanksInMemoryWithoutAnOpenChannel) {
  DisplayState state;
  state.SetGear('5', 1);
  state.SetLed(3, 1, true);
  state.SetLed(2, 1, false);
  state.SetLeftDigits("123456");
  state.SetRightDigits("654321");
  ASSERT_FALSE(state.device.IsWritable());
  state.BlankReport();
  EXPECT_EQ(state.report.bytes, BlankImage());
}

TEST(PrepareForSend, SetsReportNumberAndTypeOnly) {
  OutputReport report;
  report.bytes = Filled(0xA5);
  report.PrepareForSend();
  Bytes expected = Filled(0xA5);
  expected[0] = 0x00;
  expected[1] = 0x01;
  EXPECT_EQ(report.bytes, expected);
}

TEST(SendReport, FreshStateSendsNothingAndKeepsTheReportAllZero) {
  DisplayState state;
  ASSERT_FALSE(state.device.IsWritable());
  state.SendReport();
  EXPECT_EQ(state.report.bytes, Bytes{});
  state.SetGear('3', 0);
  state.SendReport();
  Bytes expected{};
  expected[2] = 0x33;
  // Bytes 0 and 1 are only prepared for a write that happens.
  EXPECT_EQ(state.report.bytes, expected);
}

}  // namespace
