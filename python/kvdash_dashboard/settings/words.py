"""What the settings page calls each key, and its help where the option's
own is written for the command line (a --no- switch describes the opposite
of the key it sets; "the list is below" has no list on the page)."""

from __future__ import annotations

# A label per key the file may hold, in the user's words.
LABELS: dict[str, str] = {
    "source": "game",
    "listen": "UDP port",
    "bind": "listen on address",
    "console": "console address",
    "shm_dir": "shared-memory folder",
    "left": "left panel",
    "right": "right panel",
    "rpm_shift": "shift point (rpm)",
    "rpm_start": "first RPM LED (rpm)",
    "units": "speed units",
    "neutral": "neutral shown as",
    "popups": "pop-ups",
    "pit_blink": "pit limiter blink",
    "hz": "updates a second",
    "view": "terminal view",
    "http": "web page address",
    "leds": "warning LEDs",
    "shift": "shift points per gear",
    "fuel_low": "low fuel warning",
    "rpm_limit": "rev limit (rpm)",
}

# The page's help for keys whose option's help does not read as the key's.
PAGE_HELP: dict[str, str] = {
    "source": "the game to read: auto reads every game at once (the page's list has them all)",
    "listen": "where one game chosen above listens, [HOST:]PORT (empty: its own port)",
    "popups": "show pop-ups after a lap and a changed setting: the lap just ended (5 s) "
    "and a changed TC, ABS, brake bias or engine map (2 s), over the panels",
    "pit_blink": "the RPM LEDs blink while the pit limiter is on (false: they show the rpm)",
    "hz": "the most updates of the display a second (at most 1000)",
    "http": "where these pages are served, [HOST:]PORT (0.0.0.0:PORT for a phone on your "
    "network); from the next start",
    "shm_dir": "where shared-memory games are published as files (not on Windows)",
}


def label(key: str) -> str:
    return LABELS.get(key, key.replace("_", " "))
