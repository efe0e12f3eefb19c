"""The --http page in a real browser: Debian's chromium, headless, driven by
Selenium through the system's chromedriver."""

from __future__ import annotations

import time
from typing import Any

import pytest
from app_harness import app_with_page, wait_for

import kvdash_virtual as vd

pytest.importorskip("h11")
from page_harness import CHROMIUM, DRIVER, browser, shown  # noqa: F401 (the fixture)

pytestmark = pytest.mark.skipif(
    not (CHROMIUM and DRIVER), reason="needs chromium and chromium-driver (scripts/setup.sh)"
)


# Notes, in the page, when the drawing last changed (the browser's clock is the system's).
WATCH = """
window.drawn = [];
new MutationObserver(() => window.drawn.push(performance.timeOrigin + performance.now()))
  .observe(document.getElementById("display"), {attributes: true, subtree: true});
"""


def test_the_page_draws_each_packet_within_100_ms(browser: Any, display: vd.VirtualDisplay) -> None:  # noqa: F811
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


def test_the_overlay_is_transparent(browser: Any) -> None:  # noqa: F811
    run, _, port = app_with_page(1.5)
    backgrounds = "return [document.documentElement, document.body].map((e) => "
    backgrounds += "getComputedStyle(e).backgroundColor);"
    browser.get(f"http://127.0.0.1:{port}/?overlay=1")
    assert browser.execute_script(backgrounds) == ["rgba(0, 0, 0, 0)"] * 2
    browser.get(f"http://127.0.0.1:{port}/")
    assert "rgba(0, 0, 0, 0)" not in browser.execute_script(backgrounds)
    assert run.join() == 0


def test_the_page_comes_back_when_the_app_restarts(browser: Any) -> None:  # noqa: F811
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
