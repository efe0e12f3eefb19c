"""The settings file: read (read), checked by one validator (check), merged
layer by layer for a game and car (layers), written back with its comments
(write); keys names every key it may hold."""

from .check import SettingsError, checked
from .keys import MAX_GEARS, PER_CAR, kept_keys
from .layers import Settings
from .read import default_path, given_options, load

__all__ = [
    "MAX_GEARS",
    "PER_CAR",
    "Settings",
    "SettingsError",
    "checked",
    "default_path",
    "given_options",
    "kept_keys",
    "load",
]
