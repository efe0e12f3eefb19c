"""OutGauge: Live for Speed and BeamNG.drive send one datagram per update."""

from __future__ import annotations

import functools
import math
import struct

from ..telemetry import Light, Telemetry
from .base import Family, car_id, filled, unit_share

# Car, gear, speed, rpm, fuel, dash and show lights, the throttle; the time,
# flags, player id, turbo, engine temperature, oil pressure and temperature
# between are skipped, and the brake, clutch, the dash's two texts and the ID
# that follow are not read.
_PACKET = struct.Struct("<4x4s2xBx2f8xf8x2If")
_SIZES = (92, 96)  # 96 with the optional ID, which BeamNG always sends

# ShowLights bits and what the display makes of them.
_LIGHTS = (
    (0x0001, Light.SHIFT),
    (0x0004, Light.ENGINE),  # handbrake on
    (0x0008, Light.PIT_LIMITER),
    (0x0010, Light.TC),
    (0x0020, Light.SIGNAL_LEFT),
    (0x0040, Light.SIGNAL_RIGHT),
    (0x0100, Light.ENGINE),  # oil pressure
    (0x0200, Light.ENGINE),  # battery
    (0x0400, Light.ABS),
)
_TOP_GEAR = 10  # no car has more; a larger byte is not a gear
_GEAR_BYTES = _TOP_GEAR + 1  # 0 reverse, 1 neutral, 2 first, ...
_KNOWN_BITS = 0x07FF  # bits above 10 mean different things in each game


def _lights_of(lit: int) -> Light:
    lights = Light.NONE
    for bit, light in _LIGHTS:
        if lit & bit:
            lights |= light
    return lights


# Every combination of the known bits, made once: flag arithmetic per packet is slow.
_LIGHTS_OF = tuple(_lights_of(lit) for lit in range(_KNOWN_BITS + 1))
# Live for Speed sends its car's name in every packet: read once per name.
_car_id = functools.lru_cache(maxsize=64)(car_id)


def decode(data: bytes) -> Telemetry | None:
    """One OutGauge packet; None when data is not one."""
    if len(data) not in _SIZES:
        return None
    car, gear, speed, rpm, fuel, dash, show, throttle = _PACKET.unpack_from(data)
    # Finite each, unless their sum overflows: then no car's numbers either.
    if not math.isfinite(speed + rpm + fuel) or rpm < 0 or gear > _GEAR_BYTES:
        return None
    # A light counts only where the car has it; a game that fills no
    # DashLights word has every light.
    lights = _LIGHTS_OF[show & (dash if dash else _KNOWN_BITS) & _KNOWN_BITS]
    beamng = car == b"beam"  # BeamNG names no car, every car is "beam"
    # Written out rather than called: this runs for every packet, up to
    # hundreds a second, and each call costs more than the test.
    return Telemetry(
        gear=gear - 1,
        rpm=rpm,
        speed=abs(speed),
        fuel=0.0 if fuel < 0.0 else 1.0 if fuel > 1.0 else fuel,
        lights=lights,
        game="BeamNG.drive" if beamng else "Live for Speed",
        car=None if beamng else _car_id(car),
        throttle=throttle if 0.0 <= throttle <= 1.0 else unit_share(throttle),
    )


class Decoder:
    """OutGauge carries the whole car in every packet: no state."""

    decode = staticmethod(decode)


FAMILY = Family(
    name="outgauge",
    title="OutGauge",
    fields=filled("gear rpm speed fuel lights car throttle"),
    decoder=Decoder,
    port=4444,
    games="Live for Speed, BeamNG.drive",
)
