"""Richard Burns Rally with the RSF "NGP" physics plugin: its UDP telemetry.

One packet type, 664 bytes, no magic and no version: the plugin's
TelemetryData struct, packed. It has no rev limit, fuel, laps or flags."""

from __future__ import annotations

import math
import struct

from ..telemetry import GameState, Telemetry
from .base import Family, filled

_LENGTH = 664
# Physics steps, stage time, throttle, gear, car index, speed.
_HEAD = struct.Struct("<I8xf12xf12xi8xif")
_RPM = struct.Struct("<f")
_RPM_AT = 136
_REVERSE = 0  # 1 is neutral, 2 first
_TOP_GEAR_CODE = 11  # 10th gear
_KMH = 3.6  # the plugin sends the speed in the game's units: km/h unless set to mph
_MAX_CAR_INDEX = 9999

GAME = "Richard Burns Rally (NGP)"


class Decoder:
    """Tells driving from paused by the physics step counter, which stands
    still while the game is paused."""

    def __init__(self) -> None:
        self._steps: int | None = None

    def decode(self, data: bytes) -> Telemetry | None:
        if len(data) != _LENGTH:
            return None
        steps, stage_time, throttle, code, car, speed = _HEAD.unpack_from(data)
        (rpm,) = _RPM.unpack_from(data, _RPM_AT)
        if not _REVERSE <= code <= _TOP_GEAR_CODE or not (
            math.isfinite(rpm) and math.isfinite(speed)
        ):
            return None
        state = GameState.PAUSED if steps == self._steps else GameState.DRIVING
        self._steps = steps
        return Telemetry(
            gear=-1 if code == _REVERSE else code - 1,
            rpm=max(0.0, rpm),
            speed=abs(speed) / _KMH,
            lap_time=stage_time if math.isfinite(stage_time) and stage_time >= 0 else None,
            state=state,
            game=GAME,
            car=str(car) if 0 <= car <= _MAX_CAR_INDEX else None,
            throttle=min(1.0, max(0.0, throttle)) if math.isfinite(throttle) else None,
        )


FAMILY = Family(
    name="rbr",
    title="Richard Burns Rally NGP UDP",
    fields=filled("gear rpm speed lap_time state car throttle"),
    decoder=Decoder,
    port=6776,
    games="Richard Burns Rally with the RSF NGP plugin",
)
