"""Gran Turismo 7's simulator interface: encrypted UDP from a PlayStation.

The console streams only to whoever sent it a heartbeat in the last few
seconds, so the listener must call `heartbeat(sock, host)` on the socket it
listens on (bound to port 33740), once at the start and every
`HEARTBEAT_INTERVAL` seconds; `host` is the console's address, which the user
gives. Packets are Salsa20-encrypted; the cipher comes from pycryptodome (the
"gt7" extra): without it `AVAILABLE` is False and the family is not offered.

Gran Turismo Sport sends the same packet under its own key and ports
(sources/gts.py): a `Game` names what differs."""

from __future__ import annotations

import math
import socket
import struct
from collections.abc import Mapping
from dataclasses import dataclass

from ..telemetry import GameState, Light, Telemetry
from .base import Family, filled

try:
    from Crypto.Cipher import Salsa20
except ImportError:  # pragma: no cover - the extra is not installed
    AVAILABLE = False
else:
    AVAILABLE = True

MISSING = (
    "Gran Turismo's packets are encrypted; decrypting them needs pycryptodome: "
    'pip install "kvdash[gt7]"'
)

LISTEN_PORT = 33740
HEARTBEAT_PORT = 33739  # on the console
HEARTBEAT_INTERVAL = 10.0  # s; the console stops streaming when they stop
HEARTBEAT = b"A"  # asks for the 296-byte packet, which has all a dashboard needs


@dataclass(frozen=True)
class Game:
    """What one Gran Turismo's packets differ by."""

    title: str
    key: bytes  # Salsa20's 32 bytes
    # Packet length -> the constant the nonce's seed is XORed with.
    nonce_xor: Mapping[int, int]


GT7 = Game(
    title="Gran Turismo 7",
    key=b"Simulator Interface Packet GT7 ver 0.0"[:32],
    # One length per heartbeat variant A, B, ~.
    nonce_xor={296: 0xDEADBEAF, 316: 0xDEADBEEF, 344: 0x55FABB4F},
)
_MAGIC = 0x47375330
_SEED_AT = 0x40  # 4 bytes sent in clear: the nonce's seed
_U32 = struct.Struct("<I")

# rpm @0x3C; fuel, capacity, speed @0x44.
_ENGINE = struct.Struct("<f4xfff")
_ENGINE_AT = 0x3C
# lap @0x74, best and last lap (ms), pre-race position @0x84, alert rpm band,
# flags, gears, throttle (0-255).
_RACE = struct.Struct("<h2xii4xh2xhh2xHBB")
_RACE_AT = 0x74
_CAR = struct.Struct("<i")  # the car code
_CAR_AT = 0x124

_ON_TRACK, _PAUSED, _IN_GEAR = 0x0001, 0x0002, 0x0008
_FLAG_LIGHTS = ((0x0020, Light.SHIFT), (0x0040, Light.ENGINE), (0x0800, Light.TC))
_REVERSE, _NO_GEAR, _TOP_GEAR = 0, 15, 10


def heartbeat(sock: socket.socket, host: str, port: int = HEARTBEAT_PORT) -> None:
    """Ask the console at host to keep streaming to sock's address."""
    sock.sendto(HEARTBEAT, (host, port))


def decrypt(data: bytes, game: Game = GT7) -> bytes | None:
    """The plain packet, or None when data does not decrypt to one."""
    xor = game.nonce_xor.get(len(data))
    if xor is None or not AVAILABLE:
        return None
    (seed,) = _U32.unpack_from(data, _SEED_AT)
    nonce = _U32.pack(seed ^ xor) + _U32.pack(seed)
    plain = Salsa20.new(key=game.key, nonce=nonce).decrypt(data)
    return plain if _U32.unpack_from(plain)[0] == _MAGIC else None


def _lap_ms(ms: int) -> float | None:
    return ms / 1000.0 if ms > 0 else None  # -1: not set


def decode(data: bytes, game: Game = GT7) -> Telemetry | None:
    """One packet as received; None when it is not game's."""
    plain = decrypt(data, game)
    if plain is None:
        return None
    rpm, fuel, capacity, speed = _ENGINE.unpack_from(plain, _ENGINE_AT)
    race = _RACE.unpack_from(plain, _RACE_AT)
    lap, best, last, grid, alert_low, alert_high, flags, gears, throttle = race
    (car,) = _CAR.unpack_from(plain, _CAR_AT)
    if not (math.isfinite(rpm) and math.isfinite(speed)):
        return None
    nibble = gears & 0x0F
    if nibble == _NO_GEAR or not flags & _IN_GEAR:
        gear = 0
    elif nibble == _REVERSE:
        gear = -1
    elif nibble <= _TOP_GEAR:
        gear = nibble
    else:
        return None
    rpm = max(0.0, rpm)
    rev_lights = None
    if 0 < alert_low < alert_high:
        # The game's own shift-light band, from where it starts to full.
        rev_lights = min(1.0, max(0.0, (rpm - alert_low) / (alert_high - alert_low)))
    lights = Light.NONE
    for bit, light in _FLAG_LIGHTS:
        if flags & bit:
            lights |= light
    if flags & _PAUSED:
        state = GameState.PAUSED
    elif flags & _ON_TRACK:
        state = GameState.DRIVING
    else:
        state = GameState.MENU
    fuel_share = None  # electric cars have no tank (capacity 0)
    if math.isfinite(fuel) and math.isfinite(capacity) and capacity > 0:
        fuel_share = min(1.0, max(0.0, fuel / capacity))
    return Telemetry(
        gear=gear,
        rpm=rpm,
        max_rpm=float(alert_high) if alert_high > 0 else None,
        rev_lights=rev_lights,
        speed=abs(speed),
        fuel=fuel_share,
        last_lap=_lap_ms(last),
        best_lap=_lap_ms(best),
        lap=lap if lap > 0 else None,
        # Only the grid position before the start; -1 once the race is on.
        position=grid if grid > 0 else None,
        lights=lights,
        state=state,
        game=game.title,
        car=str(car) if car > 0 else None,
        throttle=throttle / 255.0,
    )


class Decoder:
    """Every packet carries the whole car: no state but which game sends it."""

    def __init__(self, game: Game = GT7) -> None:
        self._game = game

    def decode(self, data: bytes) -> Telemetry | None:
        return decode(data, self._game)


FIELDS = filled(
    "gear rpm max_rpm rev_lights speed fuel last_lap best_lap lap position lights state car "
    "throttle"
)
FAMILY = Family(
    name="gt7",
    title=GT7.title,
    fields=FIELDS,
    decoder=Decoder,
    port=LISTEN_PORT,
    games="Gran Turismo 7 (PS4/PS5; needs --console)",
    request=heartbeat,
    request_every=HEARTBEAT_INTERVAL,
)
