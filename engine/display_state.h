// The display state of one engine: the device record, the report that holds
// the display's image, the display's fixed limits and the panels' last texts.
#pragma once

#include <cstdint>
#include <string>

#include "device/hid_device.h"
#include "platform/win32.h"
#include "report/output_report.h"

constexpr int32_t kDeviceTypeCode = 7000;

struct DisplayState {
  int32_t deviceTypeCode = kDeviceTypeCode;
  HidDevice device;
  OutputReport report;
  int32_t maxRpmLed = 13;
  int32_t digitsPerPanel = 6;
  int32_t warningLedSlots = 11;
  int32_t maxExternalLed = 5;
  int32_t maxWarningLed = 6;
  int32_t brightness = 255;
  int32_t rumbleMotors = 0;
  HIDP_CAPS capsCopy{};
  std::string leftText;
  std::string rightText;

  DisplayState();
  ~DisplayState();
  DisplayState(const DisplayState&) = delete;
  DisplayState& operator=(const DisplayState&) = delete;

  void SetGear(int32_t character, int32_t point);
  void SetLed(int32_t index, int32_t value, bool rpmRow);
  void SetLeftDigits(const char* text);
  void SetRightDigits(const char* text);
  void SendReport();
  void BlankReport();

  // 2 when the display was found, opened and accepted; else the scan's status.
  int32_t InitDevice();
  // Leaves the display blank and gives back the device and the texts.
  void Release();

 private:
  void WriteReport();
};
