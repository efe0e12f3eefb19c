"""Real displays through hidraw, on sysfs and /dev trees made here: what init()
finds, what get_device_info answers, and the bytes show_me puts on the node."""

from __future__ import annotations

import sys

import pytest

if sys.platform == "win32":
    pytest.skip("hidraw is Linux's interface to HID devices", allow_module_level=True)

import ctypes
import os
import pty
import shutil
import tempfile
import tty
from pathlib import Path
from typing import Iterator, List, Optional

import kvdash
import kvdash_virtual as vd

_lib = ctypes.CDLL(kvdash.__file__)
_lib.kvvd_hidraw_roots.restype = ctypes.c_int
_lib.kvvd_hidraw_roots.argtypes = [ctypes.c_char_p, ctypes.c_char_p]

NOBODY = 65534
REPORT_SIZE = 54


def set_roots(sysfs: Optional[str], dev: Optional[str]) -> None:
    encoded = [None if p is None else p.encode() for p in (sysfs, dev)]
    assert _lib.kvvd_hidraw_roots(*encoded) == 0


def descriptor(buttons: int = 8, values: int = 2) -> bytes:
    """A report descriptor as the display has: input buttons 1..buttons, input
    values, and the 53 data bytes of the output report."""
    d = bytearray([0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01])
    if buttons:
        d += bytes([0x05, 0x09, 0x19, 0x01, 0x29, buttons, 0x15, 0x00, 0x25, 0x01])
        d += bytes([0x75, 0x01, 0x95, buttons, 0x81, 0x02])
        if buttons % 8:
            d += bytes([0x75, 8 - buttons % 8, 0x95, 0x01, 0x81, 0x03])
    for i in range(values):
        d += bytes([0x06, 0x00, 0xFF, 0x09, 0x10 + i, 0x15, 0x00, 0x26, 0xFF, 0x00])
        d += bytes([0x75, 0x08, 0x95, 0x01, 0x81, 0x02])
    d += bytes([0x06, 0x00, 0xFF, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00])
    d += bytes([0x75, 0x08, 0x95, 0x35, 0x91, 0x02, 0xC0])
    return bytes(d)


class Tree:
    """A sysfs class directory and a /dev, laid out as the kernel and udev do:
    /sys/class/hidraw/hidrawN -> ../../devices/.../<hid>/hidraw/hidrawN, whose
    device link leads to the HID device, whose grandparent is the USB device."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.sysfs = root / "sys" / "class" / "hidraw"
        self.dev = root / "dev"
        self.sysfs.mkdir(parents=True)
        self.dev.mkdir()

    def node(self, n: int) -> Path:
        return self.dev / f"hidraw{n}"

    def add(
        self,
        n: int,
        hid_id: str = "0003:00001DD2:00000103",
        usb: bool = True,
        manufacturer: str = "Leo Bodnar",
        product: str = "SLI-PRO",
        serial: str = "SN0042",
        bcd: str = "0105",
        hid_name: str = "Leo Bodnar SLI-PRO",
        hid_uniq: str = "",
        report_descriptor: bytes = descriptor(),
        node: bool = True,
    ) -> Path:
        usb_device = self.root / "sys" / "devices" / "pci0000:00" / "usb1" / f"1-{n + 1}"
        interface = usb_device / f"1-{n + 1}:1.0"
        if usb:
            interface.mkdir(parents=True)
            (usb_device / "uevent").write_text("DEVTYPE=usb_device\nDRIVER=usb\n")
            (interface / "uevent").write_text("DEVTYPE=usb_interface\nDRIVER=usbhid\n")
            (usb_device / "manufacturer").write_text(manufacturer + "\n")
            (usb_device / "product").write_text(product + "\n")
            (usb_device / "serial").write_text(serial + "\n")
            (usb_device / "bcdDevice").write_text(bcd + "\n")
            parent = interface
        else:
            # A Bluetooth link on a USB controller: the USB device is further
            # up, and is the controller's, not the HID device's.
            parent = interface / "bluetooth" / "hci0" / f"hci0:{256 + n}"
            parent.mkdir(parents=True)
            (usb_device / "uevent").write_text("DEVTYPE=usb_device\nDRIVER=usb\n")
            (usb_device / "serial").write_text("CONTROLLER\n")
            (usb_device / "bcdDevice").write_text("0999\n")
            (parent.parent / "uevent").write_text("DEVTYPE=host\n")
        hid_dir = f"{hid_id.split(':')[0][-4:]}:{n:04X}:0001.{n:04X}"
        hid = parent / hid_dir
        raw = hid / "hidraw" / f"hidraw{n}"
        raw.mkdir(parents=True)
        (hid / "uevent").write_text(
            f"DRIVER=hid-generic\nHID_ID={hid_id}\nHID_NAME={hid_name}\n"
            f"HID_PHYS=usb-0000:00:14.0-{n + 1}/input0\nHID_UNIQ={hid_uniq}\n"
        )
        (hid / "report_descriptor").write_bytes(report_descriptor)
        (raw / "device").symlink_to(Path("..") / ".." / ".." / hid_dir)
        (self.sysfs / f"hidraw{n}").symlink_to(os.path.relpath(raw, self.sysfs))
        if node:
            self.node(n).write_bytes(b"")
        return self.node(n)


@pytest.fixture
def tree(tmp_path: Path) -> Iterator[Tree]:
    t = Tree(tmp_path / "hw")
    set_roots(str(t.sysfs), str(t.dev))
    yield t
    set_roots(None, None)


def reports(data: bytes) -> List[bytes]:
    assert len(data) % REPORT_SIZE == 0, len(data)
    return [data[i : i + REPORT_SIZE] for i in range(0, len(data), REPORT_SIZE)]


def write_calls() -> int:
    """write() calls this process has made, failed ones included."""
    for line in Path("/proc/self/io").read_text().splitlines():
        if line.startswith("syscw:"):
            return int(line.split()[1])
    raise AssertionError("no syscw in /proc/self/io")


class TestDiscovery:
    def test_display_found_past_other_devices(self, tree: Tree) -> None:
        tree.add(0, hid_id="0003:00001DD2:00000200", serial="OTHER")  # same vendor, other product
        tree.add(1, hid_id="0005:0000046D:0000B01D", usb=False)  # a Bluetooth keyboard
        tree.add(2, serial="GONE", node=False)  # unplugged: udev took its node already
        tree.add(10, serial="TEN")
        tree.add(9, serial="NINE")  # hidraw9 comes before hidraw10
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("device path") == str(tree.node(9))
        assert e.get_device_info("serial number") == "NINE"
        assert tree.node(0).read_bytes() == b""
        assert tree.node(10).read_bytes() == b""
        assert len(tree.node(9).read_bytes()) == REPORT_SIZE  # the blank report

    def test_no_display_answers_false(self, tree: Tree) -> None:
        tree.add(0, hid_id="0003:00001DD2:00000200")
        tree.add(1, node=False)
        e = kvdash.kvengine()
        assert e.init() is False
        assert tree.node(0).read_bytes() == b""

    def test_virtual_displays_come_first(self, tree: Tree) -> None:
        tree.add(0)
        with vd.attach() as display:
            e = kvdash.kvengine()
            assert e.init() is True
            assert e.get_device_info("device path") == display.path
        assert tree.node(0).read_bytes() == b""

    def test_identity_and_capabilities(self, tree: Tree) -> None:
        tree.add(3, serial="SN0042", bcd="0105", report_descriptor=descriptor(buttons=8, values=2))
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("firmware") == "1.05"
        assert e.get_device_info("serial number") == "SN0042"
        assert e.get_device_info("device path") == str(tree.node(3))
        assert e.get_device_info("digital") == 8
        assert e.get_device_info("analog") == 2

    def test_other_identity(self, tree: Tree) -> None:
        tree.add(0, serial="Zé-7", bcd="1a0f", report_descriptor=descriptor(buttons=0, values=5))
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("firmware") == "1a.0f"
        assert e.get_device_info("serial number") == "Zé-7"
        assert e.get_device_info("digital") == 0
        assert e.get_device_info("analog") == 5

    def test_bluetooth_display_without_usb_parent(self, tree: Tree) -> None:
        tree.add(0, hid_id="0005:00001DD2:00000103", usb=False, hid_uniq="aa:bb:cc:dd:ee:ff")
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("firmware") == "0.00"
        assert e.get_device_info("serial number") == "aa:bb:cc:dd:ee:ff"
        assert e.get_device_info("digital") == 8

    def test_descriptor_beyond_the_kernel_limit_is_cut(self, tree: Tree) -> None:
        # 4096 bytes are read: the display's items, then padding of zeros
        # (short items without data) up to the limit, then a second set of
        # buttons that must not be seen.
        body = descriptor(buttons=8, values=2)
        extra = descriptor(buttons=3, values=7)
        tree.add(0, report_descriptor=body + bytes(4096 - len(body)) + extra)
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("analog") == 2


def init_as_nobody(tree: Tree, home: Path) -> str:
    """init() in a forked child that runs as nobody when we are root (root
    opens any node whatever its mode); answers what the child reports. A fork,
    not a new interpreter: the module is loaded already, and the interpreter's
    own files may be out of nobody's reach."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        answer = "child failed"
        try:
            os.close(reader)
            if os.getuid() == 0:
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            os.environ["HOME"] = str(home)
            os.environ["XDG_RUNTIME_DIR"] = str(home)
            set_roots(str(tree.sysfs), str(tree.dev))
            answer = f"uid {os.getuid()} init {kvdash.kvengine().init()}"
        except BaseException as error:
            answer = f"child failed: {error!r}"
        finally:
            os.write(writer, answer.encode())
            os._exit(0)
    os.close(writer)
    with os.fdopen(reader, "rb") as pipe:
        answer = pipe.read().decode()
    os.waitpid(pid, 0)
    return answer


class TestPermission:
    @pytest.fixture
    def public_tree(self) -> Iterator[Tree]:
        # Outside the per-user pytest directory, which nobody cannot enter.
        root = Path(tempfile.mkdtemp(prefix="kvdash-hidraw-"))
        root.chmod(0o755)
        home = root / "home"
        (home / "Documents").mkdir(parents=True)
        if os.getuid() == 0:
            for path in (home, home / "Documents"):
                os.chown(path, NOBODY, NOBODY)
        try:
            yield Tree(root / "hw")
        finally:
            shutil.rmtree(root)

    def test_node_without_permission_is_passed_over(self, public_tree: Tree) -> None:
        node = public_tree.add(0)
        node.chmod(0o600 if os.getuid() == 0 else 0o000)  # no ACL: the udev rule is missing
        answer = init_as_nobody(public_tree, public_tree.root.parent / "home")
        assert answer.endswith(" init False"), answer
        assert answer.startswith(f"uid {NOBODY if os.getuid() == 0 else os.getuid()} ")
        assert node.read_bytes() == b""

    def test_node_with_permission_is_used_by_the_same_user(self, public_tree: Tree) -> None:
        node = public_tree.add(0)
        node.chmod(0o666)  # what the uaccess ACL grants the user at the seat
        answer = init_as_nobody(public_tree, public_tree.root.parent / "home")
        assert answer.endswith(" init True"), answer
        # The blank report of init(), and the one of the engine going away.
        sent = reports(node.read_bytes())
        assert len(sent) == 2
        assert sent[0] == sent[1] and sent[0][:2] == b"\x00\x01"


class TestReports:
    def test_reports_reach_the_node_byte_for_byte(self, tree: Tree) -> None:
        # The same calls on a virtual display give the bytes to expect.
        with vd.attach() as display:
            v = kvdash.kvengine()
            assert v.init() is True
            v.set_gear("3")
            v.set_left_panel("12.34")
            v.set_rpm_led(2, 1)
            v.show_me()
            expected = display.reports
        del v
        assert len(expected) == 2

        node = tree.add(0)
        e = kvdash.kvengine()
        assert e.init() is True
        e.set_gear("3")
        e.set_left_panel("12.34")
        e.set_rpm_led(2, 1)
        e.show_me()
        sent = reports(node.read_bytes())
        assert sent == expected
        assert sent[1][:3] == bytes([0x00, 0x01, 0x33])  # report number, report kind, gear "3"

    def test_lost_display_is_written_no_more(self, tree: Tree) -> None:
        # A pty stands for the node: raw, it passes reports unchanged; once its
        # master is closed every write answers EIO, as a device gone away does.
        master, slave = pty.openpty()
        try:
            tty.setraw(slave)
            tree.node(0).symlink_to(os.ttyname(slave))
        finally:
            os.close(slave)
        tree.add(0, node=False)
        e = kvdash.kvengine()
        try:
            assert e.init() is True
            assert len(os.read(master, 4096)) == REPORT_SIZE
            e.set_gear("5")
            before = write_calls()
            e.show_me()
            assert write_calls() - before == 1
            assert os.read(master, 4096)[2] == 0x35
        finally:
            os.close(master)

        before = write_calls()
        e.show_me()  # fails, silently: nothing raised
        assert write_calls() - before == 1
        before = write_calls()
        e.set_gear("6")
        e.show_me()
        assert write_calls() == before  # no system call once lost
        assert e.get_device_info("device path") == str(tree.node(0))
