// The hidraw source: where it looks for HID devices, and how the errors of
// the device nodes read as Windows codes.
#pragma once

#include <string>

#include "platform/posix/virtual_display.h"  // KVVD_API
#include "platform/win32.h"

namespace standin {

constexpr const char kDefaultHidrawSysfs[] = "/sys/class/hidraw";
constexpr const char kDefaultHidrawDev[] = "/dev";

// The class directory listing hidrawN and the directory of their device
// nodes. An empty root is its default. Tests point both at a tree they made.
void SetHidrawRoots(const std::string& sysfsRoot, const std::string& devRoot);

// Windows codes for the errno of a failed open or write on a node.
DWORD HidrawOpenError(int error);
DWORD HidrawWriteError(int error);

}  // namespace standin

// Null or "" for a root selects its default. 0, or -1 for a root too long.
KVVD_API int kvvd_hidraw_roots(const char* sysfs, const char* dev);
