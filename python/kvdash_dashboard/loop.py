"""The loop: inputs -> telemetry -> frames -> the display (and the page).

It waits on the games' sockets with a timeout to its next deadline (a
shared-memory poll, the shift-light flash, a presence check of the display,
the view) and sends a report as soon as new telemetry changes what the
display shows, at most --hz reports a second."""

from __future__ import annotations

import argparse
import select
import selectors
import sys
import time
from typing import TYPE_CHECKING

from .cli import settings_address
from .dashboard import NO_DATA, Frame, Layout, send
from .display import Display, Kind
from .host import Host
from .race.bestlaps import BestLapStore, data_folder
from .race.laps import LapTracker, allows
from .race.revlimit import RevLimits
from .settings import Settings
from .sources import FAMILIES, Family
from .sources.channels import Heard, PolledInput, ReplayInput, UdpInput
from .sources.recording import Recorder
from .telemetry import FIELD_NAMES, Telemetry
from .view import Status, View

if TYPE_CHECKING:
    from .web.server import Showing, WebServer

DISPLAY_WORDS = {
    "connected": "display connected",
    "virtual": "virtual display",
    "preview": "no display: preview",
}
STALE = 2.0  # s without telemetry: the game is gone ("no data")
SWITCH_AFTER = 1.0  # s of silence before another game may take the display
SLACK = 0.02  # s the housekeeping may wait for a game's next packet (see deadline())


class App:
    """The running app: inputs -> telemetry -> frames -> the display."""

    def __init__(
        self,
        args: argparse.Namespace,
        udp: list[UdpInput],
        polled: list[PolledInput],
        replay: ReplayInput | None,
        recorder: Recorder | None,
        display: Display,
        view: View,
        settings: Settings,
        console: str | None = None,
        web: WebServer | None = None,
        host: Host | None = None,
    ) -> None:
        self.udp, self.polled, self.replay = udp, polled, replay
        self.recorder, self.display, self.view = recorder, display, view
        self.web = web
        self.host = host
        if recorder is not None:
            recorder.say = view.say
        if web is not None:
            web.say = view.say
            web.showing = self.showing
        self.settings = settings
        self.period = 1.0 / args.hz
        sole = FAMILIES.get(args.source)
        self.layout_game = sole.name if sole else None  # whose settings apply before a game speaks
        self.layout = Layout(
            settings.options(self.layout_game), sole.fields if sole else FIELD_NAMES
        )
        self.active: Family | None = None
        self.car: str | None = None  # the car's id, as the active source reports it
        self.telemetry: Telemetry | None = None
        self.rev_limits = RevLimits()
        self.rev_limit: float | None = None  # learnt for the car driving now
        self.laps = LapTracker(BestLapStore(data_folder(), view.say))
        # The tracker where the game gives it something to track, else None:
        # neither fed nor asked, packet after packet, for nothing.
        self.race: LapTracker | None = None
        self.last_heard = 0.0
        self.frame: Frame = NO_DATA
        self.flash: float | None = None  # when the shift-light flash changes the frame
        self.dirty = True
        self.sent: Frame | None = None
        self.sent_generation = -1
        self.last_send = -1e9
        self.reports = 0
        self.counted_from = (0, 0)  # the channels' packets and bad ones when this game began
        self.rate = 0.0
        self._rate_mark = (0.0, 0)
        self.said_problems: set[str] = set()
        self.waiting_for = "a game" if args.source == "auto" else FAMILIES[args.source].title
        self.selector = web.selector if web is not None else selectors.DefaultSelector()
        # Where the selector is an epoll (Linux), the loop waits on one of its
        # own over the games' sockets and the selector (ready when one of the
        # page's sockets is): a game's packet is then found in one call, without
        # the selector's bookkeeping. Elsewhere the selector holds them all.
        self._epoll: select.epoll | None = None
        self._games: dict[int, UdpInput] = {}  # by file descriptor, in the epoll
        if sys.platform == "linux" and isinstance(self.selector, selectors.EpollSelector):
            self._epoll = select.epoll()
            self._games = {u.socket.fileno(): u for u in udp}
            for fd in (*self._games, self.selector.fileno()):
                self._epoll.register(fd, select.EPOLLIN)
        else:
            for u in udp:
                self.selector.register(u.socket, selectors.EVENT_READ, u)
        # Consoles that stream only while asked (at the address resolved
        # before the loop), and when to ask next.
        self.console = console
        self.requests = [(u, f) for u in udp for f in u.channel.families if f.request]
        self.next_request = 0.0
        self.end: float | None = None  # when run() returns, if it is to
        self.due = 0.0  # the soonest of every timer: see deadline()
        self.wake = 0.0  # when the loop wakes for it at the latest
        self._page_open = False  # a client of the page connected

    # ------------------------------------------------------------ status

    def status(self) -> Status:
        notes: tuple[str, ...] = ()
        problems = self.problems()
        if self.active is None:
            source = f"waiting for {self.waiting_for}"
            if self.udp:
                ports = ", ".join(str(u.address[1]) for u in self.udp)
                source = f"listening on {ports}: {source}"
            if self.replay is not None:
                source = "replaying"
            if problems:  # a game speaks, but cannot be read as it is set up
                source = " · ".join(problems)
        else:
            t = self.telemetry
            counts = self._counts()
            name = (t.game if t is not None and t.game else "") or self.active.title
            if self.car is not None:  # as a [car."..."] table names it
                name += f", car {self.active.name}:{self.car}"
            source = f"{name}: {counts}"
            if t is None:
                source += " · no data"
            rpm_shift = self.layout.options.rpm_shift
            learning = None if rpm_shift else self.rev_limits.learning(self.active)
            race = allows(self.active.fields, self.layout.options.popups)
            notes = (
                *problems,
                *((learning,) if learning else ()),
                *((f"race info: {race}",) if race else ()),
                *self.layout.unfilled(),
            )
        page = settings_address(*self.web.address) if self.web is not None else ""
        return Status(source, self.display.status(), self.rate, notes, self.layout.labels, page)

    def listening(self) -> list[tuple[str, str, int]]:
        """What is listening or watched: (the --source name, the port or the
        mappings, packets read from it)."""
        found: list[tuple[str, str, int]] = []
        for u in self.udp:
            for name, packets in u.channel.read_by.items():
                found.append((name, str(u.address[1]), packets))
        for p in self.polled:
            where = str(getattr(p.reader, "where", p.channel.name))  # shared memory: its mapping
            found.append((p.channel.families[0].name, where, p.channel.packets))
        if self.replay is not None:
            for c in self.replay.channels:
                for name, packets in c.read_by.items():
                    found.append((name, "recording", packets))
        return found

    def heard(self) -> dict[str, object]:
        """What the settings page shows of what the app hears (GET /api/status)."""
        speaking = self.speaking()
        return {
            "listening": [
                {"source": source, "where": where, "packets": packets}
                for source, where, packets in self.listening()
            ],
            "game": speaking.name if speaking is not None else None,
            "car": self.car if speaking is not None else None,
            "display": self.display_kind(),
            "problems": self.problems(),  # what each game's packets say is wrong, now
        }

    def speaking(self) -> Family | None:
        """The game whose telemetry drives the display now."""
        return self.active if self.telemetry is not None else None

    def display_kind(self) -> str:
        """connected (an SLI-PRO), virtual, or preview (none: the frames drawn only)."""
        if self.display.engine is None:
            return "preview"
        return "virtual" if self.display.kind in (Kind.OURS, Kind.VIRTUAL) else "connected"

    def state_words(self) -> str:
        """What the app does, in a few words: "F1 25 · <car> · display connected"."""
        speaking = self.speaking()
        if speaking is None:
            problems = self.problems()
            game = problems[0] if problems else f"waiting for {self.waiting_for}"
        else:
            t = self.telemetry
            game = (t.game if t is not None and t.game else "") or speaking.title
            if self.car is not None:
                game += f" · {self.car}"
        return f"{game} · {DISPLAY_WORDS[self.display_kind()]}"

    def _say_new_problems(self) -> None:
        """A game's diagnosis said as a line when it changes, so that the log
        and the page keep it after the status line has moved on."""
        for problem in self.problems():
            if problem not in self.said_problems:
                self.view.say(problem)
        self.said_problems = set(self.problems())

    def problems(self) -> list[str]:
        """What each game's packets or mapping say is wrong with its set-up, now."""
        found = [u.channel.problem for u in self.udp] + [p.problem for p in self.polled]
        if self.replay is not None:
            found += [c.problem for c in self.replay.channels]
        return [p for p in found if p]

    def _totals(self) -> tuple[int, int]:
        """Packets and bad ones, over every channel, so far."""
        channels = [u.channel for u in self.udp] + [p.channel for p in self.polled]
        if self.replay is not None:
            channels += self.replay.channels
        return sum(c.packets for c in channels), sum(c.bad for c in channels)

    def _counts(self) -> str:
        """Since the game now driving the display began to."""
        packets, bad = self._totals()
        return f"{packets - self.counted_from[0]} packets, {bad - self.counted_from[1]} bad"

    # ------------------------------------------------------------ events

    def hear(self, heard: Heard, now: float) -> None:
        t = heard.telemetry
        if heard.family is not self.active:
            if self.active is not None and now - self.last_heard < SWITCH_AFTER:
                return  # another game speaks while this one still does
            self.active = heard.family
            self.car = t.car
            packets, bad = self._totals()
            self.counted_from = (packets - 1, bad)  # this game's first packet counts
            self.laps.use(heard.family)
            self.race = self.laps if self.laps.active else None
            self._apply_settings()
            game = t.game or heard.family.title
            self.view.say(f"Telemetry from {game} ({heard.family.name}).")
        elif t.car is not None and t.car != self.car:
            self.car = t.car
            self._apply_settings()
        self.telemetry = t
        self.rev_limit = self.rev_limits.learn(heard.family, t)
        if self.race is not None:
            self.race.update(t, now)
        self.last_heard = now
        self.dirty = True

    def _apply_settings(self) -> None:
        """The settings of the game and car now driving the display, at once."""
        assert self.active is not None
        game = self.active.name
        self.layout = Layout(self.settings.options(game, self.car), self.active.fields, self.frame)
        if self.car is not None and self.settings.has_car(game, self.car):
            self.view.say(f'Settings of [car."{game}:{self.car}"] apply.')

    def driving(self) -> tuple[str | None, str | None]:
        """The game (its source's name) and car the display follows now."""
        return (self.active.name if self.active is not None else None), self.car

    def use_settings(self, settings: Settings) -> None:
        """Settings changed while running (the settings page): the display
        follows at once, as on a game or car switch."""
        self.settings = settings
        if self.active is not None:
            self._apply_settings()
        else:
            options = settings.options(self.layout_game)
            self.layout = Layout(options, self.layout.fields, self.frame)
        self.dirty = True

    def deadline(self) -> tuple[float, float]:
        """When something is next due, and when to wake for it, whatever comes
        in meanwhile: worked out afresh each time something timed has run. A
        game's packet in between can only bring a time nearer (the frame's
        flash, a report held back by --hz): that one is taken into ``due``
        and ``wake`` where it arises. While a game speaks, the housekeeping
        (the display's presence, the view, "no data") waits up to SLACK for
        the game's next packet, which wakes the loop anyway, rather than
        waking it on its own."""
        chores = self.display.next_check
        if self.view.next_update < chores:
            chores = self.view.next_update
        # Looked at again when due: a packet meanwhile has moved it later.
        if self.telemetry is not None and self.last_heard + STALE < chores:
            chores = self.last_heard + STALE
        soonest = chores if self.telemetry is None else chores + SLACK
        if self.end is not None and self.end < soonest:
            soonest = self.end
        for p in self.polled:
            if p.next_poll < soonest:
                soonest = p.next_poll
        if self.replay is not None and not self.replay.finished:
            soonest = min(soonest, self.replay.next_poll)
        if self.flash is not None and self.flash < soonest:
            soonest = self.flash
        if self.last_send + self.period < soonest and self._unsent():
            soonest = self.last_send + self.period
        if self.requests and self.next_request < soonest:
            soonest = self.next_request
        if self.web is not None:
            soonest = min(soonest, self.web.next_deadline())
        return min(chores, soonest), soonest

    def _unsent(self) -> bool:
        """Whether the display has yet to get the frame (or a new engine the frame)."""
        return self.display.engine is not None and (
            self.frame is not self.sent or self.display.generation != self.sent_generation
        )

    def step(self, timeout: float) -> None:
        """Waits up to timeout for input, then does what came and what is due.

        A game's packet between deadlines takes the short way: decoded,
        heard, its frame made and sent. Everything timed (polls, the
        display's presence, the flash, the view, the page) is looked at only
        once its time has come, or when anything but a game's packet arrived
        (the page's sockets), and then ``due`` is worked out afresh."""
        heard: list[Heard] = []
        # A page open: each new frame goes to it, so every loop is a whole round.
        timed = self._page_open
        if self._epoll is not None:
            events = self._epoll.poll(timeout if timeout > 0.0 else 0.0)
            now = time.monotonic()
            for fd, _ in events:
                game = self._games.get(fd)
                if game is not None:
                    game.receive(now, self.recorder, heard)
                else:  # the page's sockets: the selector says which
                    for key, mask in self.selector.select(0.0):
                        key.data(mask, now)
                    timed = True
        # Nothing to wait on (shared memory alone, or the web page resting with
        # no client): Windows' select() refuses empty sets. A game's socket is
        # always there: the map is counted only without one.
        elif self.udp or self.selector.get_map():
            ready = self.selector.select(timeout if timeout > 0.0 else 0.0)
            now = time.monotonic()
            for key, mask in ready:
                data = key.data
                if isinstance(data, UdpInput):
                    data.receive(now, self.recorder, heard)
                else:  # the web server's sockets carry their own handler
                    data(mask, now)
                    timed = True
        else:
            if timeout > 0:
                time.sleep(timeout)
            now = time.monotonic()
        if timed or now >= self.due:
            self._timed(now, heard)
            return
        for h in heard:
            self.hear(h, now)
        if self.dirty:
            self._show(now)

    def _timed(self, now: float, heard: list[Heard]) -> None:
        """The whole round: what the timers bring and do, then the frame, the
        page and the view, and the next deadline."""
        for p in self.polled:
            if now >= p.next_poll:
                heard.extend(p.poll(now, self.recorder))
        if self.requests and now >= self.next_request:
            self._ask_consoles(now)
        if self.replay is not None and now >= self.replay.next_poll:
            heard.extend(self.replay.poll(now, self.recorder))
            for note in self.replay.notes:
                self.view.say(note)
            self.replay.notes.clear()
        for h in heard:
            self.hear(h, now)
        if self.telemetry is not None and now - self.last_heard > STALE:
            self.telemetry = None
            self.dirty = True
        if now >= self.display.next_check:
            event = self.display.check(now)
            if event == "unplugged":
                self.view.say("The display was unplugged: waiting for it.")
            elif event == "plugged":
                self.view.say(f"Driving the {self.display.status()} again.")
        if self.flash is not None and now >= self.flash:
            self.dirty = True
        self._show(now)
        if self.web is not None:
            self.web.tick(now)
        if now >= self.view.next_update:
            self._say_new_problems()
            if self.host is not None:
                self.host.state(self.state_words())
            self._measure_rate(now)
            self.view.update(now, self.frame, self.status())
        self.due, self.wake = self.deadline()
        self._page_open = self.web is not None and bool(self.web.clients)

    def _show(self, now: float) -> None:
        """The frame made anew where something changed it, and sent where the
        display has yet to get it and --hz allows."""
        if self.dirty:
            # An unchanged frame is the same object: only a different one is new.
            self.frame, self.flash = self.layout.frame(
                self.telemetry, now, self.rev_limit, self.race
            )
            self.dirty = False
            if self.flash is not None and self.flash < self.wake:
                self.wake = self.flash
                self.due = min(self.due, self.flash)
        engine = self.display.engine
        if engine is None:
            return
        generation = self.display.generation
        if self.frame is self.sent and generation == self.sent_generation:  # not _unsent()
            return
        if now - self.last_send < self.period:  # sent when --hz allows
            if self.last_send + self.period < self.wake:
                self.wake = self.last_send + self.period
                self.due = min(self.due, self.wake)
            return
        # A new engine's image is blank: it gets every setter.
        send(engine, self.frame, self.sent if generation == self.sent_generation else None)
        self.sent = self.frame
        self.sent_generation = generation
        self.last_send = now
        self.reports += 1

    def showing(self) -> Showing:
        """What the web page draws: what the display shows (without a
        display, the preview's frame), asked by the server only while a
        client is connected."""
        if self.display.engine is not None:
            frame = self.sent if self.sent is not None else NO_DATA
            engine = self.sent_generation
        else:
            frame, engine = self.frame, 0
        source = self.active.name if self.active is not None else ""
        car = (self.telemetry.car if self.telemetry is not None else None) or ""
        return (frame, source, car, self.layout.labels, engine, self.display.report)

    def _ask_consoles(self, now: float) -> None:
        every = min(f.request_every for _, f in self.requests)
        self.next_request = now + every
        for u, family in self.requests:
            assert family.request is not None and self.console is not None
            try:
                family.request(u.socket, self.console)
            except OSError:  # the network is down: ask again later
                pass

    def _measure_rate(self, now: float) -> None:
        mark_time, mark_reports = self._rate_mark
        if now - mark_time >= 1.0:
            if mark_time > 0:
                self.rate = (self.reports - mark_reports) / (now - mark_time)
            self._rate_mark = (now, self.reports)

    def run(self, seconds: float | None) -> None:
        start = time.monotonic()
        self.end = None if seconds is None else start + seconds
        self.due = self.wake = start  # every timer looked at once first
        while True:
            now = time.monotonic()
            # The end is one of the deadlines: looked at once one is due.
            if now >= self.due and self.end is not None and now >= self.end:
                return
            if self.replay is not None and self.replay.finished and not self._unsent():
                return
            self.step(self.wake - now)

    def close(self) -> None:
        """Lets go of what the app made itself; whoever opened the sources,
        the recording and the page closes them."""
        if self._epoll is not None:
            self._epoll.close()
        if self.web is None:
            self.selector.close()
