// Discovery against the HID interfaces the system really lists. Under Wine
// these are Wine's own (vendor 0x845E); no display is attached.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "device/hid_device.h"
#include "engine/display_state.h"
#include "platform/win32.h"
#include "tests/cpp/windows/process.h"

namespace {

struct ListedInterface {
  std::wstring path;
  USHORT vendor = 0;
  USHORT product = 0;
};

// Lists the present HID interfaces with their identities, independently of
// the code under test.
std::vector<ListedInterface> ListHidInterfaces() {
  std::vector<ListedInterface> found;
  GUID hid{};
  HidD_GetHidGuid(&hid);
  HDEVINFO list =
      SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) {
    return found;
  }
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(list, nullptr, &hid, index, &data); ++index) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(list, &data, nullptr, 0, &size, nullptr);
    std::vector<BYTE> block(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(list, &data, detail, size, nullptr, nullptr)) {
      continue;
    }
    ListedInterface entry;
    entry.path = detail->DevicePath;
    HANDLE handle = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      HIDD_ATTRIBUTES attributes{};
      attributes.Size = sizeof attributes;
      if (HidD_GetAttributes(handle, &attributes)) {
        entry.vendor = attributes.VendorID;
        entry.product = attributes.ProductID;
      }
      CloseHandle(handle);
    }
    found.push_back(entry);
  }
  SetupDiDestroyDeviceInfoList(list);
  return found;
}

// The first SetupAPI and HID calls of a process open registry keys and load
// libraries that stay for the process: take them before counting handles.
void WarmUp() {
  HidDevice device;
  device.Scan();
}

class Scan : public ::testing::Test {
 protected:
  void SetUp() override {
    WarmUp();
    listed = ListHidInterfaces();
  }
  std::vector<ListedInterface> listed;
};

}  // namespace

// The instrument of the handle checks below must see a handle come and go.
TEST(HandleCount, SeesOneHandleOpenedAndClosed) {
  const long before = HandleCount();
  ASSERT_GT(before, 0);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(HandleCount(), before + 1);
  CloseHandle(event);
  EXPECT_EQ(HandleCount(), before);
}

TEST_F(Scan, SystemListsHidInterfacesButNoDisplay) {
  ASSERT_GE(listed.size(), 2u) << "Wine lists two HID interfaces of its own";
  std::printf("HID interfaces listed:");
  for (const ListedInterface& entry : listed) {
    std::printf(" %04x:%04x", entry.vendor, entry.product);
  }
  std::printf("\n");
  for (const ListedInterface& entry : listed) {
    EXPECT_FALSE(entry.vendor == kSliProVendor && entry.product == kSliProProduct);
  }
}

TEST_F(Scan, FindsNoDisplayAndLeavesNoHandleOpen) {
  const long before = HandleCount();
  ASSERT_GT(before, 0);
  DisplayState state;
  EXPECT_EQ(state.InitDevice(), kDeviceNone);
  EXPECT_EQ(state.device.status, kDeviceNone);
  EXPECT_FALSE(state.device.deviceOpen);
  EXPECT_FALSE(IsHeld(state.device.attributesHandle));
  EXPECT_FALSE(IsHeld(state.device.writeHandle));
  EXPECT_FALSE(IsHeld(state.device.readHandle));
  EXPECT_FALSE(state.device.detail);
  EXPECT_EQ(HandleCount(), before);
}

TEST_F(Scan, RepeatedScansLeaveNoHandleOpen) {
  const long before = HandleCount();
  ASSERT_GT(before, 0);
  HidDevice device;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(device.Scan(), kDeviceNone);
  }
  EXPECT_EQ(HandleCount(), before);
}

// With the filter set to a listed interface's identity, the scan must reach
// that interface and open it: proof that it visits each one it passes over.
TEST_F(Scan, ReachesAndOpensEachListedInterface) {
  ASSERT_FALSE(listed.empty());
  for (const ListedInterface& entry : listed) {
    SCOPED_TRACE(std::string(entry.path.begin(), entry.path.end()));
    ASSERT_NE(entry.vendor, 0) << "attributes of a listed interface";
    const long before = HandleCount();
    ASSERT_GT(before, 0);
    {
      HidDevice device;
      device.SetFilter(entry.vendor, entry.product);
      const int32_t status = device.Scan();
      EXPECT_EQ(status, kDeviceReady);
      EXPECT_TRUE(device.deviceOpen);
      EXPECT_TRUE(IsHeld(device.writeHandle));
      EXPECT_TRUE(IsHeld(device.readHandle));
      // The first listed interface of that identity.
      for (const ListedInterface& other : listed) {
        if (other.vendor == entry.vendor && other.product == entry.product) {
          EXPECT_EQ(device.devicePath, other.path);
          break;
        }
      }
      device.Release();
      EXPECT_FALSE(IsHeld(device.writeHandle));
      EXPECT_FALSE(IsHeld(device.readHandle));
      EXPECT_FALSE(IsHeld(device.completionEvent));
    }
    EXPECT_EQ(HandleCount(), before);
  }
}
