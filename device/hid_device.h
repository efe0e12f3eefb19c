// The record of the one display an engine drives: the USB identity that
// discovery looks for, the handles on the display's HID interface, the
// identity strings and capabilities read from it, and the last scan's status.
//
// The only user of the SetupAPI and HID class calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

constexpr int32_t kSliProVendor = 0x1DD2;
constexpr int32_t kSliProProduct = 0x0103;

// Status of the record after a scan.
constexpr int32_t kDeviceNone = 0;
constexpr int32_t kDeviceOpened = 1;
constexpr int32_t kDeviceReady = 2;

constexpr std::size_t kInputBufferSize = 256;
constexpr std::size_t kDevicePathMax = MAX_PATH - 1;  // characters, without the terminator
constexpr std::size_t kSerialUnits = 126;
constexpr std::size_t kStringUnits = 260;
constexpr std::size_t kFirmwareUnits = 16;

// Frees an interface detail block allocated with operator new[].
struct DetailDeleter {
  void operator()(SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail) const;
};

struct HidDevice {
  std::unique_ptr<SP_DEVICE_INTERFACE_DETAIL_DATA_W, DetailDeleter> detail;
  GUID hidGuid{};
  DWORD detailSize = 0;
  int32_t vendorFilter = kSliProVendor;
  int32_t productFilter = kSliProProduct;
  uint8_t inputBuffer[kInputBufferSize] = {};
  int32_t buttonCount = 0;
  std::vector<HIDP_BUTTON_CAPS> buttonCaps;
  bool deviceOpen = false;
  HANDLE attributesHandle = nullptr;
  HANDLE writeHandle = nullptr;
  HANDLE readHandle = nullptr;
  OVERLAPPED readOverlapped{};
  HANDLE completionEvent = nullptr;
  std::basic_string<WCHAR> devicePath;
  WCHAR serialNumber[kSerialUnits] = {};
  WCHAR manufacturer[kStringUnits] = {};
  WCHAR product[kStringUnits] = {};
  WCHAR firmware[kFirmwareUnits] = {};
  HIDP_CAPS caps{};
  int32_t status = kDeviceNone;

  HidDevice() = default;
  ~HidDevice();
  HidDevice(const HidDevice&) = delete;
  HidDevice& operator=(const HidDevice&) = delete;

  void SetFilter(int32_t vendor, int32_t product);
  // 2 with the display open and identified, else 0 with nothing left open.
  int32_t Scan();
  // Fills destination from the display's capabilities through the read handle.
  bool ReadCaps(HIDP_CAPS& destination);

  bool Open();
  bool IsWritable() const;
  // Non-zero when the system took the write; 0 when skipped or failed.
  int32_t Write(const void* buffer, DWORD length);
  void Close();
  // Closes the channel and gives back everything the record holds.
  void Release();

 private:
  // One step of the scan loop; sets *end when the enumeration is over.
  bool ExamineInterface(HDEVINFO list, DWORD index, bool* end);
  bool ReadDetail(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* data);
  bool AcceptCandidate(const HIDD_ATTRIBUTES& attributes);
  void CloseAttributesHandle();
};

// The firmware text of a HID version number: "%x.%02x" of its two bytes.
void FormatFirmware(USHORT version, WCHAR (&out)[kFirmwareUnits]);

// Holds a handle in the sense of the record: neither null nor invalid.
inline bool IsHeld(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}
