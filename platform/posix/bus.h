// The stand-in's view of the HID devices present: virtual displays first, in
// attach order, then hidraw nodes, sorted. Each source has its own record of a
// device; this header is where the kernel and HID calls meet them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace standin {

enum class Source { kVirtual, kHidraw };

struct BusEntry {
  std::u16string path;
  Source source = Source::kVirtual;
  int virtualId = 0;       // kVirtual
  std::string hidrawName;  // kHidraw, e.g. "hidraw3"
};

// What the HID class calls answer about a device.
struct Identity {
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t version = 0;
  std::u16string manufacturer;
  std::u16string productName;
  std::u16string serial;
  bool attributesFail = false;
  bool serialFails = false;
  std::vector<uint8_t> descriptor;
};

// A device opened through CreateFileW.
struct DeviceRef {
  Source source = Source::kVirtual;
  int virtualId = 0;
  std::string hidrawName;
  int fd = -1;
  DWORD access = 0;
};

std::vector<BusEntry> SnapshotBus();
// ERROR_SUCCESS and *out filled, or the error code of the refused open.
DWORD OpenDevice(const std::u16string& path, DWORD access, DeviceRef* out);
void CloseDevice(DeviceRef& device);
DWORD ReadIdentity(const DeviceRef& device, Identity* out);
DWORD WriteDevice(const DeviceRef& device, const void* buffer, DWORD length, DWORD* written);

// The device behind a HANDLE from CreateFileW (kernel.cpp).
bool LookupDevice(HANDLE handle, DeviceRef* out);

// Virtual displays (virtual_display.cpp).
void VirtualSnapshot(std::vector<BusEntry>& out);
DWORD VirtualOpen(const std::u16string& path, DWORD access, int* id);
void VirtualClose(int id);
DWORD VirtualIdentity(int id, Identity* out);
DWORD VirtualWrite(int id, const void* buffer, DWORD length, DWORD* written);
// Faults on single platform calls, for tests of the device layer.
bool VirtualEnumerateFault(DWORD index, DWORD* error);
bool VirtualDetailFault(DWORD index, int stage, DWORD* error);

// hidraw nodes (hidraw.cpp).
void HidrawSnapshot(std::vector<BusEntry>& out);
DWORD HidrawOpen(const std::string& name, DWORD access, int* fd);
DWORD HidrawIdentity(const std::string& name, Identity* out);
DWORD HidrawWrite(int fd, const void* buffer, DWORD length, DWORD* written);

// Handles now open in the process, of every kind.
int OpenHandleCount();

}  // namespace standin
