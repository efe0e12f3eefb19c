"""What the app tells the Windows host (kvdash.exe's icon): run in-process with
a stand-in for the host's built-in module, as kvdash.exe runs it."""

from __future__ import annotations

import types
from pathlib import Path

import pytest

from kvdash_dashboard import host, main


class StandIn(types.ModuleType):
    """_kvdash_host as kvdash.exe (tray=True) or kvdash-dashboard.exe builds it in."""

    def __init__(self, tray: bool) -> None:
        super().__init__("_kvdash_host")
        self.is_tray = tray
        self.states: list[str] = []
        self.ports: list[int] = []
        self.opened = 0

    def set_state(self, text: str) -> None:
        self.states.append(text)

    def set_port(self, port: int) -> None:
        self.ports.append(port)

    def open_settings(self) -> None:
        self.opened += 1

    def tray(self) -> bool:
        return self.is_tray


@pytest.fixture
def stand_in(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> StandIn:
    module = StandIn(tray=True)
    monkeypatch.setattr(host, "_module", module)
    monkeypatch.setattr(host, "_last_state", None)
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "data"))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    return module


def run_demo(*options: str) -> int:
    return main(["--source", "demo", "--seconds", "1.5", *options])


def test_the_icon_says_the_game_and_the_display_and_learns_the_port(
    stand_in: StandIn, tmp_path: Path
) -> None:
    assert run_demo("--http", "127.0.0.1:0") == 0
    assert stand_in.states, "no state was given to the icon"
    # Said when it changes, not at every update.
    assert all(a != b for a, b in zip(stand_in.states, stand_in.states[1:], strict=False))
    playing = stand_in.states[-1]
    assert playing.startswith("simulated lap · kv-gt · "), playing
    assert playing.endswith((" · preview", " · virtual display", " · display connected"))
    assert len(stand_in.ports) == 1 and 0 < stand_in.ports[0] < 65536


def test_a_first_start_opens_the_settings_page_once(stand_in: StandIn, tmp_path: Path) -> None:
    assert run_demo("--http", "127.0.0.1:0") == 0
    assert stand_in.opened == 1
    assert run_demo("--http", "127.0.0.1:0") == 0
    assert stand_in.opened == 1, "opened again at the next start"


@pytest.mark.parametrize(
    "why",
    ["a settings file", "the command line", "no web server"],
)
def test_the_settings_page_stays_closed(
    stand_in: StandIn, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, why: str
) -> None:
    options = ["--http", "127.0.0.1:0"]
    if why == "a settings file":
        (tmp_path / "config" / "kvdash").mkdir(parents=True)
        (tmp_path / "config" / "kvdash" / "dashboard.toml").write_text("hz = 100\n")
    elif why == "the command line":
        monkeypatch.setattr(stand_in, "is_tray", False)
    else:
        options = []
    assert run_demo(*options) == 0
    assert stand_in.opened == 0
    if why == "no web server":
        assert stand_in.ports == [0]
