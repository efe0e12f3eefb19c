// The gear setter: any character and point values change the gear byte
// alone, to an accepted character code with or without the decimal point.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "report/output_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  int32_t character = 0;
  int32_t point = 0;
  std::memcpy(&character, data, sizeof character);
  std::memcpy(&point, data + 4, sizeof point);

  OutputReport report;
  for (std::size_t i = 0; i < kReportSize; ++i) {
    report.bytes[i] = static_cast<uint8_t>(0x5A ^ (i * 13));
  }
  const OutputReport before = report;
  report.SetGear(character, point);

  for (std::size_t i = 0; i < kReportSize; ++i) {
    if (i != kGearByte && report.bytes[i] != before.bytes[i]) std::abort();
  }
  // Only the low eight bits count; the point adds 0x80.
  const auto low = static_cast<uint8_t>(character & 0xFF);
  const bool shown = (low >= '0' && low <= '9') || low == '-' || low == 'r' || low == ' ';
  const uint8_t code = shown ? low : (low <= 9 ? static_cast<uint8_t>('0' + low) : 0);
  if (CharacterCode(low) != code) std::abort();
  const auto want = static_cast<uint8_t>(code + (point > 0 ? kDecimalPoint : 0));
  if (report.bytes[kGearByte] != want) std::abort();
  return 0;
}
