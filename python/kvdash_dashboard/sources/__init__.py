"""The telemetry families the dashboard understands, by --source name."""

from __future__ import annotations

from . import (
    ac,
    acevo,
    ams2,
    codemasters,
    demo,
    ets2,
    f1,
    forza,
    gt7,
    gts,
    iracing,
    kartkraft,
    lmu,
    outgauge,
    pcars,
    pmr,
    r3e,
    rbr,
    wrc,
    wreckfest2,
)
from .base import Decoder, Family, Reader

# Order matters where families share a port: a datagram goes to the first
# family whose decoder takes it. On port 20777 the older Codemasters format
# (WRC Generations' longer packets among it) and EA SPORTS WRC come before F1:
# no F1 packet has one of their lengths but one, which WRC refuses by its header.
_ALL = (
    outgauge.FAMILY,
    forza.FAMILY,
    codemasters.FAMILY,
    wrc.FAMILY,
    f1.FAMILY,
    # Decryption needs pycryptodome.
    *((gt7.FAMILY, gts.FAMILY) if gt7.AVAILABLE else ()),
    wreckfest2.FAMILY,
    rbr.FAMILY,
    pmr.FAMILY,
    *((kartkraft.FAMILY,) if kartkraft.AVAILABLE else ()),  # needs flatbuffers
    ac.FAMILY,
    iracing.FAMILY,
    r3e.FAMILY,
    ams2.FAMILY,
    pcars.FAMILY,
    lmu.FAMILY,
    acevo.FAMILY,
    ets2.FAMILY,
    demo.FAMILY,
)
FAMILIES: dict[str, Family] = {f.name: f for f in _ALL}
# Families that need a package that is not installed, and how to get it.
UNAVAILABLE: dict[str, str] = {
    **({} if gt7.AVAILABLE else {"gt7": gt7.MISSING, "gts": gt7.MISSING}),
    **({} if kartkraft.AVAILABLE else {"kartkraft": kartkraft.MISSING}),
}

__all__ = ["FAMILIES", "UNAVAILABLE", "Decoder", "Family", "Reader"]
