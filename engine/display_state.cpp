#include "engine/display_state.h"

#include "module/console_out.h"

DisplayState::DisplayState() {
  timeBeginPeriod(1);
}

DisplayState::~DisplayState() {
  Release();
}

void DisplayState::SetGear(int32_t character, int32_t point) {
  report.SetGear(character, point);
}

void DisplayState::SetLed(int32_t index, int32_t value, bool rpmRow) {
  if (rpmRow) {
    report.SetLed(index, value, kRpmRowStart, maxRpmLed);
  } else {
    report.SetLed(index, value, kWarningRowStart, warningLedSlots);
  }
}

void DisplayState::SetLeftDigits(const char* text) {
  if (!report.SetDigits(Panel::kLeft, text, digitsPerPanel)) {
    ConsoleOut("error: left string not valid!");
  }
}

void DisplayState::SetRightDigits(const char* text) {
  if (!report.SetDigits(Panel::kRight, text, digitsPerPanel)) {
    ConsoleOut("error: right string not valid!");
  }
}

void DisplayState::WriteReport() {
  report.PrepareForSend();
  device.Write(report.data(), static_cast<DWORD>(kReportSize));
}

void DisplayState::SendReport() {
  if (device.IsWritable()) {
    WriteReport();
  }
}

void DisplayState::BlankReport() {
  report.Blank(digitsPerPanel);
  if (device.IsWritable()) {
    WriteReport();
  }
}

int32_t DisplayState::InitDevice() {
  device.SetFilter(kSliProVendor, kSliProProduct);
  const int32_t status = device.Scan();
  if (status < kDeviceReady) {
    return status;
  }
  device.ReadCaps(capsCopy);
  BlankReport();
  return status;
}

void DisplayState::Release() {
  BlankReport();
  std::string().swap(rightText);
  std::string().swap(leftText);
  device.Release();
}
