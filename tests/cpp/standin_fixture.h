// Shared set-up of the tests that run against virtual displays: a bus that
// starts empty and fault-free for each test, and small readers of what a
// virtual display holds.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/hid_device.h"
#include "platform/posix/bus.h"
#include "platform/posix/text.h"
#include "platform/posix/virtual_display.h"

namespace testbus {

struct DisplaySpec {
  int vendor = 0x1DD2;
  int product = 0x0103;
  int version = 0x0105;
  const char* manufacturer = "Maker";
  const char* productName = "SLI-PRO";
  const char* serial = "0001";
  int buttonsMin = 0;
  int buttonsMax = 0;
  int valueCaps = 0;
};

inline int Attach(const DisplaySpec& s = DisplaySpec()) {
  const int id = kvvd_attach(s.vendor, s.product, s.version, s.manufacturer, s.productName,
                             s.serial, s.buttonsMin, s.buttonsMax, s.valueCaps);
  EXPECT_GT(id, 0);
  return id;
}

inline std::u16string PathOf(int id) {
  const int length = kvvd_path(id, nullptr, 0);
  std::string path(static_cast<std::size_t>(length) + 1, '\0');
  kvvd_path(id, &path[0], length + 1);
  path.resize(static_cast<std::size_t>(length));
  return standin::ToUtf16(path);
}

inline std::vector<uint8_t> ReportOf(int id, int index) {
  std::vector<uint8_t> out(64);
  const int length = kvvd_report(id, index, out.data(), static_cast<int>(out.size()));
  out.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
  return out;
}

inline std::vector<uint8_t> LastReport(int id) {
  const int count = kvvd_report_count(id);
  return count > 0 ? ReportOf(id, count - 1) : std::vector<uint8_t>{};
}

inline std::u16string Text(const WCHAR* units) {
  return std::u16string(units);
}

inline bool AllZero(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

// The blank image as a display receives it.
inline std::vector<uint8_t> BlankImage() {
  std::vector<uint8_t> b(54, 0);
  b[1] = 0x01;
  b[2] = 0x20;
  for (std::size_t i = 27; i <= 38; ++i) {
    b[i] = 0x20;
  }
  return b;
}

class Bus : public testing::Test {
 protected:
  void SetUp() override {
    kvvd_reset();
    handlesBefore_ = standin::OpenHandleCount();
  }
  void TearDown() override { kvvd_reset(); }

  // Handles now open in the process beyond those open when the test began.
  int NewHandles() const { return standin::OpenHandleCount() - handlesBefore_; }

  int handlesBefore_ = 0;
};

}  // namespace testbus
