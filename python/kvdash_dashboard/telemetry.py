"""The Telemetry record: one moment of the car, whatever game it came from."""

from __future__ import annotations

import enum
from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, Any, TypeVar

if TYPE_CHECKING:
    from typing_extensions import dataclass_transform
else:

    def dataclass_transform(**_: object) -> Any:
        return lambda decorated: decorated


class Light(enum.IntFlag):
    """Lights and states a game reports as on or off."""

    NONE = 0
    SHIFT = enum.auto()  # the game's own "shift now" indicator
    PIT_LIMITER = enum.auto()
    TC = enum.auto()  # traction control acting (or switched off, where the game says so)
    ABS = enum.auto()  # ABS acting (or switched off)
    DRS = enum.auto()  # DRS open
    DRS_AVAILABLE = enum.auto()  # DRS may be opened
    SIGNAL_LEFT = enum.auto()
    SIGNAL_RIGHT = enum.auto()
    ENGINE = enum.auto()  # an engine warning: oil, battery, damage, handbrake on
    FLAG = enum.auto()  # a flag for the player (yellow, blue, or one the game does not name)
    YELLOW = enum.auto()  # where the game names the flag: set with FLAG
    BLUE = enum.auto()


class GameState(enum.IntEnum):
    """What the game is doing, where it says."""

    UNKNOWN = 0
    DRIVING = 1
    PAUSED = 2
    MENU = 3
    REPLAY = 4


_Record = TypeVar("_Record")


@dataclass_transform(kw_only_default=True)
def _record(cls: type[_Record]) -> type[_Record]:
    """A dataclass (fields, repr, equality) whose instances hold only the
    fields they were given, the rest read from the class's defaults: a game
    fills a few of thirty fields for every packet, and the generated
    ``__init__`` would store all thirty each time. Keyword arguments only;
    the type checker holds callers to the fields and their types."""

    def __init__(self: object, **values: object) -> None:
        self.__dict__ = values  # a fresh dict for every call: the instance takes it

    cls.__init__ = __init__  # type: ignore[method-assign]
    return dataclass(init=False)(cls)


# Made for every packet, and never changed once made: not frozen only because
# a frozen dataclass takes several times as long to make.
@_record
class Telemetry:
    """One moment of the car. A field a game does not give stays None."""

    gear: int = 0  # -1 reverse, 0 neutral, 1 first, ...
    rpm: float = 0.0
    max_rpm: float | None = None  # the car's rev limit
    rev_lights: float | None = None  # 0 to 1: the share of the game's own rev-light bar lit
    speed: float = 0.0  # m/s
    fuel: float | None = None  # 0 to 1 of the tank
    lap_time: float | None = None  # s into the current lap
    last_lap: float | None = None  # s
    best_lap: float | None = None  # s
    delta: float | None = None  # s against the best or a reference lap; + is slower
    lap: int | None = None  # the lap being driven, from 1
    position: int | None = None  # race position, from 1
    lights: Light = Light.NONE
    state: GameState = GameState.UNKNOWN
    game: str = ""  # the game or format variant, as the status line names it
    car: str | None = None  # the car's short stable id, as the game names it (settings key on it)
    throttle: float | None = None  # 0 to 1
    # Race information the app works out laps, fuel use and the delta from.
    fuel_amount: float | None = None  # on board: litres, or kg where the game counts so
    fuel_capacity: float | None = None  # what the tank holds, in the same unit
    lap_distance: float | None = None  # m into the current lap
    lap_fraction: float | None = None  # 0 to 1 into the current lap, where the game sends a share
    distance: float | None = None  # m driven in all, where the game sends no lap distance
    in_pit: bool | None = None  # in the pit lane
    lap_valid: bool | None = None  # False once the game has ruled the current lap out
    track: str | None = None  # the track's (and layout's) stable id, as the game names it
    tc_level: int | None = None  # the driver's traction-control setting
    abs_level: int | None = None  # the driver's ABS setting
    brake_bias: float | None = None  # % of the braking to the front
    engine_map: int | None = None  # the driver's engine map / fuel mix setting


# Every field a source may fill.
FIELD_NAMES = frozenset(f.name for f in fields(Telemetry))
