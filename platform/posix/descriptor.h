// HID report descriptor parser behind the capability calls. Descriptors come
// from devices: every length, count and nesting depth is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/win32.h"

namespace standin {

struct ParsedDescriptor {
  HIDP_CAPS caps{};
  // Button capabilities per report type (input, output, feature).
  std::vector<HIDP_BUTTON_CAPS> buttons[3];
};

// False for a descriptor that is malformed or beyond the parser's limits.
bool ParseReportDescriptor(const uint8_t* data, std::size_t size, ParsedDescriptor* out);

}  // namespace standin
