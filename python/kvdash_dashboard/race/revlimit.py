"""Rev limits for games that send none (OutGauge): learnt per car from the
highest rpm seen with it, so the RPM LEDs fit the car rather than a guess."""

from __future__ import annotations

from ..sources import Family
from ..telemetry import Telemetry
from .shifting import DEFAULT_SHIFT, SHIFT_SHARE

# Below this the peak says more about the idle than the car (a diesel
# truck's limit is near 2500): keep the dashboard's own default till then.
LEAST = 2000.0
MOST = 100_000.0
NEAR = 0.98  # rpm this close to the peak is the peak reached again
AWAY = 0.90  # and below this it has been left (a shift, a corner)
RISE = 1.02  # a peak this much higher starts the count again
CONFIRMED = 3  # returns to the peak after which the limit counts as known
# While learning, the highest rpm so far is by definition past the shift point:
# it stands in only once it is above the limit the default shift point implies,
# else every climb to a new peak would flash the whole row.
FALLBACK = DEFAULT_SHIFT / SHIFT_SHARE


def _learns(family: Family, game: str) -> bool:
    """Whether the app learns the rev limit of this family's game."""
    return "max_rpm" not in family.fields or game in family.learns_max_rpm


class RevLimits:
    """The rev limit of a family that sends none: the highest rpm seen since
    the car (or the game) changed, once the peak has been reached again a few
    times without rising. It stands in for ``max_rpm`` where the frame is
    made, rather than in a copy of every packet's telemetry."""

    # Asked every packet: kept compact.
    __slots__ = ("_car", "_learns", "_limit", "_near", "_peak", "_returns")

    def __init__(self) -> None:
        self._car: tuple[Family, str, str | None] | None = None
        self._learns = False  # whether this car's limit is learnt at all
        self._peak = 0.0
        self._returns = 0
        self._near = False
        self._limit: float | None = None  # what learn() answers, till the peak or count moves

    def learn(self, family: Family, t: Telemetry) -> float | None:
        """Learns from t; answers the limit known so far, or None (the game
        sends its own, or it is still being learnt)."""
        if t.max_rpm is not None:
            return None
        car = (family, t.game, t.car)
        if car != self._car:
            self._car, self._peak, self._returns, self._near = car, 0.0, 0, False
            self._learns, self._limit = _learns(family, t.game), None
        rpm = t.rpm
        if not self._learns or not 0.0 < rpm < MOST:
            return self._limit
        peak = self._peak
        if rpm > peak * RISE:
            self._peak, self._returns, self._near = rpm, 0, True
        elif rpm >= peak * NEAR:
            if rpm > peak:
                self._peak = rpm
            if not self._near:
                self._returns += 1
                self._near = True
        else:
            if rpm < peak * AWAY:
                self._near = False
            return self._limit
        peak = self._peak
        if peak < LEAST or (self._returns < CONFIRMED and peak < FALLBACK):
            self._limit = None
        else:
            self._limit = peak
        return self._limit

    def learning(self, family: Family | None) -> str | None:
        """The status note while the active family's limit is still being learnt."""
        if family is None or self._car is None or not _learns(family, self._car[1]):
            return None
        if self._car[0] is not family or self._returns >= CONFIRMED:
            return None
        if self._peak < LEAST:
            return "learning the rev limit"
        return f"learning the rev limit ({self._peak:.0f} rpm so far)"
