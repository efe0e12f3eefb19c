"""The OutGauge decoder: the formats document's worked example, sizes, and
any bytes at all."""

from __future__ import annotations

import struct

from game_packets import assert_sane
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import outgauge
from kvdash_dashboard.telemetry import Light

# BeamNG-style, 96 bytes: third gear, 6000 rpm, 25 m/s, half a tank, the
# car has shift, handbrake, TC and ABS lights and the shift light is on.
EXAMPLE = bytes.fromhex(
    "00 00 00 00 62 65 61 6d 00 c0 04 00 00 00 c8 41"
    "00 80 bb 45 00 00 00 00 00 00 b4 42 00 00 00 3f"
    "00 00 00 00 00 00 be 42 15 04 00 00 01 00 00 00"
    "00 00 80 3f" + " 00" * 44
)


def test_the_worked_example() -> None:
    assert len(EXAMPLE) == 96
    t = outgauge.decode(EXAMPLE)
    assert t is not None
    assert (t.gear, t.rpm, t.speed, t.fuel) == (3, 6000.0, 25.0, 0.5)
    assert t.lights == Light.SHIFT and t.game == "BeamNG.drive"
    assert t.lap_time is None  # its time field is no lap clock
    assert (t.car, t.throttle) == (None, 1.0)  # BeamNG calls every car "beam"
    lfs = outgauge.decode(EXAMPLE[:4] + b"XRT\0" + EXAMPLE[8:])
    assert lfs is not None and (lfs.game, lfs.car) == ("Live for Speed", "XRT")


def test_lights_count_only_where_the_car_has_them() -> None:
    data = bytearray(EXAMPLE)
    struct.pack_into("<II", data, 40, 0x0410, 0x0031)  # has TC, ABS; shows TC, signal, shift
    t = outgauge.decode(bytes(data))
    assert t is not None and t.lights == Light.TC
    struct.pack_into("<II", data, 40, 0, 0x0428)  # no DashLights word: all known lights
    t = outgauge.decode(bytes(data))
    assert t is not None and t.lights == Light.PIT_LIMITER | Light.SIGNAL_LEFT | Light.ABS


def test_other_packets_are_refused() -> None:
    assert outgauge.decode(EXAMPLE[:92]) is not None  # without the ID
    for data in (EXAMPLE[:91], EXAMPLE + b"\0", b"BNG1" + bytes(84), b""):
        assert outgauge.decode(data) is None
    nan = bytearray(EXAMPLE)
    struct.pack_into("<f", nan, 16, float("nan"))
    assert outgauge.decode(bytes(nan)) is None


@given(st.binary(max_size=200))
def test_any_bytes_decode_or_are_refused(data: bytes) -> None:
    t = outgauge.decode(data)
    if t is not None:
        assert_sane(t)


@given(st.binary(min_size=96, max_size=96))
def test_any_packet_sized_bytes_decode_sanely(data: bytes) -> None:
    t = outgauge.decode(data)
    if t is not None:
        assert_sane(t)
