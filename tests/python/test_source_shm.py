"""The shared-memory reader: a game appearing, publishing, pausing, torn
copies, a file that shrinks or vanishes, and the game coming back. Runs on
files in a folder, or on Windows on real named mappings."""

from __future__ import annotations

import dataclasses
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType

import pytest
from game_pages import (
    SAMPLE,
    Pages,
    Publisher,
    ac_pages,
    acevo_pages,
    ams2_pages,
    ets2_pages,
    iracing_pages,
    r3e_pages,
)

from kvdash_dashboard.sources import ac, acevo, ams2, ets2, iracing, r3e
from kvdash_dashboard.sources.base import Family
from kvdash_dashboard.sources.shm import (
    ABSENT_INTERVAL,
    FAST_INTERVAL,
    IDLE_INTERVAL,
    BytesView,
    Gone,
    ShmReader,
    consistent,
    read_optional,
)
from kvdash_dashboard.telemetry import Telemetry

# family module, pages for (telemetry, update counter)
GAMES: dict[str, tuple[ModuleType, Callable[[Telemetry, int], Pages]]] = {
    "ac": (ac, lambda t, n: ac_pages(t, packet_id=n)),
    "iracing": (iracing, lambda t, n: iracing_pages(t, tick=1000 + n)),
    "r3e": (r3e, lambda t, n: r3e_pages(t, ticks=100_000 + n)),
    "ams2": (ams2, lambda t, n: ams2_pages(t, sequence=2 * n)),
    "acevo": (acevo, lambda t, n: acevo_pages(t, packet_id=n)),
    "ets2": (ets2, lambda t, n: ets2_pages(t, time=1000 * n)),
}


@pytest.fixture
def publisher(tmp_path: Path) -> Iterator[Publisher]:
    p = Publisher(tmp_path)
    yield p
    p.close()


@pytest.mark.parametrize("game", sorted(GAMES))
def test_reader_follows_the_game(game: str, publisher: Publisher) -> None:
    module, pages = GAMES[game]
    family: Family = module.FAMILY
    assert family.reader is not None and family.port is None
    reader = family.reader(publisher.shm_dir)
    assert isinstance(reader, ShmReader)
    decoder = family.decoder()

    def gear_of(snapshot: bytes | None) -> int:
        assert snapshot is not None
        decoded = decoder.decode(snapshot)
        assert decoded is not None
        return decoded.gear

    try:
        # Absent: looked for about once a second.
        assert reader.poll(10.0) is None
        assert reader.next_poll == pytest.approx(10.0 + ABSENT_INTERVAL)

        # Appears and publishes: a snapshot at once, then polled often.
        publisher.publish(pages(SAMPLE, 1))
        assert gear_of(reader.poll(11.0)) == SAMPLE.gear
        assert reader.next_poll == pytest.approx(11.0 + FAST_INTERVAL)

        # Nothing new (paused): no snapshot, and slower polls after a while.
        assert reader.poll(11.002) is None
        publisher.publish(pages(SAMPLE, 1))
        assert reader.poll(11.004) is None
        assert reader.poll(11.8) is None
        assert reader.next_poll == pytest.approx(11.8 + IDLE_INTERVAL)

        # Publishes again.
        second = dataclasses.replace(SAMPLE, gear=4)
        publisher.publish(pages(second, 2))
        assert gear_of(reader.poll(12.0)) == 4

        # The game closes: survived, nothing new; a left-over file is let go.
        for name in module.NAMES:
            publisher.remove(name)
        assert reader.poll(12.5) is None
        assert reader.poll(13.5) is None
        if not publisher.named:
            assert not reader.present
            assert reader.poll(reader.next_poll) is None
            assert reader.next_poll == pytest.approx(13.502 + ABSENT_INTERVAL)

        # It comes back.
        third = dataclasses.replace(SAMPLE, gear=5)
        publisher.publish(pages(third, 3))
        assert gear_of(reader.poll(reader.next_poll)) == 5

        if not publisher.named:
            # A page that shrinks under us: let go, looked for again.
            publisher.shrink(module.NAMES[0], 16)
            now = reader.next_poll
            assert reader.poll(now) is None and not reader.present
            assert reader.poll(now + ABSENT_INTERVAL) is None
            publisher.publish(pages(SAMPLE, 4))
            assert gear_of(reader.poll(now + 2 * ABSENT_INTERVAL)) == SAMPLE.gear
    finally:
        reader.close()


@pytest.mark.skipif(sys.platform == "win32", reason="named mappings have no folder")
def test_reader_waits_for_every_page(publisher: Publisher) -> None:
    publisher.publish({k: v for k, v in ac_pages(SAMPLE).items() if k != "acpmf_static"})
    reader = ShmReader(ac.NAMES, ac.take, publisher.shm_dir)
    try:
        assert reader.poll(1.0) is None and not reader.present
        publisher.publish(ac_pages(SAMPLE))
        assert reader.poll(2.0) is not None
    finally:
        reader.close()


class TornView(BytesView):
    """A page whose game writes (bumps the i32 counter at ``at``) during the
    first ``writes`` copies: every read of the counter sees a new value."""

    def __init__(self, data: bytes, at: int, writes: int) -> None:
        super().__init__(data)
        self.at, self.writes = at, writes

    def read(self, offset: int, length: int) -> bytes:
        if offset == self.at and self.writes > 0:
            self.writes -= 1
            page = bytearray(self.data)
            page[offset : offset + 4] = (
                int.from_bytes(page[offset : offset + 4], "little") + 1
            ).to_bytes(4, "little")
            self.data = bytes(page)
        return super().read(offset, length)


def test_consistent_retries_torn_copies() -> None:
    view = TornView(bytes(range(16)), 0, writes=3)
    assert consistent(view, 0, lambda: view.read(0, 8)) is not None
    assert view.writes == 0
    endless = TornView(bytes(16), 0, writes=1000)
    assert consistent(endless, 0, lambda: endless.read(4, 4)) is None


def test_views_check_bounds(tmp_path: Path) -> None:
    view = BytesView(bytes(8))
    with pytest.raises(Gone):
        view.read(4, 8)
    with pytest.raises(Gone):
        view.read(-1, 2)
    assert read_optional(view, 4, 8) == bytes(8)
    assert read_optional(BytesView(b"abcdefgh"), 2, 2) == b"cd"
