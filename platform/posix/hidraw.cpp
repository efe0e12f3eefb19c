// hidraw nodes as HID interfaces: not listed yet.
#include "platform/posix/bus.h"

namespace standin {

void HidrawSnapshot(std::vector<BusEntry>& /*out*/) {}

DWORD HidrawOpen(const std::string& /*name*/, DWORD /*access*/, int* /*fd*/) {
  return ERROR_FILE_NOT_FOUND;
}

DWORD HidrawIdentity(const std::string& /*name*/, Identity* /*out*/) {
  return ERROR_DEVICE_NOT_CONNECTED;
}

DWORD HidrawWrite(int /*fd*/, const void* /*buffer*/, DWORD /*length*/, DWORD* /*written*/) {
  return ERROR_DEVICE_NOT_CONNECTED;
}

}  // namespace standin
