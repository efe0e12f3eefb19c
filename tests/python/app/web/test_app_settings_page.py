"""The settings page in a real browser (headless chromium through Selenium):
a shift point changed and saved reaches the file and the display; and the
display page's options for streams."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest
from app_harness import FILE, app_with_settings, rpm_leds, wait_for
from page_harness import CHROMIUM, DRIVER, browser, shown  # noqa: F401 (the fixture)

import kvdash_virtual as vd

pytest.importorskip("tomlkit")
By = pytest.importorskip("selenium.webdriver.common.by").By
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
    # The car driving now comes first, with its table.
    wait_for(lambda: scope.get_attribute("value") == "car:outgauge:XRT", 5.0)
    first = browser.find_element(By.CSS_SELECTOR, 'input[data-key="shift"][data-gear="1"]')
    assert first.get_attribute("value") == "7000"
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


def test_the_display_page_scaled_and_leds_only(browser: Any, tmp_path: Path) -> None:  # noqa: F811
    run, port, _, _ = app_with_settings(tmp_path, 2.0)
    browser.get(f"http://127.0.0.1:{port}/?scale=0.5&layout=leds")
    size = "const r = document.getElementById('display').getBoundingClientRect();"
    assert browser.execute_script(size + "return [r.width, r.height];") == [500, 140]
    hidden = "return [...document.querySelectorAll('.panel')]"
    hidden += ".map((e) => getComputedStyle(e).display);"
    assert browser.execute_script(hidden) == ["none", "none"]
    browser.get(f"http://127.0.0.1:{port}/?scale=1e9")
    assert browser.execute_script(size + "return r.width;") == 4000  # at most 4 times
    # No touch screen here: no "keep the screen on" switch.
    assert not browser.find_element(By.ID, "wake").is_displayed()
    assert run.join() == 0
