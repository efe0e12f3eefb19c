"""The settings page in a real browser (headless chromium through Selenium):
it opens on every game, shows what is in force where a table sets nothing, a
shift point changed and saved reaches the file and the display, other warning
LEDs are named at once; and the display page's options for streams."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest
from app_harness import FILE, app_with_settings, rpm_leds, wait_for
from page_harness import CHROMIUM, DRIVER, browser, shown  # noqa: F401 (the fixture)

import kvdash_virtual as vd
from kvdash_dashboard.sources import FAMILIES

pytest.importorskip("tomlkit")
By = pytest.importorskip("selenium.webdriver.common.by").By
Select = pytest.importorskip("selenium.webdriver.support.select").Select
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and DRIVER), reason="needs chromium and chromium-driver (scripts/setup.sh)"
)


def test_a_shift_point_changed_on_the_page_reaches_the_file_and_the_display(
    browser: Any,  # noqa: F811
    tmp_path: Path,
    display: vd.VirtualDisplay,
) -> None:
    run, port, path, send = app_with_settings(tmp_path, 12.0)
    wait_for(lambda: send() and rpm_leds(display) == 7)  # 6000 rpm, shifting at 7000
    browser.get(f"http://127.0.0.1:{port}/settings")
    scope = browser.find_element(By.ID, "scope")
    # Every game first; this game and this car named, one choice away.
    wait_for(lambda: len(scope.find_elements(By.TAG_NAME, "option")) == 3, 5.0)
    assert scope.get_attribute("value") == "top"
    names = [o.text for o in scope.find_elements(By.TAG_NAME, "option")]
    assert names[1:] == ["this game: OutGauge (outgauge)", "this car: XRT in OutGauge (outgauge)"]
    popups = browser.find_element(By.CSS_SELECTOR, ".key-popups")
    assert (
        "pop-ups\n" in popups.text
        and "show pop-ups after a lap and a changed setting" in popups.text
    )
    # The car's table a click away.
    browser.find_element(By.CSS_SELECTOR, '#tabs [data-scope="car:outgauge:XRT"]').click()
    assert scope.get_attribute("value") == "car:outgauge:XRT"
    tab = browser.find_element(By.CSS_SELECTOR, '#tabs [data-scope="car:outgauge:XRT"]')
    assert tab.get_attribute("aria-selected") == "true"
    # Not set in the car's table: what every game's sets, said so.
    left = browser.find_element(By.CSS_SELECTOR, 'select[data-key="left"] option[value=""]')
    wait_for(lambda: left.text == "speed (from every game)", 5.0)
    first = browser.find_element(By.CSS_SELECTOR, 'input[data-key="shift"][data-gear="1"]')
    assert first.get_attribute("value") == "7000"
    # Your games: who speaks now, and beside what it is heard on, what to set in the game.
    hearing = browser.find_element(By.ID, "hearing")
    wait_for(lambda: hearing.text.startswith("outgauge speaks now, car XRT"), 5.0)
    rows = browser.find_elements(By.CSS_SELECTOR, "#game-table tbody tr")
    assert len(rows) == len(FAMILIES) - 1  # every game but the simulated lap
    cells = [c.text for c in browser.find_elements(By.CSS_SELECTOR, "tr.speaking td")]
    assert cells[1] == "outgauge" and int(cells[3]) > 0 and "Port 4444" in cells[4]
    browser.find_element(By.XPATH, "//button[text()='+ gear']").click()
    second = browser.find_element(By.CSS_SELECTOR, 'input[data-key="shift"][data-gear="2"]')
    second.clear()
    second.send_keys("6000")
    browser.find_element(By.ID, "save").click()
    status = browser.find_element(By.ID, "status")
    wait_for(lambda: status.text.startswith("saved to"), 5.0)
    assert path.read_text() == FILE.replace("[7000]", "[7000, 6000]")
    wait_for(lambda: send() and rpm_leds(display) == 13)  # second gear shifts at 6000 now
    # The preview follows the game, and "try it" sweeps through the points edited.
    wait_for(lambda: shown(browser)[1] == "2", 3.0)
    browser.find_element(By.ID, "try").click()
    info = browser.find_element(By.ID, "info")
    wait_for(lambda: info.text == "try it: gear 2, shift at 6000 rpm", 5.0)
    # A table added by hand since the page read the file: its save is refused, said.
    edited = path.read_text() + '\n[car."outgauge:FBM"]\nshift = [9000]\n'
    path.write_text(edited)
    browser.find_element(By.ID, "save").click()
    wait_for(lambda: status.text.endswith("the file changed since this page read it: reload"))
    assert path.read_text() == edited
    assert run.join() == 0


def test_other_warning_leds_are_named_on_the_preview_before_a_save(
    browser: Any,  # noqa: F811
    tmp_path: Path,
) -> None:
    run, port, path, _ = app_with_settings(tmp_path, 6.0)
    browser.get(f"http://127.0.0.1:{port}/settings")
    labels = "return [...document.querySelectorAll('#display .label')].map((e) => e.textContent);"
    wait_for(lambda: browser.execute_script(labels)[0] == "PIT", 5.0)
    browser.find_element(By.CSS_SELECTOR, 'input[data-key="leds"]').click()
    Select(browser.find_element(By.CSS_SELECTOR, 'select[data-led="1"]')).select_by_value("flag")
    wait_for(lambda: browser.execute_script(labels)[:2] == ["FLAG", "TC"], 5.0)
    # The car's table sets no LEDs: those of every game are in force there.
    Select(browser.find_element(By.ID, "scope")).select_by_value("car:outgauge:XRT")
    held = browser.find_element(By.CSS_SELECTOR, ".key-leds .inforce")
    wait_for(lambda: held.text == "(from every game)", 5.0)
    first = browser.find_element(By.CSS_SELECTOR, 'select[data-led="1"]')
    assert first.get_attribute("value") == "flag" and path.read_text() == FILE
    assert run.join() == 0


def test_the_display_page_scaled_and_leds_only(browser: Any, tmp_path: Path) -> None:  # noqa: F811
    run, port, _, _ = app_with_settings(tmp_path, 3.0)
    browser.get(f"http://127.0.0.1:{port}/?scale=0.5&layout=leds")
    size = "const r = document.getElementById('display').getBoundingClientRect();"
    assert browser.execute_script(size + "return [r.width, r.height];") == [500, 150]
    hidden = "return [...document.querySelectorAll('.panel')]"
    hidden += ".map((e) => getComputedStyle(e).display);"
    assert browser.execute_script(hidden) == ["none", "none"]
    browser.get(f"http://127.0.0.1:{port}/?scale=1e9")
    assert browser.execute_script(size + "return r.width;") == 4000  # at most 4 times
    # No touch screen here: no "keep the screen on" switch.
    assert not browser.find_element(By.ID, "wake").is_displayed()
    browser.get(f"http://127.0.0.1:{port}/")
    link = browser.find_element(By.ID, "to-settings")
    assert link.is_displayed() and link.get_attribute("href").endswith("/settings")
    browser.get(f"http://127.0.0.1:{port}/?overlay=1")
    assert not browser.find_element(By.ID, "to-settings").is_displayed()
    # Twice its size in a smaller window: scrolled to either end, the display is all there.
    browser.set_window_size(1280, 800)
    try:
        browser.get(f"http://127.0.0.1:{port}/?scale=2")
        ends = "window.scrollTo(arguments[0], arguments[0]);" + size
        ends += "return [r.left, r.top, r.right - innerWidth, r.bottom - innerHeight];"
        left, top, _, _ = browser.execute_script(ends, 0)
        _, _, right, bottom = browser.execute_script(ends, 10000)
        assert left >= 0 and top >= 0 and right <= 0 and bottom <= 0
        assert browser.execute_script("return scrollX") > 0
    finally:
        browser.set_window_size(1000, 400)
    assert run.join() == 0
