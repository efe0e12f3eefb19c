#include "report/output_report.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace {

// Each panel is six characters wide; a caller asking for more must not spill
// into the neighbouring panel.
constexpr int32_t kPanelWidth = 6;

bool IsDisplayable(uint8_t c) {
  return (c >= '0' && c <= '9') || c == '-' || c == 'r' || c == ' ';
}

std::size_t PanelStart(Panel panel) {
  return panel == Panel::kLeft ? kLeftPanelStart : kRightPanelStart;
}

int32_t ClampDigits(int32_t digits) {
  return std::max(0, std::min(digits, kPanelWidth));
}

}  // namespace

uint8_t CharacterCode(uint8_t c) {
  if (IsDisplayable(c)) {
    return c;
  }
  if (c <= 9) {
    return static_cast<uint8_t>(c + '0');
  }
  return 0;
}

const char* PanelPlaceholder(Panel panel) {
  return panel == Panel::kLeft ? "---:---" : "-:--.---";
}

void OutputReport::SetGear(int32_t character, int32_t point) {
  uint8_t code = CharacterCode(static_cast<uint8_t>(character & 0xFF));
  if (point > 0) {
    code = static_cast<uint8_t>(code + kDecimalPoint);
  }
  bytes[kGearByte] = code;
}

void OutputReport::SetLed(int32_t index, int32_t value, std::size_t rowStart, int32_t rowLength) {
  const uint8_t v = (value == 0 || value == 1) ? static_cast<uint8_t>(value) : 0;
  if (index < 0 || index >= rowLength) {
    return;
  }
  const std::size_t at = rowStart + static_cast<std::size_t>(index);
  if (at < kReportSize) {
    bytes[at] = v;
  }
}

bool OutputReport::SetDigits(Panel panel, const char* text, int32_t digits) {
  // Only the length decides about the placeholder, so never look further
  // than one byte past the longest accepted text.
  const std::size_t given = text != nullptr ? strnlen(text, kMaxPanelText + 1) : 0;
  std::string working;
  try {
    if (given == 0 || given > kMaxPanelText) {
      working = PanelPlaceholder(panel);
    } else {
      working.assign(text, given);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }

  // One byte more than the longest text, so the byte after a trailing
  // separator always reads 0.
  uint8_t source[kMaxPanelText + 1] = {};
  std::copy(working.begin(), working.end(), source);
  uint8_t position[kMaxPanelText] = {};

  const std::size_t length = working.size();
  std::size_t i = 0;
  std::size_t o = 0;
  while (i < length) {
    const uint8_t c = source[i];
    if (c == ':' || c == '.') {
      // A separator lights the point of the character before it; the byte
      // after it takes the next position as it stands (with a point after ':').
      if (o > 0) {
        position[o - 1] = static_cast<uint8_t>(position[o - 1] + kDecimalPoint);
      }
      position[o] = c == ':' ? static_cast<uint8_t>(source[i + 1] + kDecimalPoint) : source[i + 1];
      i += 2;
    } else {
      position[o] = CharacterCode(c);
      i += 1;
    }
    o += 1;
  }

  std::memcpy(&bytes[PanelStart(panel)], position, static_cast<std::size_t>(ClampDigits(digits)));
  return true;
}

void OutputReport::Blank(int32_t digits) {
  bytes.fill(0);
  bytes[kReportTypeByte] = kReportType;
  const auto n = static_cast<std::size_t>(ClampDigits(digits));
  std::memset(&bytes[kLeftPanelStart], kSpace, n);
  std::memset(&bytes[kRightPanelStart], kSpace, n);
  bytes[kGearByte] = kSpace;
}

void OutputReport::PrepareForSend() {
  bytes[kReportTypeByte] = kReportType;
  bytes[kReportNumberByte] = 0;
}
