"""kvdash-dashboard: a racing dashboard on the SLI-PRO display, fed by the
telemetry of the games people drive."""

from __future__ import annotations

from .app import main

__all__ = ["main"]
