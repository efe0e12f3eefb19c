"""Euro Truck Simulator 2 and American Truck Simulator: the scs-sdk-plugin's
shared memory ``SCSTelemetry``.

The games publish nothing themselves; the plugin (revision 12) keeps one
21600-byte struct in a 32 KiB mapping, written in place every frame with no
lock. Its ``time`` (u64 at 8, µs of simulation) moves every frame and is read
before and after the copy. Other revisions move fields around, so only
revision 12 is read. When the game closes, the plugin clears ``sdkActive``
and the revision but leaves the rest: that page is the game gone.

The snapshot (SNAPSHOT, little-endian, 132 bytes) holds, in this order:
  u64 time, u8 sdkActive, u8 paused, 2 pad; u32 telemetry_plugin_revision,
  u32 game; u32 gears, u32 gears_reverse; i32 gearDashboard;
  f32 fuelCapacity, f32 engineRpmMax, f32 speed, f32 engineRpm,
  f32 gameThrottle, f32 fuel;
  u8 parkBrake, u8 airPressureWarning, u8 airPressureEmergency,
  u8 oilPressureWarning, u8 waterTemperatureWarning, u8 batteryVoltageWarning,
  u8 blinkerLeftOn, u8 blinkerRightOn; char truckId[64]; f32 truckOdometer
  (km; recordings made before it end without it, 128 bytes, and still play)."""

from __future__ import annotations

import math
import struct
from collections.abc import Sequence

from ..telemetry import GameState, Light, Telemetry
from .base import Family, filled
from .shm import TORN_RETRIES, CounterCache, Gone, ShmReader, Unsupported, View, c_text

NAMES = ("SCSTelemetry",)

SNAPSHOT = struct.Struct("<QBB2x II II i ffffff 8B 64s f")
_BEFORE_ODOMETER = SNAPSHOT.size - 4

REVISION = 12
STRUCT_SIZE = 21600  # what revision 12 fills of its 32 KiB mapping
_TIME = 8
_HEADER = struct.Struct("<B3xB3x")  # sdkActive, paused
_U32 = struct.Struct("<I")
# The plugin has room for 24 forward and 8 reverse gear ratios.
_MAX_FORWARD, _MAX_REVERSE = 24, 8
_NO_ODOMETER = struct.pack("<f", -1.0)
_GAMES = {1: "Euro Truck Simulator 2", 2: "American Truck Simulator"}


def take(views: Sequence[View]) -> bytes | None:
    """The snapshot, or None while the game kept writing. A page of another
    revision is refused with a word for the status line."""
    (view,) = views
    if view.size() < 64:
        raise Gone("page too short")
    active = view.read(0, 1)[0]
    revision = _U32.unpack(view.read(40, 4))[0]
    if not active or revision == 0:
        raise Gone("the game has closed the plugin")
    if revision != REVISION:
        raise Unsupported(
            f"SCSTelemetry is from scs-sdk-plugin revision {revision}: "
            f"this app reads revision {REVISION} (update the plugin)"
        )
    if view.size() < STRUCT_SIZE:
        raise Unsupported(f"SCSTelemetry is {view.size()} bytes, less than the plugin's struct")
    for _ in range(TORN_RETRIES):
        time = view.read(_TIME, 8)
        body = b"".join(
            (
                time,
                view.read(0, 1),
                view.read(4, 1),
                bytes(2),
                view.read(40, 4),  # revision
                view.read(52, 4),  # game
                view.read(68, 8),  # gears, gears_reverse
                view.read(508, 4),  # gearDashboard
                view.read(704, 4),  # fuelCapacity
                view.read(740, 4),  # engineRpmMax
                view.read(948, 8),  # speed, engineRpm
                view.read(976, 4),  # gameThrottle
                view.read(1000, 4),  # fuel
                view.read(1566, 1),  # parkBrake
                view.read(1568, 2),  # airPressureWarning, airPressureEmergency
                view.read(1572, 3),  # oil, water, battery warnings
                view.read(1580, 2),  # blinkerLeftOn, blinkerRightOn
                view.read(2428, 64),  # truckId
                view.read(1056, 4),  # truckOdometer
            )
        )
        if view.read(_TIME, 8) == time:
            return body
    return None


def _counters(views: Sequence[View]) -> bytes:
    # time stops while paused: the paused flag itself must count as news.
    return views[0].read(0, 16)


class Ets2Decoder:
    def decode(self, data: bytes) -> Telemetry | None:
        if len(data) == _BEFORE_ODOMETER:
            data += _NO_ODOMETER
        elif len(data) != SNAPSHOT.size:
            return None
        (
            _,
            active,
            paused,
            revision,
            game,
            _,
            _,
            gear,
            capacity,
            rpm_max,
            speed,
            rpm,
            throttle,
            fuel,
            park_brake,
            *warnings,
            left,
            right,
            truck_id,
            odometer,
        ) = SNAPSHOT.unpack(data)
        if not active or revision != REVISION:
            return None
        if not all(math.isfinite(x) for x in (capacity, rpm_max, speed, rpm, throttle, fuel)):
            return None
        if not -_MAX_REVERSE <= gear <= _MAX_FORWARD or not 0 <= rpm <= 100_000:
            return None
        lights = Light.NONE
        if left:
            lights |= Light.SIGNAL_LEFT
        if right:
            lights |= Light.SIGNAL_RIGHT
        # A truck's warning lamps, and the parking brake, share the engine light.
        if park_brake or any(warnings):
            lights |= Light.ENGINE
        return Telemetry(
            gear=max(-1, gear),  # every reverse gear is reverse to the digit
            rpm=rpm,
            max_rpm=rpm_max if 0 < rpm_max <= 100_000 else None,
            speed=min(abs(speed), 1000.0),  # negative when reversing
            fuel=min(1.0, max(0.0, fuel / capacity)) if capacity > 0 else None,
            lights=lights,
            state=GameState.PAUSED if paused else GameState.DRIVING,
            game=_GAMES.get(game, "ETS2 / ATS"),
            car=c_text(truck_id),
            throttle=min(1.0, max(0.0, throttle)),
            fuel_amount=fuel if fuel >= 0 else None,
            fuel_capacity=capacity if capacity > 0 else None,
            # The truck's odometer, km as an f32: steps of metres to tens of metres.
            distance=odometer * 1000.0 if 0 <= odometer < 1e8 else None,
        )


FAMILY = Family(
    name="ets2",
    title="SCS telemetry (scs-sdk-plugin) shared memory",
    fields=filled(
        "gear rpm max_rpm speed fuel lights state game car throttle fuel_amount fuel_capacity "
        "distance"
    ),
    decoder=Ets2Decoder,
    reader=lambda shm_dir: ShmReader(NAMES, CounterCache(_counters, take), shm_dir),
    games="Euro Truck Simulator 2, American Truck Simulator",
)
