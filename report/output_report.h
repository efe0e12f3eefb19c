// The 54-byte HID output report that holds the whole image of the display,
// and the character code of its gear and panel bytes: ASCII in bits 0-6, the
// decimal point in bit 7, 0 for a character that is not accepted.
//
// Pure bytes: nothing here allocates on the setter paths or calls the system.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t kReportSize = 54;

// Byte positions within the report.
constexpr std::size_t kReportNumberByte = 0;
constexpr std::size_t kReportTypeByte = 1;
constexpr std::size_t kGearByte = 2;
constexpr std::size_t kRpmRowStart = 3;
constexpr std::size_t kWarningRowStart = 16;
constexpr std::size_t kLeftPanelStart = 27;
constexpr std::size_t kRightPanelStart = 33;

constexpr uint8_t kReportType = 1;
constexpr uint8_t kDecimalPoint = 0x80;
constexpr uint8_t kSpace = 0x20;

// The encoder never produces more positions than this, whatever the text.
constexpr std::size_t kMaxPanelText = 12;

enum class Panel { kLeft, kRight };

// The text shown when a panel's text is empty or too long.
const char* PanelPlaceholder(Panel panel);

struct OutputReport {
  std::array<uint8_t, kReportSize> bytes{};

  // Low 8 bits of character: "0"-"9", "-", "r" and space pass, the numbers
  // 0-9 become "0"-"9", anything else 0; point > 0 adds the decimal point.
  void SetGear(int32_t character, int32_t point);

  // One LED byte of the row of rowLength bytes at rowStart; index counted
  // from 0. Values other than 0 and 1 turn the LED off; an index outside the
  // row changes nothing.
  void SetLed(int32_t index, int32_t value, std::size_t rowStart, int32_t rowLength);

  // Encodes text (up to its first zero byte) into the first digits bytes of
  // the panel. Returns false, with the report unchanged, when the working copy
  // of the text cannot be allocated.
  bool SetDigits(Panel panel, const char* text, int32_t digits);

  // The blank image: gear and both panels of digits characters show spaces,
  // every LED off.
  void Blank(int32_t digits);

  // Bytes 0 and 1 as every write must carry them.
  void PrepareForSend();

  uint8_t* data() { return bytes.data(); }
  const uint8_t* data() const { return bytes.data(); }
};

// The character code of one byte as the gear setter and the panel encoder
// accept it: the accepted character, or 0.
uint8_t CharacterCode(uint8_t c);
