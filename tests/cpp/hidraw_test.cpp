// The hidraw source on sysfs and /dev trees made by the tests, laid out as
// the kernel lays them out: class links into the device tree, the hidraw
// directory below the HID device, the USB device two levels above that.
#include "platform/posix/hidraw.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "device/hid_device.h"
#include "platform/posix/bus.h"
#include "platform/posix/text.h"
#include "platform/posix/virtual_display.h"
#include "platform/win32.h"

namespace {

constexpr uid_t kNobody = 65534;

// The display's descriptor: buttons 1 to 8, two input values, 53 output bytes.
const std::vector<uint8_t> kDisplayDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,                          // vendor page, application
    0x05, 0x09, 0x1A, 0x01, 0x00, 0x2A, 0x08, 0x00,                    // buttons 1..8
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x96, 0x08, 0x00, 0x81, 0x02,  // input, 8 x 1 bit
    0x06, 0x00, 0xFF, 0x09, 0x10, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
    0x08, 0x95, 0x01, 0x81, 0x02,  // value 1
    0x06, 0x00, 0xFF, 0x09, 0x11, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
    0x08, 0x95, 0x01, 0x81, 0x02,  // value 2
    0x06, 0x00, 0xFF, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
    0x08, 0x95, 0x35, 0x91, 0x02,  // output, 53 bytes
    0xC0};

void MakeDirs(const std::string& path) {
  std::string partial;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) {
      slash = path.size();
    }
    partial = path.substr(0, slash);
    if (!partial.empty()) {
      ::mkdir(partial.c_str(), 0755);
    }
    start = slash + 1;
  }
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a made-up device says about itself.
struct Device {
  std::string hidId = "0003:00001DD2:00000103";
  std::string hidName = "Leo Bodnar SLI-PRO";
  std::string hidUniq = "HIDUNIQ-1";
  bool usb = true;         // false: on a Bluetooth host, no USB device above
  bool usbStrings = true;  // the USB device has manufacturer, product, serial
  std::string manufacturer = "Leo Bodnar";
  std::string product = "SLI-PRO";
  std::string serial = "SN0042";
  std::string bcdDevice = "0105";
  std::vector<uint8_t> descriptor = kDisplayDescriptor;
  bool node = true;  // a regular file stands for /dev/hidrawN
};

class HidrawTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kvdash-hidraw-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    // Reachable by the unprivileged child of the permission test.
    ::chmod(root_.c_str(), 0755);
    sysfs_ = root_ + "/sys/class/hidraw";
    dev_ = root_ + "/dev";
    MakeDirs(sysfs_);
    MakeDirs(dev_);
    kvvd_reset();
    standin::SetHidrawRoots(sysfs_, dev_);
    handles_ = standin::OpenHandleCount();
  }

  void TearDown() override {
    EXPECT_EQ(standin::OpenHandleCount(), handles_) << "a handle was left open";
    standin::SetHidrawRoots("", "");
    kvvd_reset();
    const std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  // hidrawN for the device, as udev and the kernel would leave it.
  void Add(int n, const Device& d) {
    const std::string usbDevice =
        root_ + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(n + 1);
    const std::string interface = usbDevice + "/1-" + std::to_string(n + 1) + ":1.0";
    std::string parent;
    if (d.usb) {
      MakeDirs(interface);
      WriteText(usbDevice + "/uevent",
                "MAJOR=189\nMINOR=1\nDEVNAME=bus/usb/001/002\n"
                "DEVTYPE=usb_device\nDRIVER=usb\n");
      WriteText(interface + "/uevent", "DEVTYPE=usb_interface\nDRIVER=usbhid\n");
      WriteText(usbDevice + "/idVendor", "1dd2\n");
      WriteText(usbDevice + "/bcdDevice", d.bcdDevice + "\n");
      if (d.usbStrings) {
        WriteText(usbDevice + "/manufacturer", d.manufacturer + "\n");
        WriteText(usbDevice + "/product", d.product + "\n");
        WriteText(usbDevice + "/serial", d.serial + "\n");
      }
      parent = interface;
    } else {
      // A Bluetooth controller on USB: the USB device is four levels up,
      // not two, and must not be taken for the HID device's own.
      parent = interface + "/bluetooth/hci0/hci0:" + std::to_string(256 + n);
      MakeDirs(parent);
      WriteText(usbDevice + "/uevent", "DEVTYPE=usb_device\nDRIVER=usb\n");
      WriteText(usbDevice + "/manufacturer", "Bluetooth Controller Maker\n");
      WriteText(usbDevice + "/serial", "CONTROLLER-SERIAL\n");
      WriteText(usbDevice + "/bcdDevice", "0999\n");
      WriteText(interface + "/bluetooth/hci0/uevent", "DEVTYPE=host\n");
      WriteText(parent + "/uevent", "DEVTYPE=link\n");
    }
    const std::string hidDir = "0003:1DD2:0103." + std::to_string(1000 + n);
    const std::string hid = parent + "/" + hidDir;
    const std::string name = "hidraw" + std::to_string(n);
    MakeDirs(hid + "/hidraw/" + name);
    WriteText(hid + "/uevent", "DRIVER=hid-generic\nHID_ID=" + d.hidId + "\nHID_NAME=" + d.hidName +
                                   "\nHID_PHYS=usb-0000:00:14.0-1/input0\nHID_UNIQ=" + d.hidUniq +
                                   "\nMODALIAS=hid:b0003g0001v00001DD2p00000103\n");
    WriteText(hid + "/report_descriptor", std::string(d.descriptor.begin(), d.descriptor.end()));
    ASSERT_EQ(
        ::symlink(("../../../" + hidDir).c_str(), (hid + "/hidraw/" + name + "/device").c_str()),
        0);
    const std::string target = hid.substr(root_.size() + std::string("/sys").size());
    ASSERT_EQ(::symlink(("../../" + target.substr(1) + "/hidraw/" + name).c_str(),
                        (sysfs_ + "/" + name).c_str()),
              0);
    if (d.node) {
      WriteText(Node(n), "");
    }
  }

  std::string Node(int n) const { return dev_ + "/hidraw" + std::to_string(n); }

  std::u16string Path(int n) const { return standin::ToUtf16(Node(n)); }

  standin::Identity IdentityOf(int n) {
    standin::Identity identity;
    EXPECT_EQ(standin::HidrawIdentity("hidraw" + std::to_string(n), &identity), ERROR_SUCCESS);
    return identity;
  }

  std::string root_;
  std::string sysfs_;
  std::string dev_;
  int handles_ = 0;
};

std::vector<std::string> Names(const std::vector<standin::BusEntry>& entries) {
  std::vector<std::string> names;
  for (const standin::BusEntry& e : entries) {
    names.push_back(e.source == standin::Source::kHidraw ? e.hidrawName : "virtual");
  }
  return names;
}

TEST_F(HidrawTest, ListsNodesInNumericOrderAfterVirtualDisplays) {
  Add(10, Device{});
  Add(2, Device{});
  Add(0, Device{});
  for (const char* junk : {"hidraw", "hidrawx", "hidraw1a", "mouse0", "hidraw-1"}) {
    MakeDirs(sysfs_ + "/" + junk);
  }
  std::vector<standin::BusEntry> nodes;
  standin::HidrawSnapshot(nodes);
  EXPECT_EQ(Names(nodes), (std::vector<std::string>{"hidraw0", "hidraw2", "hidraw10"}));
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[2].path, Path(10));

  ASSERT_GT(kvvd_attach(0x1DD2, 0x0103, 0x0105, "m", "p", "s", 0, 0, 0), 0);
  EXPECT_EQ(Names(standin::SnapshotBus()),
            (std::vector<std::string>{"virtual", "hidraw0", "hidraw2", "hidraw10"}));
}

TEST_F(HidrawTest, NoClassDirectoryListsNothing) {
  standin::SetHidrawRoots(root_ + "/nowhere", dev_);
  std::vector<standin::BusEntry> nodes;
  standin::HidrawSnapshot(nodes);
  EXPECT_TRUE(nodes.empty());
}

TEST_F(HidrawTest, RootsTakeTrailingSlashes) {
  Add(3, Device{});
  standin::SetHidrawRoots(sysfs_ + "//", dev_ + "/");
  std::vector<standin::BusEntry> nodes;
  standin::HidrawSnapshot(nodes);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].path, Path(3));
}

TEST_F(HidrawTest, UsbDisplayIdentityComesFromTheUsbDevice) {
  Add(0, Device{});
  const standin::Identity id = IdentityOf(0);
  EXPECT_FALSE(id.attributesFail);
  EXPECT_EQ(id.vendor, 0x1DD2);
  EXPECT_EQ(id.product, 0x0103);
  EXPECT_EQ(id.version, 0x0105);
  EXPECT_EQ(id.manufacturer, u"Leo Bodnar");
  EXPECT_EQ(id.productName, u"SLI-PRO");
  EXPECT_EQ(id.serial, u"SN0042");
  EXPECT_EQ(id.descriptor, kDisplayDescriptor);
}

TEST_F(HidrawTest, UsbStringsAreUtf8AndVersionIsHex) {
  Device d;
  d.manufacturer = "Bodnar \xC3\xA9lectronique";
  d.bcdDevice = "1a0f";
  Add(0, d);
  const standin::Identity id = IdentityOf(0);
  EXPECT_EQ(id.manufacturer, u"Bodnar \u00E9lectronique");
  EXPECT_EQ(id.version, 0x1A0F);
}

TEST_F(HidrawTest, UsbDeviceWithoutStringsAnswersEmptyOnes) {
  // As Windows does for a device without string descriptors: HID_NAME is
  // not a product string on USB.
  Device d;
  d.usbStrings = false;
  Add(0, d);
  const standin::Identity id = IdentityOf(0);
  EXPECT_EQ(id.manufacturer, u"");
  EXPECT_EQ(id.productName, u"");
  EXPECT_EQ(id.serial, u"");
  EXPECT_EQ(id.version, 0x0105);
}

TEST_F(HidrawTest, BluetoothDeviceUsesWhatTheHidLayerKnows) {
  Device d;
  d.usb = false;
  d.hidId = "0005:00001DD2:00000103";
  d.hidName = "SLI-PRO BT";
  d.hidUniq = "aa:bb:cc:dd:ee:ff";
  Add(0, d);
  const standin::Identity id = IdentityOf(0);
  EXPECT_FALSE(id.attributesFail);
  EXPECT_EQ(id.vendor, 0x1DD2);
  EXPECT_EQ(id.product, 0x0103);
  EXPECT_EQ(id.version, 0);
  EXPECT_EQ(id.manufacturer, u"");
  EXPECT_EQ(id.productName, u"SLI-PRO BT");
  EXPECT_EQ(id.serial, u"aa:bb:cc:dd:ee:ff");
  EXPECT_EQ(id.descriptor, kDisplayDescriptor);
}

TEST_F(HidrawTest, BadHidIdFailsTheAttributesOnly) {
  const char* bad[] = {"",
                       "0003",
                       "0003:1DD2",
                       "0003:00011DD2:00000103",
                       "0003:1DD2:10103",
                       "0003:xyz:0103",
                       "0003::0103",
                       "0003:1DD2:0103:7",
                       "000000003:1DD2:0103"};
  int n = 0;
  for (const char* text : bad) {
    Device d;
    d.hidId = text;
    Add(n, d);
    const standin::Identity id = IdentityOf(n);
    EXPECT_TRUE(id.attributesFail) << text;
    EXPECT_EQ(id.serial, u"SN0042") << text;
    ++n;
  }
  Device good;
  good.hidId = "3:1dd2:103";
  Add(n, good);
  EXPECT_FALSE(IdentityOf(n).attributesFail);
  EXPECT_EQ(IdentityOf(n).product, 0x0103);
}

TEST_F(HidrawTest, NoHidIdFailsTheAttributes) {
  Add(0, Device{});
  WriteText(sysfs_ + "/hidraw0/device/uevent", "DRIVER=hid-generic\nHID_NAME=x\n");
  EXPECT_TRUE(IdentityOf(0).attributesFail);
}

TEST_F(HidrawTest, UnpluggedDeviceHasNoIdentity) {
  Add(0, Device{});
  ASSERT_EQ(::unlink((sysfs_ + "/hidraw0").c_str()), 0);
  standin::Identity id;
  EXPECT_EQ(standin::HidrawIdentity("hidraw0", &id), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(HidrawTest, DescriptorIsCappedAtTheKernelLimit) {
  Device d;
  d.descriptor.assign(5000, 0);
  for (std::size_t i = 0; i < d.descriptor.size(); ++i) {
    d.descriptor[i] = static_cast<uint8_t>(i * 7);
  }
  Add(0, d);
  const standin::Identity id = IdentityOf(0);
  ASSERT_EQ(id.descriptor.size(), 4096u);
  EXPECT_TRUE(std::equal(id.descriptor.begin(), id.descriptor.end(), d.descriptor.begin()));
}

TEST_F(HidrawTest, NoDescriptorFileGivesAnEmptyOne) {
  Add(0, Device{});
  ASSERT_EQ(::unlink((sysfs_ + "/hidraw0/device/report_descriptor").c_str()), 0);
  EXPECT_TRUE(IdentityOf(0).descriptor.empty());
}

int StatusFlags(int fd) {
  return ::fcntl(fd, F_GETFL);
}

TEST_F(HidrawTest, OpensFollowTheAccessRights) {
  Add(0, Device{});
  int fd = 123;
  ASSERT_EQ(standin::HidrawOpen("hidraw0", 0, &fd), ERROR_SUCCESS);
  EXPECT_EQ(fd, -1);

  struct Case {
    DWORD access;
    int mode;
    bool nonblocking;
  };
  for (const Case& c : {Case{GENERIC_WRITE, O_WRONLY, false}, Case{GENERIC_READ, O_RDONLY, true},
                        Case{GENERIC_READ | GENERIC_WRITE, O_RDWR, false}}) {
    ASSERT_EQ(standin::HidrawOpen("hidraw0", c.access, &fd), ERROR_SUCCESS);
    ASSERT_GE(fd, 0);
    const int flags = StatusFlags(fd);
    EXPECT_EQ(flags & O_ACCMODE, c.mode) << c.access;
    EXPECT_EQ((flags & O_NONBLOCK) != 0, c.nonblocking) << c.access;
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << c.access;
    ::close(fd);
  }
}

TEST_F(HidrawTest, AttributeOpenNeedsTheNode) {
  Device d;
  d.node = false;
  Add(0, d);
  int fd = 123;
  EXPECT_EQ(standin::HidrawOpen("hidraw0", 0, &fd), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(standin::HidrawOpen("hidraw0", GENERIC_WRITE, &fd), ERROR_FILE_NOT_FOUND);
}

TEST_F(HidrawTest, FifoWithoutReaderIsNotFoundRatherThanAHang) {
  Device d;
  d.node = false;
  Add(0, d);
  ASSERT_EQ(::mkfifo(Node(0).c_str(), 0600), 0);
  int fd = 123;
  EXPECT_EQ(standin::HidrawOpen("hidraw0", GENERIC_WRITE, &fd), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(fd, -1);
}

TEST_F(HidrawTest, NodeGoneBetweenListingAndOpening) {
  Add(0, Device{});
  Add(1, Device{});
  const int handles = standin::OpenHandleCount();
  GUID guid;
  HidD_GetHidGuid(&guid);
  HDEVINFO list =
      SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &guid, 1, &data));

  // hidraw1 unplugged after the list was taken: udev removed its node, the
  // kernel its class entry.
  ASSERT_EQ(::unlink(Node(1).c_str()), 0);
  HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(Path(1).c_str()), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(::unlink((sysfs_ + "/hidraw1").c_str()), 0);
  WriteText(Node(1), "");  // a stale node alone is no device
  h = CreateFileW(reinterpret_cast<LPCWSTR>(Path(1).c_str()), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SetupDiDestroyDeviceInfoList(list);
  EXPECT_EQ(standin::OpenHandleCount(), handles);
}

// In a child that runs as nobody when we are root (root opens any file):
// 0 when the attributes open succeeds and the write open is refused with
// ERROR_ACCESS_DENIED.
int CheckRefusedAsUnprivileged(const std::u16string& path) {
  if (::getuid() == 0 &&
      (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
       ::setresuid(kNobody, kNobody, kNobody) != 0)) {
    return 10;
  }
  const auto* wide = reinterpret_cast<LPCWSTR>(path.c_str());
  HANDLE h =
      CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return 11;
  }
  CloseHandle(h);
  h = CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    return 12;
  }
  return GetLastError() == ERROR_ACCESS_DENIED ? 0 : 13;
}

TEST_F(HidrawTest, NodeWithoutPermissionIsAccessDenied) {
  Add(0, Device{});
  ASSERT_EQ(::chmod(Node(0).c_str(), 0600), 0);  // no uaccess ACL, as without the udev rule
  if (::getuid() != 0) {
    ASSERT_EQ(::chmod(Node(0).c_str(), 0000), 0);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::_exit(CheckRefusedAsUnprivileged(Path(0)));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(HidrawTest, WritesReachTheNodeByteForByte) {
  Add(0, Device{});
  HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(Path(0).c_str()), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::string report(54, '\0');
  for (std::size_t i = 0; i < report.size(); ++i) {
    report[i] = static_cast<char>(i * 5 + 3);
  }
  report[0] = 0;  // the report number goes too
  report[1] = 1;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, report.data(), 54, &written, nullptr));
  EXPECT_EQ(written, 54u);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  ASSERT_TRUE(WriteFile(h, report.data(), 54, &written, nullptr));
  EXPECT_EQ(ReadAll(Node(0)), report + report);
  CloseHandle(h);
}

TEST_F(HidrawTest, ReadHandleCannotWrite) {
  Add(0, Device{});
  HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(Path(0).c_str()), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 7;
  EXPECT_FALSE(WriteFile(h, "ab", 2, &written, nullptr));
  EXPECT_EQ(ReadAll(Node(0)), "");
  CloseHandle(h);
}

TEST_F(HidrawTest, HungUpNodeIsNotConnected) {
  // A pty whose master closed answers EIO to every write, as a device
  // whose driver went away does.
  Device d;
  d.node = false;
  Add(0, d);
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  ASSERT_EQ(::symlink(::ptsname(master), Node(0).c_str()), 0);
  HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(Path(0).c_str()), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ::close(master);
  DWORD written = 9;
  EXPECT_FALSE(WriteFile(h, "\0\1abc", 5, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(written, 0u);
  CloseHandle(h);
}

TEST_F(HidrawTest, ErrnoOfAGoneDeviceIsNotConnected) {
  for (int e : {ENODEV, ENXIO, EIO, ESHUTDOWN, EPIPE}) {
    EXPECT_EQ(standin::HidrawWriteError(e), ERROR_DEVICE_NOT_CONNECTED) << e;
  }
  // Not a write in progress: the write handle blocks.
  EXPECT_NE(standin::HidrawWriteError(EAGAIN), ERROR_IO_PENDING);
  EXPECT_NE(standin::HidrawWriteError(EAGAIN), ERROR_SUCCESS);
  EXPECT_EQ(standin::HidrawWriteError(EINVAL), ERROR_INVALID_PARAMETER);
  for (int e : {EACCES, EPERM}) {
    EXPECT_EQ(standin::HidrawOpenError(e), ERROR_ACCESS_DENIED) << e;
  }
  for (int e : {ENOENT, ENODEV, ENXIO}) {
    EXPECT_EQ(standin::HidrawOpenError(e), ERROR_FILE_NOT_FOUND) << e;
  }
}

TEST_F(HidrawTest, CApiSetsAndResetsTheRoots) {
  Add(4, Device{});
  ASSERT_EQ(kvvd_hidraw_roots(nullptr, nullptr), 0);
  std::vector<standin::BusEntry> nodes;
  standin::HidrawSnapshot(nodes);
  for (const standin::BusEntry& e : nodes) {
    EXPECT_EQ(standin::ToUtf8(e.path.c_str()).rfind("/dev/hidraw", 0), 0u);
  }
  ASSERT_EQ(kvvd_hidraw_roots(sysfs_.c_str(), dev_.c_str()), 0);
  nodes.clear();
  standin::HidrawSnapshot(nodes);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].path, Path(4));
  EXPECT_EQ(kvvd_hidraw_roots(std::string(5000, 'a').c_str(), nullptr), -1);
}

TEST_F(HidrawTest, ScanPassesOverOthersAndFindsTheDisplay) {
  Device other;
  other.hidId = "0003:00001DD2:00000200";
  Add(0, other);
  Device bluetooth;
  bluetooth.usb = false;
  bluetooth.hidId = "0005:0000046D:0000B01D";
  Add(1, bluetooth);
  Device gone;
  gone.node = false;
  Add(2, gone);
  Add(3, Device{});
  const int handles = standin::OpenHandleCount();
  HidDevice device;
  ASSERT_EQ(device.Scan(), kDeviceReady);
  EXPECT_TRUE(device.deviceOpen);
  EXPECT_EQ(device.devicePath, Path(3));
  EXPECT_EQ(std::u16string(device.serialNumber), u"SN0042");
  EXPECT_EQ(std::u16string(device.firmware), u"1.05");
  EXPECT_EQ(std::u16string(device.manufacturer), u"Leo Bodnar");
  EXPECT_EQ(device.buttonCount, 8);
  EXPECT_EQ(device.caps.NumberInputValueCaps, 2);
  // Attributes, write and read handles and the completion event: nothing
  // of the interfaces passed over.
  EXPECT_EQ(standin::OpenHandleCount() - handles, 4);
  device.Release();
  EXPECT_EQ(standin::OpenHandleCount(), handles);
}

// Write calls this process has made so far, failed ones included.
long long WriteCalls() {
  std::ifstream in("/proc/self/io");
  std::string key;
  long long value = -1;
  while (in >> key >> value) {
    if (key == "syscw:") {
      return value;
    }
  }
  return -1;
}

TEST_F(HidrawTest, FailedWriteLosesTheDisplayAndLaterWritesAreNotMade) {
  Device d;
  d.node = false;
  Add(0, d);
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string slave = ::ptsname(master);
  {
    // Raw, so that the report passes the line discipline unchanged.
    const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios raw{};
    ASSERT_EQ(::tcgetattr(fd, &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &raw), 0);
    ::close(fd);
  }
  ASSERT_EQ(::symlink(slave.c_str(), Node(0).c_str()), 0);
  HidDevice device;
  ASSERT_EQ(device.Scan(), kDeviceReady);
  std::string report(54, '\0');
  for (std::size_t i = 0; i < report.size(); ++i) {
    report[i] = static_cast<char>(i);  // 0x0A and 0x0D among them
  }
  const long long before = WriteCalls();
  ASSERT_GE(before, 0);
  ASSERT_NE(device.Write(report.data(), 54), 0);
  EXPECT_EQ(WriteCalls() - before, 1);
  char got[128];
  ASSERT_EQ(::read(master, got, sizeof got), 54);
  EXPECT_EQ(std::string(got, 54), report);

  ::close(master);  // the device goes away under the open handles
  EXPECT_EQ(device.Write(report.data(), 54), 0);
  EXPECT_FALSE(device.deviceOpen);
  EXPECT_TRUE(device.IsWritable());
  const long long lost = WriteCalls();
  EXPECT_EQ(device.Write(report.data(), 54), 0);
  EXPECT_EQ(WriteCalls(), lost);  // skipped without a system call
  device.Release();
}

}  // namespace
