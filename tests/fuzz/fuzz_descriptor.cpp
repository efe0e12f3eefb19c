// Report descriptors come from devices: the parser must take any bytes, and
// what it answers must hold together. The same bytes then go through the
// capability calls on a virtual display, which must agree with the parser and
// keep their buffer contract.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/descriptor.h"
#include "platform/posix/text.h"
#include "platform/posix/virtual_display.h"
#include "platform/win32.h"

namespace {

constexpr std::size_t kMaxCaps = 4096;  // the parser's limit on capabilities
int displayId = 0;
HANDLE display = INVALID_HANDLE_VALUE;

void Check(bool condition) {
  if (!condition) std::abort();
}

USAGE FirstUsage(const HIDP_BUTTON_CAPS& cap) {
  return cap.IsRange ? cap.Range.UsageMin : cap.NotRange.Usage;
}

// Data indices are handed out in descriptor order, buttons and values
// alike: the buttons' indices increase, never overlap and stay below the
// count the capabilities report.
void CheckDataIndices(const std::vector<HIDP_BUTTON_CAPS>& list, USHORT total) {
  uint32_t next = 0;
  for (const HIDP_BUTTON_CAPS& cap : list) {
    const uint32_t first = cap.IsRange ? cap.Range.DataIndexMin : cap.NotRange.DataIndex;
    const uint32_t last = cap.IsRange ? cap.Range.DataIndexMax : cap.NotRange.DataIndex;
    Check(first >= next);
    Check(last >= first);
    next = last + 1;
  }
  Check(next <= total);
}

void CheckParsed(const standin::ParsedDescriptor& parsed) {
  const HIDP_CAPS& caps = parsed.caps;
  Check(caps.NumberInputButtonCaps == parsed.buttons[HidP_Input].size());
  Check(caps.NumberOutputButtonCaps == parsed.buttons[HidP_Output].size());
  Check(caps.NumberFeatureButtonCaps == parsed.buttons[HidP_Feature].size());
  Check(parsed.buttons[0].size() + parsed.buttons[1].size() + parsed.buttons[2].size() <= kMaxCaps);
  Check(caps.NumberLinkCollectionNodes >= 1);  // a top-level collection is required
  // A length counts the report number byte: none, or at least two bytes.
  for (USHORT length :
       {caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength}) {
    Check(length == 0 || length >= 2);
  }
  CheckDataIndices(parsed.buttons[HidP_Input], caps.NumberInputDataIndices);
  CheckDataIndices(parsed.buttons[HidP_Output], caps.NumberOutputDataIndices);
  CheckDataIndices(parsed.buttons[HidP_Feature], caps.NumberFeatureDataIndices);
  for (const auto& list : parsed.buttons) {
    for (const HIDP_BUTTON_CAPS& cap : list) {
      Check(cap.LinkCollection < caps.NumberLinkCollectionNodes);
      Check(cap.IsRange == TRUE || cap.IsRange == FALSE);
    }
  }
}

bool SameCaps(const HIDP_BUTTON_CAPS& a, const HIDP_BUTTON_CAPS& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

void CheckThroughCalls(const uint8_t* data, std::size_t size, bool parsedOk,
                       const standin::ParsedDescriptor& parsed) {
  Check(kvvd_set_descriptor(displayId, data, static_cast<int>(size)) == 0);
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  const bool ok = HidD_GetPreparsedData(display, &preparsed) != FALSE;
  Check(ok == parsedOk);
  if (!ok) {
    Check(GetLastError() == ERROR_INVALID_DATA);
    return;
  }
  HIDP_CAPS caps{};
  Check(HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS);
  Check(std::memcmp(&caps, &parsed.caps, sizeof caps) == 0);

  const std::vector<HIDP_BUTTON_CAPS>& inputs = parsed.buttons[HidP_Input];
  const USHORT count = caps.NumberInputButtonCaps;
  // One entry more than needed: the calls must not write past what they report.
  std::vector<HIDP_BUTTON_CAPS> buffer(count + 1u);
  HIDP_BUTTON_CAPS sentinel;
  std::memset(&sentinel, 0xCD, sizeof sentinel);
  buffer[count] = sentinel;

  USHORT length = count;
  NTSTATUS status =
      HidP_GetSpecificButtonCaps(HidP_Input, 0, 0, 0, buffer.data(), &length, preparsed);
  Check(status == (count == 0 ? HIDP_STATUS_USAGE_NOT_FOUND : HIDP_STATUS_SUCCESS));
  Check(length == count);
  Check(SameCaps(buffer[count], sentinel));
  for (USHORT i = 0; i < count; ++i) Check(SameCaps(buffer[i], inputs[i]));

  if (count > 0) {
    // Too small a buffer: filled up to its size, never beyond.
    buffer[count - 1] = sentinel;
    length = static_cast<USHORT>(count - 1);
    status = HidP_GetSpecificButtonCaps(HidP_Input, 0, 0, 0, buffer.data(), &length, preparsed);
    Check(status == HIDP_STATUS_BUFFER_TOO_SMALL);
    Check(length == count - 1);
    Check(SameCaps(buffer[count - 1], sentinel));

    // A filter on the first capability's page and usage answers exactly the
    // matching entries.
    const USAGE page = inputs[0].UsagePage;
    const USAGE usage = FirstUsage(inputs[0]);
    std::size_t matching = 0;
    for (const HIDP_BUTTON_CAPS& cap : inputs) {
      const USAGE last = cap.IsRange ? cap.Range.UsageMax : cap.NotRange.Usage;
      if ((page == 0 || cap.UsagePage == page) &&
          (usage == 0 || (usage >= FirstUsage(cap) && usage <= last))) {
        ++matching;
      }
    }
    length = count;
    status =
        HidP_GetSpecificButtonCaps(HidP_Input, page, 0, usage, buffer.data(), &length, preparsed);
    Check(length == matching);
    Check(status == (matching == 0 ? HIDP_STATUS_USAGE_NOT_FOUND : HIDP_STATUS_SUCCESS));
    for (USHORT i = 0; i < length; ++i) Check(page == 0 || buffer[i].UsagePage == page);
  }

  // An unknown report type is refused before anything is touched.
  length = count;
  Check(HidP_GetSpecificButtonCaps(static_cast<HIDP_REPORT_TYPE>(3), 0, 0, 0, buffer.data(),
                                   &length, preparsed) == HIDP_STATUS_INVALID_REPORT_TYPE);

  Check(HidD_FreePreparsedData(preparsed) != FALSE);
  // Freed data is no longer accepted.
  Check(HidD_FreePreparsedData(preparsed) == FALSE);
  Check(HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_INVALID_PREPARSED_DATA);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  displayId = kvvd_attach(0x1DD2, 0x0103, 0x0105, "Fuzz", "SLI-PRO", "0001", 0, 0, 0);
  Check(displayId > 0);
  char path[1024];
  const int length = kvvd_path(displayId, path, sizeof path);
  Check(length > 0 && length < static_cast<int>(sizeof path));
  const std::u16string wide = standin::ToUtf16(path);
  display = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        0, nullptr);
  Check(display != INVALID_HANDLE_VALUE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 1 << 16) return 0;
  standin::ParsedDescriptor parsed;
  const bool ok = standin::ParseReportDescriptor(data, size, &parsed);
  if (ok) CheckParsed(parsed);
  CheckThroughCalls(data, size, ok, parsed);
  return 0;
}
