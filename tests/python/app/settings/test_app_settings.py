"""The settings file: its layers in order, its mistakes named, what it changes
on the display, and --print-config."""

from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given
from hypothesis import settings as hypothesis_settings
from hypothesis import strategies as st

import kvdash
import kvdash_virtual as vd
from kvdash_dashboard import dashboard as dash
from kvdash_dashboard import main
from kvdash_dashboard.cli import build_parser
from kvdash_dashboard.settings import Settings, SettingsError, given_options, load
from kvdash_dashboard.sources import FAMILIES, demo
from kvdash_dashboard.sources.recording import Recorder
from kvdash_dashboard.telemetry import FIELD_NAMES, Light, Telemetry

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

LAYERED = """
units = "mph"
left = "speed"
shift = [6000, 6500]

[game.demo]
left = "lap"
right = "rpm"

[car."demo:kv-gt"]
left = "position"
rpm_shift = 7000

[game.forza]
left = "best"
"""


def settings(tmp_path: Path, text: str, *argv: str) -> Settings:
    path = tmp_path / "dashboard.toml"
    path.write_text(text)
    return load(build_parser(), given_options(build_parser(), list(argv)), str(path), FAMILIES)


def test_layers_apply_top_then_game_then_car_then_command_line(tmp_path: Path) -> None:
    s = settings(tmp_path, LAYERED)
    top, game, car = s.options(), s.options("demo"), s.options("demo", "kv-gt")
    assert (top.left, game.left, car.left) == ("speed", "lap", "position")
    assert (top.right, game.right, car.right) == (None, "rpm", "rpm")
    assert top.units == game.units == car.units == "mph"
    assert game.shift == (6000, 6500) and game.rpm_shift is None
    assert car.shift == () and car.rpm_shift == 7000  # one shift point replaces the list
    assert s.options("demo", "other-car").left == "lap"
    assert s.options("forza", "kv-gt").left == "best"  # car tables are per source
    cli = settings(tmp_path, LAYERED, "--left", "time", "--units", "kmh")
    assert cli.options("demo", "kv-gt").left == "time" and cli.options("demo").units == "kmh"
    assert cli.options("demo", "kv-gt").right == "rpm"


BAD = [
    ('left = "speed"\nunits = \n', "line 2", "Invalid value"),
    ('lefft = "speed"', 'key "lefft"', "allowed: bind, car, console, fuel_low, game, http, hz"),
    ('hz = "fast"', 'key "hz"', "must be a number"),
    ("hz = 5000", 'key "hz"', "above 0 and at most 1000"),
    ('units = "furlongs"', 'key "units"', "one of kmh, mph"),
    (
        'leds = ["pit", "tc"]',
        'key "leds"',
        "a list of 6 of pit, tc, abs, drs, engine, flag, yellow",
    ),
    ('leds = ["pit", "tc", "abs", "drs", "oil", "flag"]', 'key "leds"', '"oil" is not an LED'),
    ("shift = [7000, -1]", 'key "shift"', "one per forward gear from first"),
    ('listen = "here:there"', 'key "listen"', "[HOST:]PORT"),
    ('[game.forzza]\nleft = "lap"', "[game.forzza]", "allowed: outgauge, forza"),
    ('[car.kv-gt]\nleft = "lap"', "[car.kv-gt]", '"<source>:<car id>"'),
    ('[game.f1]\nsource = "f1"', 'key "source" in [game.f1]', "allowed: fuel_low, leds, left"),
    ("rpm_start = 5000\n[car.'demo:x']\nshift = [4000]", 'key "shift"', "above rpm_start (5000"),
]


@pytest.mark.parametrize(("text", "where", "allowed"), BAD, ids=[b[1] for b in BAD])
def test_a_mistake_ends_the_app_naming_file_place_and_what_is_allowed(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], text: str, where: str, allowed: str
) -> None:
    path = tmp_path / "mine.toml"
    path.write_text(text)
    assert main(["--config", str(path), "--source", "demo", "--seconds", "1"]) == 2
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1
    assert str(path) in err and where in err and allowed in err


@pytest.mark.parametrize(
    ("text", "argv", "said"),
    [
        ('units = "kmh"', ["--rpm-start", "8000", "--rpm-shift", "7000"],
         "--rpm-shift (7000) must be above --rpm-start (8000), both from the command line"),
        ("rpm_start = 8000", ["--rpm-shift", "7000"], 'the top level: key "rpm_shift" (7000, '
         "from the command line): must be above rpm_start (8000 here, from the top level)"),
        ("[game.demo]\nrpm_shift = 7000", ["--rpm-start", "8000"], '[game.demo]: key '
         '"rpm_shift" (7000, from [game.demo]): must be above rpm_start (8000 here, from the '
         "command line)"),
    ],
)  # fmt: skip
def test_an_rpm_range_upside_down_says_where_each_end_came_from(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], text: str, argv: list[str], said: str
) -> None:
    path = tmp_path / "mine.toml"
    path.write_text(text)
    assert main(["--config", str(path), "--source", "demo", "--seconds", "1", *argv]) == 2
    err = capsys.readouterr().err
    assert said in err
    assert (str(path) in err) == ("rpm" in text)  # the file is named only where it had a part


@pytest.fixture
def config_folder(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """The user's configuration folder, moved to tmp_path."""
    monkeypatch.setenv("APPDATA" if sys.platform == "win32" else "XDG_CONFIG_HOME", str(tmp_path))
    return tmp_path / "kvdash"


def test_a_missing_named_file_is_a_mistake_and_a_missing_default_is_not(
    tmp_path: Path, home: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    assert main(["--config", str(tmp_path / "none.toml")]) == 2
    assert "none.toml: cannot read it" in capsys.readouterr().err
    if sys.platform != "win32":  # Linux: ~/.config without XDG_CONFIG_HOME
        assert main(["--print-config"]) == 0
        out = capsys.readouterr().out
        assert f"# no settings file ({home / '.config' / 'kvdash' / 'dashboard.toml'}" in out


def test_print_config_shows_the_file_and_the_settings_in_force(
    config_folder: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    folder = config_folder
    folder.mkdir(parents=True)
    (folder / "dashboard.toml").write_text('listen = "127.0.0.1:9999"\n' + LAYERED)
    assert main(["--print-config", "--units", "kmh", "--source", "outgauge"]) == 0
    out = capsys.readouterr().out
    assert out.startswith(f"# settings file: {folder / 'dashboard.toml'}\n")
    shown = tomllib.loads(out)  # it reads back as a settings file
    assert shown["units"] == "kmh" and shown["left"] == "speed" and shown["hz"] == 1000
    assert shown["listen"] == "127.0.0.1:9999" and shown["source"] == "outgauge"
    assert shown["leds"] == ["pit", "tc", "abs", "drs", "engine", "flag"]
    assert shown["car"]["demo:kv-gt"] == {"left": "position", "rpm_shift": 7000}


# ---------------------------------------------------------------- on the display


def rpm_count(report: bytes) -> int:
    return sum(report[3:16])


def lit_warnings(report: bytes) -> list[int]:
    return [i + 1 for i in range(6) if report[16 + i] == 1]


def shown(
    engine: kvdash.kvengine, display: vd.VirtualDisplay, layout: dash.Layout, t: Telemetry
) -> bytes:
    frame, _ = layout.frame(t, 0.0)  # at 0.0 a flashing row is lit
    dash.send(engine, frame)
    assert display.last_report is not None
    return display.last_report


def test_the_warning_leds_show_what_the_user_chose(
    engine: kvdash.kvengine, display: vd.VirtualDisplay
) -> None:
    leds = ("fuel_low", "shift", "yellow", "blue", "none", "engine")
    layout = dash.Layout(dash.Options(leds=leds, fuel_low=0.2, rpm_shift=7000), FIELD_NAMES)
    every = Light(sum(int(light) for light in Light.__members__.values()))
    low = Telemetry(gear=3, rpm=7100.0, fuel=0.1, lights=Light.FLAG | Light.YELLOW | Light.ENGINE)
    assert lit_warnings(shown(engine, display, layout, low)) == [1, 2, 3, 6]
    blue = Telemetry(gear=3, rpm=5000.0, fuel=0.3, lights=Light.FLAG | Light.BLUE)
    assert lit_warnings(shown(engine, display, layout, blue)) == [4]
    game_says = Telemetry(gear=3, rpm=1000.0, fuel=None, lights=every)  # "none" stays dark
    assert lit_warnings(shown(engine, display, layout, game_says)) == [2, 3, 4, 6]


def test_each_gear_fills_towards_its_own_shift_point(
    engine: kvdash.kvengine, display: vd.VirtualDisplay
) -> None:
    layout = dash.Layout(dash.Options(shift=(6000, 7000)), FIELD_NAMES)
    # First gear: all lit at 6000; the row starts at 70 % of each gear's point.
    assert rpm_count(shown(engine, display, layout, Telemetry(gear=1, rpm=6000.0))) == 13
    assert rpm_count(shown(engine, display, layout, Telemetry(gear=1, rpm=5500.0))) == 10
    for gear in (2, 5):  # the last point serves the higher gears
        assert rpm_count(shown(engine, display, layout, Telemetry(gear=gear, rpm=6000.0))) == 7
    # Where the game sends no rev limit, the car's rpm_limit stands in for the
    # default 7500 (all lit at 96 % of it, from 70 % of that).
    limited = dash.Layout(dash.Options(rpm_limit=10000.0), FIELD_NAMES)
    assert rpm_count(shown(engine, display, limited, Telemetry(gear=2, rpm=7600.0))) == 4
    assert rpm_count(shown(engine, display, limited, Telemetry(gear=2, rpm=9600.0))) == 13


def test_each_cars_table_drives_the_display_as_soon_as_the_car_does(
    tmp_path: Path, display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str]
) -> None:
    # Two cars of the simulated lap, one after the other: each lights
    # traction control off the line, where its table puts it.
    recording = tmp_path / "two-cars.kvrec"
    recorder = Recorder(str(recording), 0.0)
    for start, car in ((0.0, "kv-gt"), (2.5, "kv-tc")):
        lap = demo.SimulatedLap(demo.Car(car_id=car))
        for i in range(150):
            recorder.write(start + i / 60, "demo", demo.pack(lap.advance(i / 60)))
    recorder.close()
    path = tmp_path / "dashboard.toml"
    path.write_text(
        'leds = ["none", "none", "tc", "none", "none", "none"]\n'
        '[car."demo:kv-gt"]\nleds = ["tc", "none", "none", "none", "none", "none"]\n'
        '[car."demo:kv-tc"]\nleds = ["none", "none", "none", "none", "none", "tc"]\n'
        '[car."forza:1234"]\nleft = "lap"\n'  # a car never seen is fine
    )
    assert main(["--config", str(path), "--replay", str(recording), "--view", "lines"]) == 0
    lit = [led for r in display.reports for led in lit_warnings(r)]
    assert set(lit) == {1, 6} and lit.index(6) > len(lit) - 1 - lit[::-1].index(1)
    out = capsys.readouterr().out
    assert 'Settings of [car."demo:kv-tc"] apply.' in out and "car demo:kv-gt:" in out


def _unreadable(tmp_path: Path, kind: str) -> Path:
    path = tmp_path / "dashboard.toml"
    if kind == "folder":
        path.mkdir()
    elif kind == "pipe":
        if not hasattr(os, "mkfifo"):
            pytest.skip("no FIFOs here")
        os.mkfifo(path)  # nobody writes to it: reading it would wait forever
    elif kind == "device":
        if not os.path.exists("/dev/zero"):
            pytest.skip("no /dev/zero here")
        return Path("/dev/zero")
    elif kind == "huge":
        with open(path, "wb") as f:
            f.truncate(4 << 30)  # sparse: no disk taken
    else:  # nested as deep as the parser's recursion can go, and deeper
        depth = int(kind.split()[0])
        opening, closing = ("[", "]") if "arrays" in kind else ("{a = ", "}")
        path.write_text(f"left = {opening * depth}1{closing * depth}\n")
    return path


@pytest.mark.parametrize(
    ("kind", "said"),
    [
        *[(kind, "not a regular file") for kind in ("folder", "pipe", "device")],
        ("huge", "larger than 1 MiB"),
        *[(kind, "nested deeper than 16 levels") for kind in ("200000 arrays", "100000 tables")],
        ("20 arrays", "nested deeper than 16 levels"),
    ],
)
def test_only_a_regular_small_and_shallow_file_is_read_as_settings(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], kind: str, said: str
) -> None:
    assert main(["--config", str(_unreadable(tmp_path, kind)), "--print-config"]) == 2
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and said in err


HUGE = "1" + "0" * 400  # a whole number no float holds


@pytest.mark.parametrize(
    "text",
    [
        *(f"{key} = {HUGE}" for key in ("rpm_start", "rpm_shift", "hz", "fuel_low", "rpm_limit")),
        f"shift = [{HUGE}]",
        f'[car."demo:x"]\nrpm_limit = -{HUGE}',
        "rpm_start = 1" + "0" * 5000,  # past what Python turns into a number from text
    ],
)
def test_a_number_too_big_for_the_settings_is_one_line_and_status_2(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], text: str
) -> None:
    path = tmp_path / "dashboard.toml"
    path.write_text(text)
    assert main(["--config", str(path), "--print-config"]) == 2
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and str(path) in err and "Traceback" not in err


TOML_PIECES = [
    *("left = ", "shift = ", "leds = ", "rpm_start = ", "hz = ", "units = ", "a = ", "car = "),
    *("fuel_low = ", "rpm_limit = ", HUGE),
    *('"speed"', '"mph"', "7000", "-1", "1e400", "nan", "inf", "0x1F", "true", "1979-05-27"),
    *("[", "]", "{", "}", ", ", ".", "=", '"', "'''", "\n", "\\u0000", "#", " "),
    *("[game.demo]\n", '[car."demo:x"]\n', "[[car]]\n", "[game]\n", '"demo:"', "\x00", "\xe9"),
]


@hypothesis_settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.sampled_from(TOML_PIECES) | st.text(max_size=3), max_size=40).map("".join))
def test_any_document_is_read_or_refused_in_one_line(text: str) -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "dashboard.toml"
        path.write_bytes(text.encode("utf-8", "surrogatepass"))
        try:
            load(build_parser(), {}, str(path), FAMILIES)
        except SettingsError as error:
            assert "\n" not in str(error).strip()
