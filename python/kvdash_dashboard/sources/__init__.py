"""The telemetry families the dashboard understands, by --source name."""

from __future__ import annotations

from . import demo, outgauge
from .base import Decoder, Family, Reader

# Order matters where families share a port: a datagram goes to the first
# family whose decoder takes it.
FAMILIES: dict[str, Family] = {
    f.name: f
    for f in (
        outgauge.FAMILY,
        demo.FAMILY,
    )
}

__all__ = ["FAMILIES", "Decoder", "Family", "Reader"]
