"""Types of kvdash, the SLI-PRO racing display driver (Lite edition)."""

from typing import Literal, final, overload

_TextKey = Literal["version", "name", "firmware", "serial number", "device path"]
_NumberKey = Literal[
    "ticks",
    "type",
    "vendor id",
    "product id",
    "panel count",
    "digits",
    "gear",
    "max rpm led",
    "max warning led",
    "max external led",
    "brightness",
    "digital",
    "analog",
    "rumble motor",
]

@final
class kvengine:
    """One SLI-PRO display. Deleting the object blanks the display and releases it."""

    # The name is accepted, positionally or as a keyword, and not used.
    def __init__(self, name: str = "") -> None: ...
    def set_gear(self, gear: str | int, point: bool = False, /) -> None:
        """Set gear"""
    def init(self) -> bool:
        """Initialize the manager."""
    @overload
    def get_device_info(self, key: _TextKey, /) -> str: ...
    @overload
    def get_device_info(self, key: _NumberKey, /) -> int: ...
    @overload
    def get_device_info(self, key: str, /) -> int | str:
        """Retrieve device information."""
    def get_input_data(self) -> tuple[int, int, int, int, int]:
        """Retrieve input data."""
    def start_input_listener(self) -> None:
        """Start Input Listener"""
    def stop_input_listener(self) -> None:
        """Stop Input Listener"""
    def show_me(self) -> None:
        """Send report to board"""
    def set_rpm_led(self, led: int, state: int, /) -> None:
        """Set one RPM LED state"""
    def set_warning_led(self, led: int, state: int, /) -> None:
        """Set warning LED state"""
    def set_external_led(self, led: int, state: int, /) -> None:
        """Set external LED state"""
    def set_brightness(self, level: int, /) -> None:
        """Set global brightness"""
    def set_right_panel(self, text: str, /) -> None:
        """Set right digits display"""
    def set_left_panel(self, text: str, /) -> None:
        """Set left digits display"""
    def terminate(self) -> bool:
        """Close Python module"""

# The same fourteen names at module level. They have no engine: the ones that
# need one print "Error: kvengine Not initialized!" and fail (init answers False).
def set_gear(gear: str | int, point: bool = False, /) -> None: ...
def init() -> bool: ...
def get_device_info(key: str, /) -> int | str: ...
def get_input_data() -> tuple[int, int, int, int, int]: ...
def start_input_listener() -> None: ...
def stop_input_listener() -> None: ...
def show_me() -> None: ...
def set_rpm_led(led: int, state: int, /) -> None: ...
def set_warning_led(led: int, state: int, /) -> None: ...
def set_external_led(led: int, state: int, /) -> None: ...
def set_brightness(level: int, /) -> None: ...
def set_right_panel(text: str, /) -> None: ...
def set_left_panel(text: str, /) -> None: ...
def terminate() -> bool: ...
