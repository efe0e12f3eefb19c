"""The display page in a real browser for the page's tests: Debian's
chromium, headless, driven by Selenium through the system's chromedriver;
what the page draws read back as text."""

from __future__ import annotations

import os
import shutil
from collections.abc import Iterator
from typing import Any

import pytest

webdriver = pytest.importorskip("selenium.webdriver")
CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")


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
