#include "platform/posix/virtual_display.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/bus.h"
#include "platform/posix/text.h"

namespace {

constexpr std::size_t kKeptReports = 4096;
constexpr int kMaxButtons = 1024;
constexpr int kMaxValueCaps = 64;

struct VirtualDevice {
  standin::Identity identity;
  bool attached = true;
  int pathLength = 0;
  // Ring of the last kKeptReports reports.
  std::vector<std::vector<uint8_t>> reports;
  std::size_t oldest = 0;
  long long writeCount = 0;
  int openHandles = 0;
  DWORD writeError = ERROR_SUCCESS;
  long long failuresLeft = 0;  // < 0: every write fails
  int shortWrite = -1;
  bool refuseWrite = false;
  bool refuseRead = false;
};

struct Fault {
  DWORD error = ERROR_SUCCESS;
};

struct Registry {
  std::mutex lock;
  std::map<int, VirtualDevice> devices;  // ordered by id: attach order
  std::map<DWORD, Fault> enumerateFaults;
  std::map<std::pair<DWORD, int>, Fault> detailFaults;
  int next = 1;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: handles may outlive statics
  return *registry;
}

VirtualDevice* Find(Registry& r, int id) {
  auto it = r.devices.find(id);
  return it == r.devices.end() ? nullptr : &it->second;
}

std::string HexDigits(unsigned value, int width) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(static_cast<std::size_t>(width), '0');
  for (int i = width - 1; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kHex[value & 0xF];
    value >>= 4;
  }
  return out;
}

// A Windows-style interface path, padded in its instance part when a test asks
// for a long one.
std::u16string PathOf(int id, const VirtualDevice& d) {
  std::string instance = "kvdash&virtual&" + std::to_string(id);
  const std::string head = "\\\\?\\hid#vid_" + HexDigits(d.identity.vendor, 4) + "&pid_" +
                           HexDigits(d.identity.product, 4) + "#";
  const std::string tail = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  const std::size_t base = head.size() + instance.size() + tail.size();
  if (d.pathLength > 0 && static_cast<std::size_t>(d.pathLength) > base) {
    instance += std::string(static_cast<std::size_t>(d.pathLength) - base, '0');
  }
  return standin::ToUtf16(head + instance + tail);
}

void Append(std::vector<uint8_t>& out, std::initializer_list<uint8_t> bytes) {
  out.insert(out.end(), bytes);
}

// Two-byte item data, little-endian.
void AppendItem16(std::vector<uint8_t>& out, uint8_t prefix, unsigned value) {
  Append(out, {static_cast<uint8_t>(prefix | 0x2), static_cast<uint8_t>(value & 0xFF),
               static_cast<uint8_t>(value >> 8)});
}

// A real report descriptor for the display: optional input buttons and
// values, and the 53 data bytes of the output report.
std::vector<uint8_t> BuildDescriptor(int buttonsMin, int buttonsMax, int valueCaps) {
  std::vector<uint8_t> d;
  Append(d, {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01});  // vendor page, usage 1, application
  if (buttonsMin > 0 && buttonsMax >= buttonsMin) {
    const unsigned count = static_cast<unsigned>(buttonsMax - buttonsMin + 1);
    Append(d, {0x05, 0x09});                                   // usage page: button
    AppendItem16(d, 0x18, static_cast<unsigned>(buttonsMin));  // usage minimum
    AppendItem16(d, 0x28, static_cast<unsigned>(buttonsMax));  // usage maximum
    Append(d, {0x15, 0x00, 0x25, 0x01, 0x75, 0x01});           // logical 0..1, size 1
    AppendItem16(d, 0x94, count);                              // report count
    Append(d, {0x81, 0x02});                                   // input (data, variable)
    if (count % 8 != 0) {
      Append(d, {0x75, static_cast<uint8_t>(8 - count % 8), 0x95, 0x01, 0x81, 0x03});
    }
  }
  for (int i = 0; i < valueCaps; ++i) {
    Append(d, {0x06, 0x00, 0xFF, 0x09, static_cast<uint8_t>(0x10 + i), 0x15, 0x00, 0x26, 0xFF, 0x00,
               0x75, 0x08, 0x95, 0x01, 0x81, 0x02});
  }
  Append(d, {0x06, 0x00, 0xFF, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x35,
             0x91, 0x02});  // output: 53 bytes
  Append(d, {0xC0});
  return d;
}

template <typename F>
int WithDevice(int id, F f) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  VirtualDevice* d = Find(r, id);
  return d == nullptr ? -1 : f(*d);
}

}  // namespace

namespace standin {

void VirtualSnapshot(std::vector<BusEntry>& out) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& item : r.devices) {
    if (item.second.attached) {
      BusEntry entry;
      entry.path = PathOf(item.first, item.second);
      entry.source = Source::kVirtual;
      entry.virtualId = item.first;
      out.push_back(std::move(entry));
    }
  }
}

DWORD VirtualOpen(const std::u16string& path, DWORD access, int* id) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (auto& item : r.devices) {
    VirtualDevice& d = item.second;
    if (!d.attached || PathOf(item.first, d) != path) {
      continue;
    }
    if (((access & GENERIC_WRITE) != 0 && d.refuseWrite) ||
        ((access & GENERIC_READ) != 0 && d.refuseRead)) {
      return ERROR_ACCESS_DENIED;
    }
    ++d.openHandles;
    *id = item.first;
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

void VirtualClose(int id) {
  WithDevice(id, [](VirtualDevice& d) { return --d.openHandles; });
}

DWORD VirtualIdentity(int id, Identity* out) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  VirtualDevice* d = Find(r, id);
  if (d == nullptr || !d->attached) {
    return ERROR_DEVICE_NOT_CONNECTED;
  }
  *out = d->identity;
  return ERROR_SUCCESS;
}

DWORD VirtualWrite(int id, const void* buffer, DWORD length, DWORD* written) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  VirtualDevice* d = Find(r, id);
  if (d == nullptr || !d->attached) {
    return ERROR_DEVICE_NOT_CONNECTED;
  }
  if (d->failuresLeft != 0) {
    if (d->failuresLeft > 0) {
      --d->failuresLeft;
    }
    return d->writeError;
  }
  if (buffer == nullptr && length != 0) {
    return ERROR_INVALID_USER_BUFFER;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  if (d->reports.size() < kKeptReports) {
    d->reports.emplace_back(bytes, bytes + length);
  } else {
    d->reports[d->oldest].assign(bytes, bytes + length);
    d->oldest = (d->oldest + 1) % kKeptReports;
  }
  ++d->writeCount;
  *written =
      d->shortWrite >= 0 ? std::min<DWORD>(length, static_cast<DWORD>(d->shortWrite)) : length;
  return ERROR_SUCCESS;
}

bool VirtualEnumerateFault(DWORD index, DWORD* error) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.enumerateFaults.find(index);
  if (it == r.enumerateFaults.end()) {
    return false;
  }
  *error = it->second.error;
  return true;
}

bool VirtualDetailFault(DWORD index, int stage, DWORD* error) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.detailFaults.find({index, stage});
  if (it == r.detailFaults.end()) {
    return false;
  }
  *error = it->second.error;
  return true;
}

}  // namespace standin

int kvvd_attach(int vendor, int product, int version, const char* manufacturer,
                const char* product_name, const char* serial, int buttonsMin, int buttonsMax,
                int valueCaps) {
  if (vendor < 0 || vendor > 0xFFFF || product < 0 || product > 0xFFFF || version < 0 ||
      version > 0xFFFF || valueCaps < 0 || valueCaps > kMaxValueCaps || buttonsMin < 0 ||
      buttonsMax < buttonsMin || buttonsMax - buttonsMin >= kMaxButtons || buttonsMax > 0xFFFF ||
      (buttonsMin == 0 && buttonsMax != 0)) {
    return -1;
  }
  try {
    VirtualDevice d;
    d.identity.vendor = static_cast<uint16_t>(vendor);
    d.identity.product = static_cast<uint16_t>(product);
    d.identity.version = static_cast<uint16_t>(version);
    d.identity.manufacturer = standin::ToUtf16(manufacturer != nullptr ? manufacturer : "");
    d.identity.productName = standin::ToUtf16(product_name != nullptr ? product_name : "");
    d.identity.serial = standin::ToUtf16(serial != nullptr ? serial : "");
    d.identity.descriptor = BuildDescriptor(buttonsMin, buttonsMax, valueCaps);
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    const int id = r.next++;
    r.devices.emplace(id, std::move(d));
    return id;
  } catch (const std::exception&) {
    return -1;
  }
}

int kvvd_detach(int id) {
  return WithDevice(id, [](VirtualDevice& d) {
    d.attached = false;
    return 0;
  });
}

void kvvd_reset(void) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.devices.clear();
  r.enumerateFaults.clear();
  r.detailFaults.clear();
}

int kvvd_is_attached(int id) {
  return WithDevice(id, [](VirtualDevice& d) { return d.attached ? 1 : 0; });
}

int kvvd_path_attached(const char* path) {
  if (path == nullptr) {
    return 0;
  }
  try {
    const std::u16string wide = standin::ToUtf16(path);
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (const auto& item : r.devices) {
      if (item.second.attached && PathOf(item.first, item.second) == wide) {
        return 1;
      }
    }
    return 0;
  } catch (const std::exception&) {
    return 0;
  }
}

int kvvd_path(int id, char* buffer, int size) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  VirtualDevice* d = Find(r, id);
  if (d == nullptr) {
    return -1;
  }
  const std::u16string wide = PathOf(id, *d);
  const std::string path = standin::ToUtf8(wide.c_str());
  if (buffer != nullptr && size > 0) {
    const std::size_t n = std::min(path.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, path.data(), n);
    buffer[n] = 0;
  }
  return static_cast<int>(path.size());
}

int kvvd_report_count(int id) {
  return WithDevice(id, [](VirtualDevice& d) { return static_cast<int>(d.reports.size()); });
}

int kvvd_report(int id, int index, unsigned char* buffer, int size) {
  return WithDevice(id, [&](VirtualDevice& d) {
    if (index < 0 || static_cast<std::size_t>(index) >= d.reports.size()) {
      return -1;
    }
    const std::vector<uint8_t>& report =
        d.reports[(d.oldest + static_cast<std::size_t>(index)) % d.reports.size()];
    if (buffer != nullptr && size > 0) {
      std::memcpy(buffer, report.data(), std::min(report.size(), static_cast<std::size_t>(size)));
    }
    return static_cast<int>(report.size());
  });
}

long long kvvd_write_count(int id) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  VirtualDevice* d = Find(r, id);
  return d == nullptr ? -1 : d->writeCount;
}

int kvvd_open_handles(int id) {
  return WithDevice(id, [](VirtualDevice& d) { return d.openHandles; });
}

int kvvd_fail_writes(int id, unsigned error, long long count) {
  return WithDevice(id, [&](VirtualDevice& d) {
    d.writeError = error;
    d.failuresLeft = count < 0 ? -1 : count;
    return 0;
  });
}

int kvvd_short_writes(int id, int bytes) {
  return WithDevice(id, [&](VirtualDevice& d) {
    d.shortWrite = bytes;
    return 0;
  });
}

int kvvd_refuse_open(int id, int write, int read) {
  return WithDevice(id, [&](VirtualDevice& d) {
    d.refuseWrite = write != 0;
    d.refuseRead = read != 0;
    return 0;
  });
}

int kvvd_fail_serial(int id) {
  return WithDevice(id, [](VirtualDevice& d) {
    d.identity.serialFails = true;
    return 0;
  });
}

int kvvd_fail_attributes(int id) {
  return WithDevice(id, [](VirtualDevice& d) {
    d.identity.attributesFail = true;
    return 0;
  });
}

int kvvd_set_path_length(int id, int characters) {
  return WithDevice(id, [&](VirtualDevice& d) {
    d.pathLength = std::max(0, std::min(characters, 32767));
    return 0;
  });
}

int kvvd_set_descriptor(int id, const unsigned char* data, int size) {
  if (size < 0 || (data == nullptr && size > 0)) {
    return -1;
  }
  return WithDevice(id, [&](VirtualDevice& d) {
    d.identity.descriptor.assign(data, data + size);
    return 0;
  });
}

int kvvd_set_strings(int id, const char* manufacturer, const char* product_name,
                     const char* serial) {
  return WithDevice(id, [&](VirtualDevice& d) {
    if (manufacturer != nullptr) {
      d.identity.manufacturer = standin::ToUtf16(manufacturer);
    }
    if (product_name != nullptr) {
      d.identity.productName = standin::ToUtf16(product_name);
    }
    if (serial != nullptr) {
      d.identity.serial = standin::ToUtf16(serial);
    }
    return 0;
  });
}

int kvvd_fault_enumerate(int index, unsigned error) {
  if (index < 0) {
    return -1;
  }
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.enumerateFaults[static_cast<DWORD>(index)].error = error;
  return 0;
}

int kvvd_fault_detail(int index, int stage, unsigned error) {
  if (index < 0 || stage < 0 || stage > 1) {
    return -1;
  }
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.detailFaults[{static_cast<DWORD>(index), stage}].error = error;
  return 0;
}
