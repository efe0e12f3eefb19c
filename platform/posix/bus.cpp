#include "platform/posix/bus.h"

#include <unistd.h>

namespace standin {

std::vector<BusEntry> SnapshotBus() {
  std::vector<BusEntry> entries;
  VirtualSnapshot(entries);
  HidrawSnapshot(entries);
  return entries;
}

DWORD OpenDevice(const std::u16string& path, DWORD access, DeviceRef* out) {
  int id = 0;
  DWORD error = VirtualOpen(path, access, &id);
  if (error != ERROR_FILE_NOT_FOUND) {
    if (error == ERROR_SUCCESS) {
      out->source = Source::kVirtual;
      out->virtualId = id;
      out->access = access;
    }
    return error;
  }
  std::vector<BusEntry> nodes;
  HidrawSnapshot(nodes);
  for (const BusEntry& node : nodes) {
    if (node.path == path) {
      int fd = -1;
      error = HidrawOpen(node.hidrawName, access, &fd);
      if (error == ERROR_SUCCESS) {
        out->source = Source::kHidraw;
        out->hidrawName = node.hidrawName;
        out->fd = fd;
        out->access = access;
      }
      return error;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

void CloseDevice(DeviceRef& device) {
  if (device.source == Source::kVirtual) {
    VirtualClose(device.virtualId);
  } else if (device.fd >= 0) {
    ::close(device.fd);
    device.fd = -1;
  }
}

DWORD ReadIdentity(const DeviceRef& device, Identity* out) {
  return device.source == Source::kVirtual ? VirtualIdentity(device.virtualId, out)
                                           : HidrawIdentity(device.hidrawName, out);
}

DWORD WriteDevice(const DeviceRef& device, const void* buffer, DWORD length, DWORD* written) {
  if ((device.access & GENERIC_WRITE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  return device.source == Source::kVirtual ? VirtualWrite(device.virtualId, buffer, length, written)
                                           : HidrawWrite(device.fd, buffer, length, written);
}

}  // namespace standin
