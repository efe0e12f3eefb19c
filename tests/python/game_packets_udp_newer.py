"""Datagrams of Gran Turismo Sport, WRC Generations and KartKraft, each built
from a description other than the one its decoder was written from (named
per builder)."""

from __future__ import annotations

import struct

from game_packets import codemasters_packets, gt7_packets

from kvdash_dashboard.telemetry import Telemetry

# -- Gran Turismo Sport: GT7's first packet under GT Sport's key. Key and nonce rule as
# RaceCrewAI/gt-telem declares them (gt_telem/net/crypto.py @
# 55fcaeba54546562344c2f99a2333b2f2a6c19b7: the key "Simulator Interface Packet ver 0.0"
# cut to 32 bytes, the seed at 0x40 XORed with 0xDEADBEAF, then the seed), ports in
# gt_telem/turismo_client.py @ 0b852306f8010b50dda8da80e5d0b0c63c154739.
GTS_HEARTBEAT_PORT, GTS_PORT = 33339, 33340
_GTS_KEY = b"Simulator Interface Packet ver 0.0"[:32]
_GT7_KEY = b"Simulator Interface Packet GT7 ver 0.0"[:32]


def _salsa(data: bytes, key: bytes, seed: int) -> bytes:
    from Crypto.Cipher import Salsa20

    nonce = struct.pack("<II", seed ^ 0xDEADBEAF, seed)
    return bytes(Salsa20.new(key=key, nonce=nonce).encrypt(data))


def gts_packets(t: Telemetry, seed: int = 0x11223344) -> list[bytes]:
    """One 296-byte packet: GT7's variant "A" layout (game_packets.gt7_packets)
    enciphered with GT Sport's key; the seed in clear at 0x40."""
    (gt7,) = gt7_packets(t, "A", seed)
    plain = _salsa(gt7, _GT7_KEY, seed)  # the stream cipher undoes itself
    sent = bytearray(_salsa(plain, _GTS_KEY, seed))
    struct.pack_into("<I", sent, 0x40, seed)
    return [bytes(sent)]


# -- WRC Generations: the extradata-3 floats (game_packets.codemasters_packets, after
# ErlerPhilipp/dr2_logger) with more floats after them, read from the front by
# vazhure/vAzhureRacingHub (Codemasters/UDPClient.cs @ 09054469dd20897cf9f0945a050e52e4e3997cba:
# any packet at least DIRT_4_DATA_MODE3 long, reverse sent as gear 10) and longer than
# DiRT's 264 bytes (marthofdoom/oversteer, oversteer/telemetry_formats.py @
# 051fe456efd8bd00b1713b9a0355093a2a21f03e).
_RPM_PER_RAD_S = 60.0 / (2.0 * 3.141592653589793)
WRCG_OVER_REPORT = 1.25  # how far above the car's limit the game's max rpm is


def wrcg_packets(t: Telemetry, length: int = 272) -> list[bytes]:
    """One packet of length bytes; its max rpm (float 63) over-reported."""
    (dirt,) = codemasters_packets(t, extradata=3, game="dirt-rally")  # reverse: 10
    floats = list(struct.unpack("<66f", dirt))
    floats[63] = (t.max_rpm or 0.0) * WRCG_OVER_REPORT / _RPM_PER_RAD_S
    floats[45] = floats[46] = 0.0  # a rally car: no tank sent
    extra = [0.25 * i for i in range((length - 264) // 4)]
    return [struct.pack(f"<{66 + len(extra)}f", *floats, *extra)]


# -- KartKraft: a Frame made with the flatbuffers Builder, slot by slot as the makers'
# generated Python adds each field (motorsportgames/kartkraft-telemetry @
# 89b0f12061f7c797b2d3ee664cd4dc76c7e78116, Examples/Python/KartKraft/Dashboard.py,
# VehicleConfig.py, TrackConfig.py, Frame.py) and finished with the identifier "KKFB"
# as Examples/Python/SendTelemetry.py does. Port 5000 and gear 0 as neutral, -1 reverse,
# also as vazhure/vAzhureRacingHub reads them (KartKraft/KKPlugin.cs @
# 09054469dd20897cf9f0945a050e52e4e3997cba).
KARTKRAFT_PORT = 5000  # SendTelemetry.py, README's Game.ini


def kartkraft_frame(
    t: Telemetry | None,
    rpm_limit: float = 0.0,
    rpm_max: float = 0.0,
    gear_max: int = 0,
    track: str | None = None,
) -> bytes:
    """One frame: the dashboard of t (none when t is None), and the vehicle
    config where a limit, max or top gear is given, and the track's name."""
    import flatbuffers  # type: ignore[import-untyped]

    b = flatbuffers.Builder(256)
    name = b.CreateString(track) if track is not None else None
    dash = config = track_config = None
    if t is not None:
        b.StartObject(12)  # Dashboard
        b.PrependFloat32Slot(0, t.speed, 0.0)
        b.PrependFloat32Slot(1, t.rpm, 0.0)
        b.PrependFloat32Slot(2, -3.5, 0.0)  # steer
        b.PrependFloat32Slot(3, t.throttle or 0.0, 0.0)
        b.PrependFloat32Slot(4, 0.1, 0.0)  # brake
        b.PrependInt8Slot(5, t.gear, 0)
        b.PrependInt8Slot(6, t.position or 0, 0)
        b.PrependFloat32Slot(7, t.best_lap or 0.0, 0.0)
        b.PrependFloat32Slot(8, t.lap_time or 0.0, 0.0)
        b.PrependFloat32Slot(9, t.last_lap or 0.0, 0.0)
        b.PrependUint16Slot(10, t.lap or 0, 0)
        b.PrependUint16Slot(11, 2, 0)  # sector
        dash = b.EndObject()
    if rpm_limit or rpm_max or gear_max:
        b.StartObject(3)  # VehicleConfig
        b.PrependFloat32Slot(0, rpm_limit, 0.0)
        b.PrependFloat32Slot(1, rpm_max, 0.0)
        b.PrependInt8Slot(2, gear_max, 0)
        config = b.EndObject()
    if name is not None:
        b.StartObject(5)  # TrackConfig
        b.PrependUOffsetTRelativeSlot(0, name, 0)
        b.PrependUint8Slot(1, 3, 0)
        b.PrependFloat32Slot(2, 1234.5, 0.0)
        track_config = b.EndObject()
    b.StartObject(7)  # Frame
    b.PrependFloat32Slot(0, 12.5, 0.0)  # timestamp
    for slot, table in ((2, dash), (4, config), (5, track_config)):
        if table is not None:
            b.PrependUOffsetTRelativeSlot(slot, table, 0)
    b.Finish(b.EndObject(), b"KKFB")
    return bytes(b.Output())


def kartkraft_packets(t: Telemetry) -> list[bytes]:
    """The car's settings in one frame, the dashboard in the next, as a game
    that sends its configuration apart would."""
    limit = t.max_rpm or 0.0
    return [
        kartkraft_frame(None, rpm_limit=limit, rpm_max=limit + 500.0, gear_max=6, track="Lonato"),
        kartkraft_frame(t),
    ]
