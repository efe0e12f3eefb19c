// hidraw nodes as HID interfaces. The identity of a node comes from sysfs:
// the HID device's uevent, the USB device two levels above it when there is
// one, and the report descriptor. Only writes touch the node itself.
#include "platform/posix/hidraw.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/bus.h"
#include "platform/posix/text.h"

namespace {

// The kernel's own limit on a report descriptor (HID_MAX_DESCRIPTOR_SIZE).
constexpr std::size_t kMaxDescriptor = 4096;
// sysfs attributes are at most a page; nothing we read is longer.
constexpr std::size_t kMaxAttribute = 4096;
constexpr std::size_t kMaxNodeDigits = 9;

// Windows codes that only this source answers.
constexpr DWORD kErrorTooManyOpenFiles = 4;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorSemTimeout = 121;

struct Roots {
  std::string sysfs = standin::kDefaultHidrawSysfs;
  std::string dev = standin::kDefaultHidrawDev;
};

std::mutex& RootsLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

Roots& TheRoots() {
  static Roots* roots = new Roots;  // never destroyed: handles may outlive statics
  return *roots;
}

Roots CurrentRoots() {
  std::lock_guard<std::mutex> guard(RootsLock());
  return TheRoots();
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

// "hidraw" and a decimal number; the number is the sort key.
bool NodeNumber(const char* name, unsigned long* number) {
  static const char kPrefix[] = "hidraw";
  const std::string text(name);
  const std::size_t prefix = sizeof kPrefix - 1;
  if (text.compare(0, prefix, kPrefix) != 0 || text.size() == prefix ||
      text.size() - prefix > kMaxNodeDigits) {
    return false;
  }
  unsigned long value = 0;
  for (std::size_t i = prefix; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return false;
    }
    value = value * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  *number = value;
  return true;
}

// At most limit bytes of a file; false when it cannot be opened or read.
bool ReadFile(const std::string& path, std::size_t limit, std::string* out) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return false;
  }
  std::string data;
  char chunk[1024];
  bool ok = true;
  while (data.size() < limit) {
    const std::size_t want = std::min(sizeof chunk, limit - data.size());
    const ssize_t n = ::read(fd, chunk, want);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) {
      break;
    }
    data.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (ok) {
    *out = std::move(data);
  }
  return ok;
}

// A sysfs attribute as text: its value without the closing newline.
bool ReadAttribute(const std::string& path, std::string* out) {
  std::string text;
  if (!ReadFile(path, kMaxAttribute, &text)) {
    return false;
  }
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  *out = std::move(text);
  return true;
}

// The value of KEY=value in a uevent file, if the key is there.
bool UeventValue(const std::string& uevent, const std::string& key, std::string* value) {
  std::size_t start = 0;
  while (start < uevent.size()) {
    std::size_t end = uevent.find('\n', start);
    if (end == std::string::npos) {
      end = uevent.size();
    }
    if (end - start > key.size() && uevent.compare(start, key.size(), key) == 0 &&
        uevent[start + key.size()] == '=') {
      *value = uevent.substr(start + key.size() + 1, end - start - key.size() - 1);
      return true;
    }
    start = end + 1;
  }
  return false;
}

// One to eight hexadecimal digits.
bool ParseHex(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 8) {
    return false;
  }
  uint32_t result = 0;
  for (char c : text) {
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    result = (result << 4) | digit;
  }
  *value = result;
  return true;
}

// HID_ID=bus:vendor:product, each in hexadecimal, e.g. 0003:00001DD2:00000103.
bool ParseHidId(const std::string& text, uint16_t* vendor, uint16_t* product) {
  const std::size_t first = text.find(':');
  const std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos) {
    return false;
  }
  uint32_t bus = 0;
  uint32_t v = 0;
  uint32_t p = 0;
  if (!ParseHex(text.substr(0, first), &bus) ||
      !ParseHex(text.substr(first + 1, second - first - 1), &v) ||
      !ParseHex(text.substr(second + 1), &p) || v > 0xFFFF || p > 0xFFFF) {
    return false;
  }
  *vendor = static_cast<uint16_t>(v);
  *product = static_cast<uint16_t>(p);
  return true;
}

std::u16string AttributeText(const std::string& path) {
  std::string text;
  return ReadAttribute(path, &text) ? standin::ToUtf16(text) : std::u16string();
}

std::string NodePath(const Roots& roots, const std::string& name) {
  return roots.dev + "/" + name;
}

DWORD FillIdentity(const std::string& name, standin::Identity* out) {
  const Roots roots = CurrentRoots();
  const std::string device = roots.sysfs + "/" + name + "/device";
  std::string uevent;
  if (!ReadFile(device + "/uevent", kMaxAttribute, &uevent)) {
    return ERROR_DEVICE_NOT_CONNECTED;
  }
  standin::Identity identity;
  std::string value;
  identity.attributesFail = !UeventValue(uevent, "HID_ID", &value) ||
                            !ParseHidId(value, &identity.vendor, &identity.product);

  // The USB device is the parent of the interface the HID device hangs on.
  // Paths resolve ".." after the symlink, as sysfs means them to.
  const std::string usb = device + "/../..";
  std::string usbEvent;
  std::string devtype;
  const bool onUsb = ReadFile(usb + "/uevent", kMaxAttribute, &usbEvent) &&
                     UeventValue(usbEvent, "DEVTYPE", &devtype) && devtype == "usb_device";
  if (onUsb) {
    identity.manufacturer = AttributeText(usb + "/manufacturer");
    identity.productName = AttributeText(usb + "/product");
    identity.serial = AttributeText(usb + "/serial");
    std::string bcd;
    uint32_t version = 0;
    if (ReadAttribute(usb + "/bcdDevice", &bcd) && ParseHex(bcd, &version) && version <= 0xFFFF) {
      identity.version = static_cast<uint16_t>(version);
    }
  } else {
    // Bluetooth, uhid and the like: what the HID layer itself knows.
    if (UeventValue(uevent, "HID_NAME", &value)) {
      identity.productName = standin::ToUtf16(value);
    }
    if (UeventValue(uevent, "HID_UNIQ", &value)) {
      identity.serial = standin::ToUtf16(value);
    }
  }

  std::string descriptor;
  if (ReadFile(device + "/report_descriptor", kMaxDescriptor, &descriptor)) {
    identity.descriptor.assign(descriptor.begin(), descriptor.end());
  }
  *out = std::move(identity);
  return ERROR_SUCCESS;
}

}  // namespace

namespace standin {

void SetHidrawRoots(const std::string& sysfsRoot, const std::string& devRoot) {
  std::lock_guard<std::mutex> guard(RootsLock());
  Roots& roots = TheRoots();
  roots.sysfs = sysfsRoot.empty() ? kDefaultHidrawSysfs : WithoutTrailingSlashes(sysfsRoot);
  roots.dev = devRoot.empty() ? kDefaultHidrawDev : WithoutTrailingSlashes(devRoot);
}

DWORD HidrawOpenError(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EBUSY:
      return kErrorSharingViolation;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD HidrawWriteError(int error) {
  switch (error) {
    case ENODEV:
    case ENXIO:
    case EIO:
    case ESHUTDOWN:
    case EPIPE:
      return ERROR_DEVICE_NOT_CONNECTED;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EFAULT:
      return ERROR_INVALID_USER_BUFFER;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case ENOBUFS:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ETIMEDOUT:
      return kErrorSemTimeout;
    default:
      // EAGAIN among them: the write handle blocks, so a write that would
      // block is not one still under way.
      return ERROR_GEN_FAILURE;
  }
}

void HidrawSnapshot(std::vector<BusEntry>& out) {
  const Roots roots = CurrentRoots();
  DIR* dir = ::opendir(roots.sysfs.c_str());
  if (dir == nullptr) {
    return;
  }
  std::vector<std::pair<unsigned long, std::string>> nodes;
  while (const dirent* entry = ::readdir(dir)) {
    unsigned long number = 0;
    if (NodeNumber(entry->d_name, &number)) {
      nodes.emplace_back(number, entry->d_name);
    }
  }
  ::closedir(dir);
  std::sort(nodes.begin(), nodes.end());
  for (const auto& node : nodes) {
    BusEntry entry;
    entry.path = ToUtf16(NodePath(roots, node.second));
    entry.source = Source::kHidraw;
    entry.hidrawName = node.second;
    out.push_back(std::move(entry));
  }
}

DWORD HidrawOpen(const std::string& name, DWORD access, int* fd) {
  *fd = -1;
  const std::string node = NodePath(CurrentRoots(), name);
  const bool write = (access & GENERIC_WRITE) != 0;
  const bool read = (access & GENERIC_READ) != 0;
  if (!write && !read) {
    // Attribute queries come from sysfs; the node need only be there.
    struct stat st {};
    return ::stat(node.c_str(), &st) == 0 ? ERROR_SUCCESS : HidrawOpenError(errno);
  }
  // Never blocks in open (a FIFO without a reader answers ENXIO); the write
  // side is made blocking afterwards, so a write returns once the kernel took it.
  const int mode = write && read ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  int opened = -1;
  do {
    opened = ::open(node.c_str(), mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (opened < 0 && errno == EINTR);
  if (opened < 0) {
    return HidrawOpenError(errno);
  }
  if (write) {
    const int flags = ::fcntl(opened, F_GETFL);
    if (flags < 0 || ::fcntl(opened, F_SETFL, flags & ~O_NONBLOCK) < 0) {
      const int error = errno;
      ::close(opened);
      return HidrawOpenError(error);
    }
  }
  *fd = opened;
  return ERROR_SUCCESS;
}

DWORD HidrawIdentity(const std::string& name, Identity* out) {
  try {
    return FillIdentity(name, out);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD HidrawWrite(int fd, const void* buffer, DWORD length, DWORD* written) {
  *written = 0;
  if (buffer == nullptr && length != 0) {
    return ERROR_INVALID_USER_BUFFER;
  }
  // Byte 0 is the report number, as on Windows: the buffer goes as it is.
  ssize_t n = -1;
  do {
    n = ::write(fd, buffer, length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return HidrawWriteError(errno);
  }
  *written = static_cast<DWORD>(n);
  return ERROR_SUCCESS;
}

}  // namespace standin

int kvvd_hidraw_roots(const char* sysfs, const char* dev) {
  const std::string sysfsRoot = sysfs != nullptr ? sysfs : "";
  const std::string devRoot = dev != nullptr ? dev : "";
  if (sysfsRoot.size() >= PATH_MAX || devRoot.size() >= PATH_MAX) {
    return -1;
  }
  try {
    standin::SetHidrawRoots(sysfsRoot, devRoot);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}
