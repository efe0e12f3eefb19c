"""The settings of every layer, checked, and how they merge for one game and car."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path

from ..dashboard import Options
from .keys import COMMAND_LINE, Settable, show, table_name


@dataclass(frozen=True)
class Settings:
    """The settings of every layer, checked. values() merges them for one
    game and car: the defaults, the file's top level, its [game.*] table, its
    [car.*] table, the command line."""

    path: Path | None  # the file read; None when there is none
    looked_for: Path | None  # where the file would be
    defaults: Settable
    top: Settable
    games: dict[str, Settable]
    cars: dict[str, Settable]  # by "<source>:<car id>"
    given: Settable  # on the command line
    data: Settable = field(default_factory=dict)  # the file's tables, as read

    def layers(self, game: str | None, car: str | None) -> Iterator[Settable]:
        yield self.top
        if game is not None:
            yield self.games.get(game, {})
            if car is not None:
                yield self.cars.get(f"{game}:{car}", {})
        yield self.given

    def values(self, game: str | None = None, car: str | None = None) -> Settable:
        out = dict(self.defaults)
        for layer in self.layers(game, car):
            if "rpm_shift" in layer and "shift" not in layer:
                out["shift"] = ()  # one shift point above replaces a per-gear list below
            out.update(layer)
        return out

    def options(self, game: str | None = None, car: str | None = None) -> Options:
        v = self.values(game, car)
        return Options(
            left=v["left"],
            right=v["right"],
            rpm_start=v["rpm_start"],
            rpm_shift=v["rpm_shift"],
            units=v["units"],
            neutral=v["neutral"],
            leds=tuple(v["leds"]),
            shift=tuple(v["shift"]),
            fuel_low=v["fuel_low"],
            rpm_limit=v["rpm_limit"],
            popups=v["popups"],
            pit_blink=v["pit_blink"],
        )

    def origin(self, key: str, game: str | None = None, car: str | None = None) -> str:
        """Where the value of key in force comes from, in the user's words."""
        names = ["the top level"]
        if game is not None:
            names.append(table_name("game", game))
            if car is not None:
                names.append(table_name("car", f"{game}:{car}"))
        names.append(COMMAND_LINE)
        found = "the defaults"
        for name, layer in zip(names, self.layers(game, car), strict=True):
            if key in layer:
                found = name
        return found

    def has_car(self, game: str, car: str) -> bool:
        return f"{game}:{car}" in self.cars

    def describe(self) -> str:
        """The file used and the settings in force, as a TOML file would hold them."""
        if self.path is not None:
            lines = [f"# settings file: {self.path}"]
        elif self.looked_for is not None:
            lines = [f"# no settings file ({self.looked_for} does not exist)"]
        else:
            lines = ["# no settings file (no configuration folder)"]
        lines.append("# in force: the defaults, then the file's top level, then the command line")
        for key, value in sorted(self.values().items()):
            lines.append(f"{key} = {show(value)}" if value is not None else f"# {key}: not set")
        if self.games or self.cars:
            lines += ["", "# each while its game or car drives the display (the command line wins)"]
        for kind, tables in (("game", self.games), ("car", self.cars)):
            for name, table in tables.items():
                lines.append(table_name(kind, name))
                lines += [f"{key} = {show(value)}" for key, value in table.items()]
                lines.append("")
        return "\n".join(lines).rstrip()
