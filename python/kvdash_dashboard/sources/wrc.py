"""EA SPORTS WRC: the game's built-in "wrc" structure, packet session_update.

The channels of the structure packed back to back with no header: 237 bytes,
a length that EA promises to keep (new data goes into new structures). It
shares port 20777 with F1 and the older Codemasters format."""

from __future__ import annotations

import math
import struct

from ..telemetry import GameState, Telemetry
from .base import Family, filled

_LENGTH = 237
# packet_uid, then shift-light fraction, start and end rpm, valid, gear index,
# neutral index, reverse index, gear count, body speed, speedo speed.
_HEAD = struct.Struct("<Q16xfffBBBBBff")
# Max, idle and current rpm, throttle.
_ENGINE = struct.Struct("<ffff")
_ENGINE_AT = 185
# Time on the stage (s) and distance along it (m, a double).
_STAGE = struct.Struct("<fd")
_STAGE_AT = 217
# F1 24's Motion Ex packet is 237 bytes too: its header has the format year
# at 0 and the same year's last two digits at 2, which no packet counter has.
_F1_FORMAT = struct.Struct("<HB")
_F1_YEARS = range(2023, 2031)
_TOP_GEAR = 10

GAME = "EA SPORTS WRC"


def _is_f1_header(data: bytes) -> bool:
    year, short_year = _F1_FORMAT.unpack_from(data)
    return year in _F1_YEARS and short_year == year - 2000


def decode(data: bytes) -> Telemetry | None:
    """One session_update packet; None when data is not one."""
    if len(data) != _LENGTH or _is_f1_header(data):
        return None
    (_, fraction, _, _, valid, index, neutral, reverse, _, _, speedo) = _HEAD.unpack_from(data)
    max_rpm, _, rpm, throttle = _ENGINE.unpack_from(data, _ENGINE_AT)
    stage_time, stage_distance = _STAGE.unpack_from(data, _STAGE_AT)
    if neutral == reverse or not all(map(math.isfinite, (rpm, max_rpm, speedo))):
        return None
    if index == reverse:
        gear = -1
    elif index == neutral:
        gear = 0
    elif 1 <= index <= _TOP_GEAR:
        gear = index
    else:
        return None
    rev_lights = None
    if valid and math.isfinite(fraction):
        rev_lights = min(1.0, max(0.0, fraction))
    return Telemetry(
        gear=gear,
        rpm=max(0.0, rpm),
        max_rpm=max_rpm if max_rpm > 0 else None,
        rev_lights=rev_lights,
        speed=abs(speedo),
        lap_time=stage_time if math.isfinite(stage_time) and stage_time >= 0 else None,
        # The game sends session_update only while a stage is being driven.
        state=GameState.DRIVING,
        game=GAME,
        throttle=min(1.0, max(0.0, throttle)) if math.isfinite(throttle) else None,
        # A stage is driven once: its distance stands for the lap's.
        lap_distance=(
            stage_distance if math.isfinite(stage_distance) and stage_distance >= 0 else None
        ),
    )


class Decoder:
    """Every packet carries the whole car: no state."""

    def decode(self, data: bytes) -> Telemetry | None:
        return decode(data)


FAMILY = Family(
    name="wrc",
    title="EA SPORTS WRC UDP",
    fields=filled("gear rpm max_rpm rev_lights speed lap_time state throttle lap_distance"),
    decoder=Decoder,
    port=20777,  # shared with F1 and Codemasters: its length and header tell it apart
    games="EA SPORTS WRC (structure wrc, packet session_update)",
)
