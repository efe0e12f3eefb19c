// SetupAPI and HID class calls of the stand-in, over the bus snapshot.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <vector>

#include "platform/posix/bus.h"
#include "platform/posix/descriptor.h"
#include "platform/win32.h"

struct HidpPreparsedData {
  standin::ParsedDescriptor parsed;
};

namespace {

// {4D1E55B2-F16F-11CF-88CB-001111000030}, the HID device-interface class.
constexpr GUID kHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

bool SameGuid(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

struct DeviceList {
  std::vector<standin::BusEntry> entries;
};

// Lists and preparsed data handed out and not yet given back: a call with any
// other pointer fails instead of touching memory it does not own.
struct Live {
  std::mutex lock;
  std::set<const void*> pointers;

  void Add(const void* p) {
    std::lock_guard<std::mutex> guard(lock);
    pointers.insert(p);
  }
  bool Has(const void* p) {
    std::lock_guard<std::mutex> guard(lock);
    return pointers.count(p) != 0;
  }
  bool Remove(const void* p) {
    std::lock_guard<std::mutex> guard(lock);
    return pointers.erase(p) != 0;
  }
};

Live& LiveLists() {
  static Live* live = new Live;
  return *live;
}

Live& LivePreparsed() {
  static Live* live = new Live;
  return *live;
}

DeviceList* ListOf(HDEVINFO list) {
  return LiveLists().Has(list) ? static_cast<DeviceList*>(list) : nullptr;
}

// The interface index kept in the interface data's reserved word (plus one,
// so that 0 stays "none").
bool EntryOf(DeviceList* list, const SP_DEVICE_INTERFACE_DATA* data, const standin::BusEntry** out,
             DWORD* index) {
  if (list == nullptr || data == nullptr || data->Reserved == 0 ||
      data->Reserved > list->entries.size()) {
    return false;
  }
  *index = static_cast<DWORD>(data->Reserved - 1);
  *out = &list->entries[*index];
  return true;
}

bool IdentityOf(HANDLE device, standin::Identity* identity) {
  standin::DeviceRef ref;
  if (!standin::LookupDevice(device, &ref)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const DWORD error = standin::ReadIdentity(ref, identity);
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

BOOLEAN CopyString(HANDLE device, PVOID buffer, ULONG length,
                   const std::u16string standin::Identity::*field) {
  standin::Identity identity;
  if (buffer == nullptr || !IdentityOf(device, &identity)) {
    return FALSE;
  }
  const std::u16string& text = identity.*field;
  // Like a device answering into a short buffer: what fits is copied, and
  // the terminator only when there is room for it.
  const std::size_t bytes = std::min<std::size_t>((text.size() + 1) * sizeof(WCHAR), length);
  std::memcpy(buffer, text.c_str(), bytes);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

void HidD_GetHidGuid(LPGUID guid) {
  if (guid != nullptr) {
    *guid = kHidGuid;
  }
}

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR /*enumerator*/, HWND /*parent*/,
                              DWORD /*flags*/) {
  auto* list = new (std::nothrow) DeviceList;
  if (list == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  if (classGuid != nullptr && SameGuid(*classGuid, kHidGuid)) {
    try {
      list->entries = standin::SnapshotBus();
    } catch (const std::bad_alloc&) {
      delete list;
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return INVALID_HANDLE_VALUE;
    }
  }
  LiveLists().Add(list);
  SetLastError(ERROR_SUCCESS);
  return list;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO list, PSP_DEVINFO_DATA /*deviceInfo*/,
                                 const GUID* classGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData) {
  DeviceList* devices = ListOf(list);
  if (devices == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      classGuid == nullptr) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (!SameGuid(*classGuid, kHidGuid) || index >= devices->entries.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  interfaceData->InterfaceClassGuid = kHidGuid;
  interfaceData->Flags = 1;  // SPINT_ACTIVE
  interfaceData->Reserved = static_cast<ULONG_PTR>(index) + 1;
  DWORD error = ERROR_SUCCESS;
  standin::VirtualEnumerateFault(index, &error);
  SetLastError(error);
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA /*deviceInfo*/) {
  const standin::BusEntry* entry = nullptr;
  DWORD index = 0;
  if (!EntryOf(ListOf(list), interfaceData, &entry, &index)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD error = ERROR_SUCCESS;
  if (standin::VirtualDetailFault(index, detail == nullptr ? 0 : 1, &error)) {
    SetLastError(error);
    return FALSE;
  }
  const std::size_t needed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                             (entry->path.size() + 1) * sizeof(WCHAR);
  if (requiredSize != nullptr) {
    *requiredSize = static_cast<DWORD>(needed);
  }
  if (detail == nullptr) {
    SetLastError(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detailSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, entry->path.c_str(), (entry->path.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO list) {
  if (!LiveLists().Remove(list)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete static_cast<DeviceList*>(list);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  standin::Identity identity;
  if (attributes == nullptr || !IdentityOf(device, &identity)) {
    return FALSE;
  }
  if (identity.attributesFail) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  attributes->Size = sizeof(HIDD_ATTRIBUTES);
  attributes->VendorID = identity.vendor;
  attributes->ProductID = identity.product;
  attributes->VersionNumber = identity.version;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOLEAN HidD_GetManufacturerString(HANDLE device, PVOID buffer, ULONG length) {
  return CopyString(device, buffer, length, &standin::Identity::manufacturer);
}

BOOLEAN HidD_GetProductString(HANDLE device, PVOID buffer, ULONG length) {
  return CopyString(device, buffer, length, &standin::Identity::productName);
}

BOOLEAN HidD_GetSerialNumberString(HANDLE device, PVOID buffer, ULONG length) {
  standin::Identity identity;
  if (IdentityOf(device, &identity) && identity.serialFails) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  return CopyString(device, buffer, length, &standin::Identity::serial);
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  standin::Identity identity;
  if (data == nullptr || !IdentityOf(device, &identity)) {
    return FALSE;
  }
  auto* preparsed = new (std::nothrow) HidpPreparsedData;
  if (preparsed == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (!standin::ParseReportDescriptor(identity.descriptor.data(), identity.descriptor.size(),
                                      &preparsed->parsed)) {
    delete preparsed;
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  LivePreparsed().Add(preparsed);
  *data = preparsed;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  if (!LivePreparsed().Remove(data)) {
    return FALSE;
  }
  delete data;
  return TRUE;
}

BOOLEAN HidD_SetNumInputBuffers(HANDLE device, ULONG count) {
  standin::DeviceRef ref;
  if (!standin::LookupDevice(device, &ref)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (count < 2 || count > 512) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
  if (caps == nullptr || !LivePreparsed().Has(data)) {
    return HIDP_STATUS_INVALID_PREPARSED_DATA;
  }
  *caps = data->parsed.caps;
  return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                    USAGE usage, PHIDP_BUTTON_CAPS caps, PUSHORT length,
                                    PHIDP_PREPARSED_DATA data) {
  if (length == nullptr || !LivePreparsed().Has(data)) {
    return HIDP_STATUS_INVALID_PREPARSED_DATA;
  }
  if (type != HidP_Input && type != HidP_Output && type != HidP_Feature) {
    return HIDP_STATUS_INVALID_REPORT_TYPE;
  }
  const USHORT room = caps != nullptr ? *length : 0;
  USHORT copied = 0;
  bool matched = false;
  bool tooSmall = false;
  for (const HIDP_BUTTON_CAPS& cap : data->parsed.buttons[type]) {
    const USAGE first = cap.IsRange ? cap.Range.UsageMin : cap.NotRange.Usage;
    const USAGE last = cap.IsRange ? cap.Range.UsageMax : cap.NotRange.Usage;
    if ((usagePage != 0 && cap.UsagePage != usagePage) ||
        (linkCollection != 0 && cap.LinkCollection != linkCollection) ||
        (usage != 0 && (usage < first || usage > last))) {
      continue;
    }
    matched = true;
    if (copied < room) {
      caps[copied++] = cap;
    } else {
      tooSmall = true;
    }
  }
  *length = copied;
  if (!matched) {
    return HIDP_STATUS_USAGE_NOT_FOUND;
  }
  return tooSmall ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}
