"""The shared-memory reader: a game appearing, publishing, pausing, torn
copies, a file that shrinks or vanishes, and the game coming back. Runs on
files in a folder, or on Windows on real named mappings."""

from __future__ import annotations

import dataclasses
import os
import sys
import tempfile
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType

import pytest
from game_pages import (
    SAMPLE,
    Pages,
    Publisher,
    TornView,
    ac_pages,
    acevo_pages,
    ams2_pages,
    check_sane,
    ets2_pages,
    iracing_pages,
    r3e_pages,
    write_pages,
)
from game_pages_newer_shm import pcars_pages
from hypothesis import given, settings
from hypothesis import strategies as st

from kvdash_dashboard.sources import ac, acevo, ams2, ets2, iracing, pcars, r3e, shm
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
    "pcars": (pcars, lambda t, n: pcars_pages(t)),  # no counter: the content is the news
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


# Sizes the Proton bridges publish (simshmbridge, Datalink): the game's page
# from offset 0, zeros after it.
BRIDGED = [("ams2", 102288), ("r3e", 64000), ("r3e", 39320), ("ac", 2048)]


@pytest.mark.skipif(sys.platform == "win32", reason="files in a folder")
@pytest.mark.parametrize("game, size", BRIDGED)
def test_bridge_files_larger_than_the_page_are_read(game: str, size: int, tmp_path: Path) -> None:
    module, pages = GAMES[game]
    write_pages(tmp_path, {k: v.ljust(size, b"\0") for k, v in pages(SAMPLE, 1).items()})
    family: Family = module.FAMILY
    assert family.reader is not None
    reader = family.reader(str(tmp_path))
    try:
        data = reader.poll(1.0)
        assert data is not None and module.FAMILY.decoder().decode(data).gear == SAMPLE.gear
    finally:
        reader.close()


def poll_in_thread(reader: ShmReader) -> bytes | None:
    """One poll, which must not block (a FIFO opened for reading would)."""
    out: list[bytes | None] = []
    thread = threading.Thread(target=lambda: out.append(reader.poll(1.0)), daemon=True)
    thread.start()
    thread.join(5)
    assert not thread.is_alive(), "the poll blocked"
    return out[0]


@pytest.mark.skipif(sys.platform == "win32", reason="files in a folder")
def test_files_that_cannot_be_used_are_named(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    reader = ShmReader(r3e.NAMES, r3e.take, str(tmp_path))
    path = tmp_path / "$R3E"
    os.mkfifo(path)
    assert poll_in_thread(reader) is None and reader.problem == f"{path}: not a file"
    path.unlink()
    path.mkdir()
    assert poll_in_thread(reader) is None and reader.problem == f"{path}: not a file"
    path.rmdir()
    write_pages(tmp_path, {"$R3E": r3e_pages(SAMPLE)["$R3E"][:1000]})
    assert poll_in_thread(reader) is None
    assert (
        reader.problem is not None and "1000 bytes, smaller than the game's page" in reader.problem
    )
    write_pages(tmp_path, r3e_pages(SAMPLE))
    assert poll_in_thread(reader) is not None and reader.problem is None
    # A bridge's file far too small is named with its own size.
    write_pages(tmp_path, {"$pcars2$": bytes(4096)})
    small = ShmReader(ams2.NAMES, ams2.take, str(tmp_path))
    assert poll_in_thread(small) is None and small.problem == (
        f"{tmp_path / '$pcars2$'}: 4096 bytes, smaller than the game's page (7324 bytes)"
    )
    small.close()
    # Root reads every file: the refusal is played by os.open.
    reader.close()

    def denied(*_args: object) -> int:
        raise PermissionError(13, "Permission denied")

    monkeypatch.setattr(os, "open", denied)
    assert poll_in_thread(reader) is None and reader.problem == f"{path}: permission denied"
    os.unlink(path)  # absent: nothing to say
    monkeypatch.undo()
    assert poll_in_thread(reader) is None and reader.problem is None


class NamedLike(BytesView):
    """A Windows named mapping: it cannot tell whether its game is gone."""

    def stale(self) -> bool:
        return True


def test_a_mapping_whose_counters_stop_is_opened_afresh(monkeypatch: pytest.MonkeyPatch) -> None:
    pages = {"page": r3e_pages(SAMPLE)["$R3E"]}
    opened: list[str] = []

    def open_view(name: str, _shm_dir: str | None) -> NamedLike | None:
        opened.append(name)
        return NamedLike(pages[name]) if name in pages else None

    monkeypatch.setattr(shm, "open_view", open_view)
    reader = ShmReader(["page"], r3e.take, None)
    assert reader.poll(1.0) is not None and reader.poll(1.5) is None
    # Counters stopped a second: let go, opened again; the same page is no news.
    assert reader.poll(2.1) is None and not reader.present
    assert reader.poll(reader.next_poll) is None and reader.present and len(opened) == 2
    del pages["page"]  # the game has quit: once let go, its mapping is gone
    assert reader.poll(3.2) is None and reader.poll(reader.next_poll) is None
    assert not reader.present


@pytest.mark.skipif(sys.platform == "win32", reason="files in a folder")
@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(
            st.sampled_from(["write", "truncate", "replace", "remove", "fifo"]),
            st.integers(0, 50_000),
            st.binary(max_size=64),
        ),
        max_size=8,
    )
)
def test_readers_survive_files_changing_under_them(
    steps: list[tuple[str, int, bytes]],
) -> None:
    with tempfile.TemporaryDirectory() as folder:
        base = Path(folder)
        readers = {name: (m, m.FAMILY.reader(folder)) for name, (m, _) in GAMES.items()}
        for _, pages in GAMES.values():
            write_pages(base, pages(SAMPLE, 1))
        now = 1.0
        try:
            for action, at, junk in steps:
                for module, _ in readers.values():
                    path = base / module.NAMES[at % len(module.NAMES)]
                    if path.is_file() and action == "write":
                        with open(path, "r+b") as f:
                            f.seek(at)
                            f.write(junk)
                    elif path.is_file() and action == "truncate":
                        os.truncate(path, at)
                    elif action == "replace":
                        path.unlink(missing_ok=True)
                        path.write_bytes(junk * (at // max(1, len(junk))))
                    elif action == "remove" and path.is_file():
                        path.unlink()
                    elif action == "fifo" and not path.exists():
                        os.mkfifo(path)
                now += 1.1
                for module, reader in readers.values():
                    data = reader.poll(now)
                    t = module.FAMILY.decoder().decode(data) if data is not None else None
                    if t is not None:
                        check_sane(t)
        finally:
            for _, reader in readers.values():
                reader.close()
