"""The telemetry families the dashboard understands, by --source name."""

from __future__ import annotations

from . import ac, acevo, ams2, codemasters, demo, ets2, f1, forza, gt7, iracing, lmu, outgauge, r3e
from .base import Decoder, Family, Reader

# Order matters where families share a port: a datagram goes to the first
# family whose decoder takes it. The older Codemasters format comes before F1
# on port 20777: its packet sizes are exact.
_ALL = (
    outgauge.FAMILY,
    forza.FAMILY,
    codemasters.FAMILY,
    f1.FAMILY,
    *((gt7.FAMILY,) if gt7.AVAILABLE else ()),  # decryption needs pycryptodome
    ac.FAMILY,
    iracing.FAMILY,
    r3e.FAMILY,
    ams2.FAMILY,
    lmu.FAMILY,
    acevo.FAMILY,
    ets2.FAMILY,
    demo.FAMILY,
)
FAMILIES: dict[str, Family] = {f.name: f for f in _ALL}

__all__ = ["FAMILIES", "Decoder", "Family", "Reader"]
