"""Where the RPM LEDs start and the shift light comes on, as shares of the
rev limit: the dashboard draws by them, the rev-limit learner falls back on
them."""

SHIFT_SHARE = 0.96  # of the rev limit: all LEDs lit, flashing past it
START_SHARE = 0.70  # of the shift point: the first LED
DEFAULT_SHIFT = 7500.0  # rpm, where neither the user nor the game says
