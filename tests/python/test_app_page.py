"""The --http page in a real browser: Debian's chromium, headless, driven by
Selenium through the system's chromedriver."""

from __future__ import annotations

import os
import shutil
import time
from collections.abc import Iterator
from typing import Any

import pytest
from test_app_run import wait_for
from test_app_web import app_with_page

import kvdash_virtual as vd

pytest.importorskip("h11")
webdriver = pytest.importorskip("selenium.webdriver")
CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and DRIVER), reason="needs chromium and chromium-driver (scripts/setup.sh)"
)

# Lit segments, a to g, of what the page draws -> the character.
CHARACTERS = {
    "abcdef": "0", "bc": "1", "abdeg": "2", "abcdg": "3", "bcfg": "4", "acdfg": "5",
    "acdefg": "6", "abc": "7", "abcdefg": "8", "abcdfg": "9", "g": "-", "eg": "r", "": " ",
}  # fmt: skip

# The digits left to right as text, a "." after each lit point.
SHOWN = """
return [...document.querySelectorAll("g.digit")].map((g) =>
  [...g.querySelectorAll(".seg")].map((s) => s.classList.contains("on") ? "1" : "0").join("")
  + (g.querySelector(".dp").classList.contains("on") ? "." : ""));
"""


def shown(browser: Any) -> tuple[str, str, str]:
    """(left panel, gear, right panel) as the page draws them."""
    cells = []
    for digit in browser.execute_script(SHOWN):
        lit = "".join(name for name, on in zip("abcdefg", digit[:7], strict=True) if on == "1")
        cells.append(CHARACTERS.get(lit, "?") + digit[7:])
    return "".join(cells[:6]), "".join(cells[6:7]), "".join(cells[7:])


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1000,400"):
        options.add_argument(flag)
    # The browser is not under test: no sanitizer runtime preloaded into it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(DRIVER, env=env))
    yield driver
    driver.quit()


# Notes, in the page, when the drawing last changed (the browser's clock is the system's).
WATCH = """
window.drawn = [];
new MutationObserver(() => window.drawn.push(performance.timeOrigin + performance.now()))
  .observe(document.getElementById("display"), {attributes: true, subtree: true});
"""


def test_the_page_draws_each_packet_within_100_ms(browser: Any, display: vd.VirtualDisplay) -> None:
    run, send, port = app_with_page(4.0)
    browser.get(f"http://127.0.0.1:{port}/")
    wait_for(lambda: shown(browser)[0].strip() != "", 5.0)  # drawn: the panels' placeholders
    browser.execute_script(WATCH)
    delays = []
    for gear, speed, fuel in ((4, 50.0, 0.5), (6, 12.5, 0.125), (0, 70.0, 1.0)):
        sent = time.time()
        send(gear=gear, speed=speed, fuel=fuel)
        left, shift = f"{round(speed * 3.6):6d}", "r" if gear == 0 else str(gear - 1)
        wait_for(lambda: shown(browser)[:2] == (left, shift), 2.0)  # noqa: B023
        delays.append(browser.execute_script("return window.drawn.at(-1);") / 1000 - sent)
    assert shown(browser) == ("   252", "r", "  100.0")
    assert max(delays) < 0.1, delays
    assert run.join() == 0


def test_the_overlay_is_transparent(browser: Any) -> None:
    run, _, port = app_with_page(1.5)
    backgrounds = "return [document.documentElement, document.body].map((e) => "
    backgrounds += "getComputedStyle(e).backgroundColor);"
    browser.get(f"http://127.0.0.1:{port}/?overlay=1")
    assert browser.execute_script(backgrounds) == ["rgba(0, 0, 0, 0)"] * 2
    browser.get(f"http://127.0.0.1:{port}/")
    assert "rgba(0, 0, 0, 0)" not in browser.execute_script(backgrounds)
    assert run.join() == 0


def test_the_page_comes_back_when_the_app_restarts(browser: Any) -> None:
    first, send, port = app_with_page(1.5)
    browser.get(f"http://127.0.0.1:{port}/")
    send(gear=3, speed=10.0)
    wait_for(lambda: shown(browser)[1] == "2", 3.0)
    assert first.join() == 0
    wait_for(
        lambda: "offline" in browser.execute_script("return document.documentElement.className")
    )
    second, send, _ = app_with_page(4.0, port)
    send(gear=8, speed=10.0)
    wait_for(lambda: shown(browser)[1] == "7", 3.0)  # the page found the new app by itself
    assert second.join() == 0
