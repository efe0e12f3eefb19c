// The panel encoder against a model written from its rules: whatever the
// text and the digits count, only the first digits bytes of the chosen panel
// change, and they hold exactly what the rules give.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "report/output_report.h"

namespace {

constexpr std::size_t kPanelBytes = 6;

uint8_t ModelCode(uint8_t c) {
  if ((c >= '0' && c <= '9') || c == '-' || c == 'r' || c == ' ') return c;
  if (c >= 1 && c <= 9) return static_cast<uint8_t>(c + 0x30);
  return 0;
}

std::vector<uint8_t> ModelPositions(std::string text, Panel panel) {
  if (text.empty() || text.size() > 12) {
    text = panel == Panel::kLeft ? "---:---" : "-:--.---";
  }
  std::vector<uint8_t> positions;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    const auto next = static_cast<uint8_t>(i + 1 < text.size() ? text[i + 1] : 0);
    if (c == '.' || c == ':') {
      if (!positions.empty()) positions.back() = static_cast<uint8_t>(positions.back() + 0x80);
      positions.push_back(c == ':' ? static_cast<uint8_t>(next + 0x80) : next);
      i += 2;
    } else {
      positions.push_back(ModelCode(c));
      i += 1;
    }
  }
  positions.resize(std::max<std::size_t>(positions.size(), kPanelBytes), 0);
  return positions;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const Panel panel = (data[0] & 1) != 0 ? Panel::kRight : Panel::kLeft;
  const bool nullText = (data[0] & 2) != 0;
  const int32_t digits = static_cast<int8_t>(data[1]);

  // The text in a buffer of its exact size, so that a read past its end is
  // caught by the address sanitizer.
  const std::size_t textSize = size - 2;
  char* text = static_cast<char*>(std::malloc(textSize + 1));
  if (text == nullptr) return 0;
  std::memcpy(text, data + 2, textSize);
  text[textSize] = 0;
  const std::string asString(text);  // up to its first zero byte

  OutputReport report;
  for (std::size_t i = 0; i < kReportSize; ++i) {
    report.bytes[i] = static_cast<uint8_t>(0xA5 ^ (i * 7));
  }
  const OutputReport before = report;
  const bool ok = report.SetDigits(panel, nullText ? nullptr : text, digits);
  std::free(text);
  if (!ok) std::abort();  // no allocation failure is injected here

  const std::size_t start = panel == Panel::kLeft ? kLeftPanelStart : kRightPanelStart;
  const auto written = static_cast<std::size_t>(std::clamp<int32_t>(digits, 0, kPanelBytes));
  const std::vector<uint8_t> expected = ModelPositions(nullText ? "" : asString, panel);
  for (std::size_t i = 0; i < kReportSize; ++i) {
    const bool inPanel = i >= start && i < start + written;
    const uint8_t want = inPanel ? expected[i - start] : before.bytes[i];
    if (report.bytes[i] != want) std::abort();
  }
  return 0;
}
