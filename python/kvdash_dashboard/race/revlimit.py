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

    __slots__ = ("_car", "_near", "_peak", "_returns")  # asked every packet: kept compact

    def __init__(self) -> None:
        self._car: tuple[Family, str, str | None] | None = None
        self._peak = 0.0
        self._returns = 0
        self._near = False

    def learn(self, family: Family, t: Telemetry) -> float | None:
        """Learns from t; answers the limit known so far, or None (the game
        sends its own, or it is still being learnt)."""
        if t.max_rpm is not None or not _learns(family, t.game):
            return None
        car = (family, t.game, t.car)
        if car != self._car:
            self._car, self._peak, self._returns, self._near = car, 0.0, 0, False
        rpm = t.rpm
        if 0.0 < rpm < MOST:
            if rpm > self._peak * RISE:
                self._peak, self._returns, self._near = rpm, 0, True
            elif rpm >= self._peak * NEAR:
                self._peak = max(self._peak, rpm)
                if not self._near:
                    self._returns += 1
                    self._near = True
            elif rpm < self._peak * AWAY:
                self._near = False
        if self._peak < LEAST or (self._returns < CONFIRMED and self._peak < FALLBACK):
            return None
        return self._peak

    def learning(self, family: Family | None) -> str | None:
        """The status note while the active family's limit is still being learnt."""
        if family is None or self._car is None or not _learns(family, self._car[1]):
            return None
        if self._car[0] is not family or self._returns >= CONFIRMED:
            return None
        if self._peak < LEAST:
            return "learning the rev limit"
        return f"learning the rev limit ({self._peak:.0f} rpm so far)"
