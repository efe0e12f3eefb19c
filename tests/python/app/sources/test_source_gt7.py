"""Gran Turismo 7: decryption, the three packet variants, the heartbeat."""

from __future__ import annotations

import socket
import struct
from dataclasses import replace

import pytest
from hypothesis import given
from hypothesis import strategies as st

pytest.importorskip("Crypto.Cipher.Salsa20")

from game_packets import assert_sane, gt7_encrypt, gt7_packets  # noqa: E402

from kvdash_dashboard.sources import gt7  # noqa: E402
from kvdash_dashboard.telemetry import GameState, Light, Telemetry  # noqa: E402

CAR = Telemetry(
    gear=3,
    rpm=7750.0,
    max_rpm=8000.0,
    rev_lights=0.5,  # halfway through the 7500-8000 alert band
    speed=25.0,
    fuel=0.5,
    last_lap=93.25,
    best_lap=92.5,
    lap=2,
    position=4,
    lights=Light.SHIFT | Light.TC,
    state=GameState.DRIVING,
    game="Gran Turismo 7",
    car="3391",
    throttle=0.2,
)

PLAIN_ROWS = {
    0x00: "30 53 37 47",
    0x30: "00 00 00 00 00 00 00 00 00 00 00 00 00 80 bb 45",
    0x40: "11 10 02 38 00 00 48 42 00 00 c8 42 00 00 c8 41",
    0x70: "e8 03 00 00 02 00 05 00 54 69 01 00 42 6c 01 00",
    0x80: "00 51 25 02 ff ff ff ff 4c 1d 40 1f 18 01 09 00",
    0x90: "f3 ff",
}
SENT_START = bytes.fromhex(
    "73 82 1d 6f e3 6e 32 27 e5 78 4e c7 bb 89 ab d4 "
    "27 24 ec 9f f4 c9 13 6c d2 6f 25 b6 d9 4e ad ab "
    "36 ba 73 cd 82 6f 32 63 21 5f 48 6f 57 32 a6 c6 "
    "4c a8 6f c9 44 34 d8 de ca 80 0d a2 e4 24 ed 08 "
    "44 33 22 11 79 fc bf bc 3f ed 82 6b e6 7d 7c ed"
)


def test_worked_example() -> None:
    plain = bytearray(296)
    for at, text in PLAIN_ROWS.items():
        row = bytes.fromhex(text)
        plain[at : at + len(row)] = row
    sent = gt7_encrypt(bytes(plain), "A", 0x11223344)
    assert sent[:0x50] == SENT_START  # the test's own cipher matches the published bytes
    assert (gt7.decrypt(sent) or b"")[0x44:] == plain[0x44:]
    assert gt7.decode(sent) == Telemetry(
        gear=3,
        rpm=6000.0,
        max_rpm=8000.0,
        rev_lights=0.0,
        speed=25.0,
        fuel=0.5,
        last_lap=93.25,
        best_lap=92.5,
        lap=2,
        state=GameState.DRIVING,
        game="Gran Turismo 7",
        throttle=1.0,
    )


@pytest.mark.parametrize("variant", ["A", "B", "~"])
@pytest.mark.parametrize("gear", [-1, 0, 1, 7])
def test_every_variant_gives_the_car(variant: str, gear: int) -> None:
    (packet,) = gt7_packets(replace(CAR, gear=gear), variant=variant, seed=0xCAFE0000 + gear)
    assert gt7.Decoder().decode(packet) == replace(CAR, gear=gear)


def test_states_and_missing_values() -> None:
    for state in (GameState.PAUSED, GameState.MENU):
        (packet,) = gt7_packets(replace(CAR, state=state))
        got = gt7.decode(packet)
        assert got is not None and got.state == state
    electric = replace(CAR, fuel=None, best_lap=None, last_lap=None, position=None, lap=None)
    (packet,) = gt7_packets(electric)
    assert gt7.decode(packet) == electric
    # Out of gear (clutch in) shows neutral whatever the nibble says.
    plain = bytearray(gt7.decrypt(gt7_packets(CAR)[0]) or b"")
    struct.pack_into("<H", plain, 0x8E, 0x0001)
    got = gt7.decode(gt7_encrypt(bytes(plain)))
    assert got is not None and got.gear == 0


def test_bad_packets_are_refused() -> None:
    (packet,) = gt7_packets(CAR, variant="B")
    for size in (0, 64, 295, 297, 315, 317, 343, 345, 368):
        assert gt7.decode(packet[:size].ljust(size, b"\0")) is None, size
    assert gt7.decode(packet[:296]) is None  # another variant's nonce: no magic
    plain = bytearray(gt7.decrypt(packet) or b"")
    for at, fmt, value in (
        (0x3C, "<f", float("nan")),
        (0x4C, "<f", float("inf")),
        (0x90, "<B", 12),
    ):
        bad = bytearray(plain)
        struct.pack_into(fmt, bad, at, value)
        assert gt7.decode(gt7_encrypt(bytes(bad), "B")) is None, at


def test_heartbeat_reaches_the_console_port() -> None:
    console = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        console.bind(("127.0.0.1", 0))
        listener.bind(("127.0.0.1", 0))
        gt7.heartbeat(listener, "127.0.0.1", console.getsockname()[1])
        console.settimeout(2)
        data, source = console.recvfrom(64)
        assert data == b"A" and source == listener.getsockname()
    finally:
        console.close()
        listener.close()


@given(st.binary(min_size=296, max_size=296) | st.binary(max_size=400))
def test_arbitrary_bytes_never_raise(data: bytes) -> None:
    got = gt7.decode(data)
    if got is not None:
        assert_sane(got)


@given(st.lists(st.tuples(st.integers(0, 0x98), st.binary(min_size=1, max_size=8)), max_size=8))
def test_damaged_packets_never_raise(damage: list[tuple[int, bytes]]) -> None:
    plain = bytearray(gt7.decrypt(gt7_packets(CAR)[0]) or b"")
    for at, junk in damage:
        plain[at + 4 : at + 4 + len(junk)] = junk  # keep the magic: damage what is decoded
    got = gt7.decode(gt7_encrypt(bytes(plain[:296])))
    if got is not None:
        assert_sane(got)
