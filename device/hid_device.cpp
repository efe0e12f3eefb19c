#include "device/hid_device.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kNumInputBuffers = 2;
constexpr DWORD kOpenSettleMs = 100;
constexpr DWORD kEnumeratePauseMs = 1;

// Tests after a platform call look at the last-error code it left; start each
// call from 0 so that an earlier call's code is never taken for this one's.
void ClearLastError() {
  SetLastError(ERROR_SUCCESS);
}

bool Succeeded(BOOL result) {
  return result != 0 && GetLastError() == ERROR_SUCCESS;
}

void CloseIfHeld(HANDLE& handle) {
  if (IsHeld(handle)) {
    CloseHandle(handle);
  }
  handle = nullptr;
}

// The length of the path in a detail block of blockSize bytes, or
// kDevicePathMax + 1 when it is not terminated inside the block or too long
// for the record.
std::size_t DetailPathLength(const SP_DEVICE_INTERFACE_DETAIL_DATA_W& detail, DWORD blockSize) {
  const std::size_t units =
      (blockSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
  const WCHAR* path = detail.DevicePath;
  for (std::size_t n = 0; n < units && n <= kDevicePathMax; ++n) {
    if (path[n] == 0) {
      return n;
    }
  }
  return kDevicePathMax + 1;
}

template <std::size_t N>
void Terminate(WCHAR (&text)[N]) {
  text[N - 1] = 0;
}

}  // namespace

void DetailDeleter::operator()(SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail) const {
  delete[] reinterpret_cast<uint8_t*>(detail);
}

HidDevice::~HidDevice() {
  Release();
}

void FormatFirmware(USHORT version, WCHAR (&out)[kFirmwareUnits]) {
  char text[kFirmwareUnits] = {};
  std::snprintf(text, sizeof text, "%x.%02x", static_cast<unsigned>(version >> 8),
                static_cast<unsigned>(version & 0xFF));
  std::memset(out, 0, sizeof out);
  for (std::size_t i = 0; i + 1 < kFirmwareUnits && text[i] != 0; ++i) {
    out[i] = static_cast<WCHAR>(text[i]);
  }
}

void HidDevice::SetFilter(int32_t vendor, int32_t product) {
  vendorFilter = vendor;
  productFilter = product;
}

int32_t HidDevice::Scan() {
  status = kDeviceNone;
  std::memset(serialNumber, 0, sizeof serialNumber);
  Close();
  detailSize = 0;
  detail.reset();
  attributesHandle = nullptr;

  HidD_GetHidGuid(&hidGuid);
  HDEVINFO list =
      SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);

  for (DWORD index = 0;; ++index) {
    bool end = false;
    const bool found = ExamineInterface(list, index, &end);
    detail.reset();
    deviceOpen = found;
    if (end || found) {
      break;
    }
  }

  SetupDiDestroyDeviceInfoList(list);
  return status;
}

bool HidDevice::ExamineInterface(HDEVINFO list, DWORD index, bool* end) {
  Sleep(kEnumeratePauseMs);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ClearLastError();
  if (!Succeeded(SetupDiEnumDeviceInterfaces(list, nullptr, &hidGuid, index, &data))) {
    *end = true;
    return false;
  }
  if (!ReadDetail(list, &data)) {
    *end = true;
    return false;
  }
  // A path that does not fit the record cannot be opened or reported: pass
  // over that interface.
  if (DetailPathLength(*detail, detailSize) > kDevicePathMax) {
    return false;
  }

  ClearLastError();
  attributesHandle =
      CreateFileW(detail->DevicePath, 0, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr);
  if (!IsHeld(attributesHandle) || GetLastError() != ERROR_SUCCESS) {
    CloseAttributesHandle();
    return false;
  }

  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  ClearLastError();
  if (!Succeeded(HidD_GetAttributes(attributesHandle, &attributes)) ||
      static_cast<int32_t>(attributes.VendorID) != vendorFilter ||
      static_cast<int32_t>(attributes.ProductID) != productFilter) {
    CloseAttributesHandle();
    return false;
  }
  return AcceptCandidate(attributes);
}

bool HidDevice::ReadDetail(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* data) {
  ClearLastError();
  const BOOL sized = SetupDiGetDeviceInterfaceDetailW(list, data, nullptr, 0, &detailSize, nullptr);
  const DWORD error = GetLastError();
  if (!((sized == 0 && error == ERROR_INSUFFICIENT_BUFFER) ||
        (sized != 0 && error == ERROR_SUCCESS))) {
    return false;
  }
  // The block must at least hold its size word and one path character.
  if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    return false;
  }
  auto* block = new (std::nothrow) uint8_t[detailSize];
  if (block == nullptr) {
    return false;
  }
  detail.reset(reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block));
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  detail->DevicePath[0] = 0;
  data->cbSize = sizeof *data;
  ClearLastError();
  return Succeeded(
      SetupDiGetDeviceInterfaceDetailW(list, data, detail.get(), detailSize, nullptr, nullptr));
}

bool HidDevice::AcceptCandidate(const HIDD_ATTRIBUTES& attributes) {
  devicePath.assign(detail->DevicePath);
  if (!Open()) {
    Close();
    return false;
  }
  status = kDeviceOpened;

  std::memset(manufacturer, 0, sizeof manufacturer);
  HidD_GetManufacturerString(readHandle, manufacturer, sizeof manufacturer);
  Terminate(manufacturer);
  std::memset(product, 0, sizeof product);
  HidD_GetProductString(readHandle, product, sizeof product);
  Terminate(product);
  FormatFirmware(attributes.VersionNumber, firmware);
  std::memset(serialNumber, 0, sizeof serialNumber);
  HidD_GetSerialNumberString(readHandle, serialNumber, sizeof serialNumber);
  Terminate(serialNumber);

  status = kDeviceReady;
  ReadCaps(caps);
  return true;
}

void HidDevice::CloseAttributesHandle() {
  CloseIfHeld(attributesHandle);
}

bool HidDevice::ReadCaps(HIDP_CAPS& destination) {
  if (readHandle == INVALID_HANDLE_VALUE) {
    return false;
  }
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(readHandle, &preparsed)) {
    return false;
  }
  HidP_GetCaps(preparsed, &caps);
  if (&destination != &caps) {
    destination = caps;
  }

  buttonCount = 0;
  try {
    buttonCaps.assign(caps.NumberInputButtonCaps, HIDP_BUTTON_CAPS{});
  } catch (const std::bad_alloc&) {
    buttonCaps.clear();
  }
  auto length = static_cast<USHORT>(buttonCaps.size());
  const NTSTATUS answer =
      HidP_GetSpecificButtonCaps(HidP_Input, 0, 0, 0, buttonCaps.data(), &length, preparsed);
  // Only an entry the platform filled in may be read.
  if (answer == HIDP_STATUS_SUCCESS && length > 0 && !buttonCaps.empty()) {
    const HIDP_BUTTON_CAPS& first = buttonCaps.front();
    if (first.IsRange) {
      const int32_t range = static_cast<int32_t>(first.Range.UsageMax) -
                            static_cast<int32_t>(first.Range.UsageMin) + 1;
      buttonCount = range > 0 ? range : 0;
    } else {
      buttonCount = 1;
    }
  }
  HidD_FreePreparsedData(preparsed);
  return true;
}

bool HidDevice::Open() {
  if (!detail) {
    return false;
  }
  const WCHAR* path = detail->DevicePath;
  writeHandle =
      CreateFileW(path, GENERIC_WRITE, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr);
  if (!IsHeld(writeHandle)) {
    return false;
  }
  HANDLE read = CreateFileW(path, GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (completionEvent == nullptr) {
    completionEvent = CreateEventW(nullptr, TRUE, TRUE, KV_WIDE(""));
    readOverlapped.hEvent = completionEvent;
    readOverlapped.Offset = 0;
    readOverlapped.OffsetHigh = 0;
  }
  std::memset(inputBuffer, 0, sizeof inputBuffer);
  readHandle = read;
  if (!IsHeld(readHandle)) {
    return false;
  }
  HidD_SetNumInputBuffers(readHandle, kNumInputBuffers);
  Sleep(kOpenSettleMs);
  return true;
}

bool HidDevice::IsWritable() const {
  return attributesHandle != INVALID_HANDLE_VALUE && writeHandle != nullptr;
}

int32_t HidDevice::Write(const void* buffer, DWORD length) {
  if (writeHandle == INVALID_HANDLE_VALUE || !deviceOpen) {
    return 0;
  }
  DWORD written = 0;
  ClearLastError();
  const BOOL result = WriteFile(writeHandle, buffer, length, &written, nullptr);
  if (result != 0) {
    return result;
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    deviceOpen = false;
  }
  return 0;
}

void HidDevice::Close() {
  deviceOpen = false;
  // Each handle is closed on its own: a held handle is never left behind,
  // whatever state the others are in.
  CloseIfHeld(writeHandle);
  CloseIfHeld(readHandle);
  CloseIfHeld(attributesHandle);
}

void HidDevice::Release() {
  Close();
  detail.reset();
  detailSize = 0;
  devicePath.clear();
  std::memset(serialNumber, 0, sizeof serialNumber);
  std::memset(manufacturer, 0, sizeof manufacturer);
  std::memset(product, 0, sizeof product);
  std::memset(firmware, 0, sizeof firmware);
  buttonCaps.clear();
  CloseIfHeld(completionEvent);
  readOverlapped.hEvent = nullptr;
}
