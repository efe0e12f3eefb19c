"""The display as a live web page, served from the app's own loop.

Non-blocking sockets in the loop's selector; h11 parses requests and frames
responses. GET / (the page), GET /frame (the frame as JSON), GET /events
(Server-Sent Events, one event per new frame); a hook (the settings page and
its API) may answer any request before them. A client never
holds up the display: nothing here blocks, a slow client keeps one pending
frame at most (the newest), and one that makes no progress for STALL seconds
is let go."""

from __future__ import annotations

import contextlib
import errno
import functools
import http
import ipaddress
import json
import math
import selectors
import socket
import sys
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from importlib import resources
from urllib.parse import urlsplit

import h11

from ..dashboard import RPM_LEDS, Frame

MAX_CLIENTS = 32
EXTRA_REFUSALS = 16  # connections past the limit kept just long enough to hear 503
MAX_EVENTS_HZ = 60.0  # per client; the newest frame wins
KEEPALIVE = 15.0  # s between comment lines while nothing changes
STALL = 10.0  # s without progress (a request not finished, output not taken)
MAX_REQUEST = 8192  # bytes of request head
MAX_BODY = 65536  # bytes of request body (a settings file's worth)
SEND_BUFFER = 16384  # bytes the system may hold for a client
RETRY_MS = 1000  # how soon a page's EventSource tries again after the app went away
ACCEPT_PAUSE = 0.5  # s without taking connections once the system is out of descriptors
# accept() errors that concern one connection only: take the next one.
ONE_CONNECTION = {errno.ECONNABORTED, errno.EPROTO, errno.EPERM, errno.ENETDOWN}

# Path -> static file and its type.
PAGES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/dash.css": ("dash.css", "text/css; charset=utf-8"),
    "/dash.js": ("dash.js", "text/javascript; charset=utf-8"),
    "/draw.js": ("draw.js", "text/javascript; charset=utf-8"),
}
COMMON_HEADERS = [
    ("Cache-Control", "no-store"),
    ("X-Content-Type-Options", "nosniff"),
    ("Server", "kvdash-dashboard"),
]
SECURITY = ("Content-Security-Policy", "default-src 'self'; img-src 'self' data:")


def frame_json(
    frame: Frame, report: bytes | None, source: str, car: str, labels: tuple[str, ...]
) -> str:
    """The frame as the page and /frame see it. report: the 54 bytes the
    display was last sent, where the app can read them back (a virtual
    display), else None. labels: the warning LEDs' names in force, so the
    page keeps no table of its own."""
    return json.dumps(
        {
            "gear": frame.gear,
            "rpm": [1 if led <= frame.rpm else 0 for led in range(1, RPM_LEDS + 1)],
            "warnings": [1 if on else 0 for on in frame.warnings],
            "labels": list(labels),
            "left": frame.left,
            "right": frame.right,
            "report": list(report) if report is not None else None,
            "source": source,
            "car": car,
        },
        separators=(",", ":"),
    )


def _plain(status: int, reason: str) -> bytes:
    """A whole response for a request h11 could not make sense of, or one refused."""
    body = f"{status} {reason}\n".encode("ascii")
    head = (
        f"HTTP/1.1 {status} {reason}\r\nContent-Type: text/plain; charset=utf-8\r\n"
        f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n"
    )
    return head.encode("ascii") + body


BAD_REQUEST = _plain(400, "Bad Request")
MISDIRECTED = _plain(421, "Misdirected Request")


# What the page draws, as the loop has it now: the frame, the game's --source
# name and the car ("" before one speaks), the warning LEDs' labels in force,
# which engine drives the display (0: none; a new one is read back anew), and
# what reads back the report the display was last sent (see frame_json).
Showing = tuple[Frame, str, str, tuple[str, ...], int, Callable[[], bytes | None]]


def _nothing_shown() -> Showing | None:
    return None


@dataclass(frozen=True)
class Request:
    """A whole request, for a hook."""

    method: str
    path: str
    query: str
    headers: Mapping[str, str]  # names in lower case
    body: bytes
    peer: str  # the client's address


@dataclass(frozen=True)
class Answer:
    status: int
    kind: str  # Content-Type
    body: bytes
    headers: tuple[tuple[str, str], ...] = ()  # more, as (name, value)


Hook = Callable[[Request], Answer | None]  # None: not the hook's to answer


@functools.cache
def own_names() -> frozenset[str]:
    """This computer's names, lower case: found once (the FQDN may ask a
    name server), before any request waits on it."""
    names = {"localhost"}
    for name in (socket.gethostname(), socket.getfqdn()):
        if name:
            names.add(name.lower().rstrip("."))
    return frozenset(names)


def host_allowed(host: str) -> bool:
    """Whether a request's Host names this server as only a page of this
    computer may: an IP address (with or without a port), localhost or this
    computer's own name. Any other name may be one that a site re-pointed to
    127.0.0.1 to read the page from a browser here."""
    name, port = host.strip(), ""
    if name.startswith("["):  # [v6] or [v6]:port
        name, bracket, port = name[1:].partition("]")
        if not bracket or (port and not port.startswith(":")):
            return False
        port = port[1:]
    elif name.count(":") == 1:
        name, _, port = name.partition(":")
    if port and not (port.isascii() and port.isdigit()):
        return False
    try:
        ipaddress.ip_address(name)
        return True
    except ValueError:
        return name.lower().rstrip(".") in own_names()


def _stderr(text: str) -> None:
    try:
        print(text, file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass


@dataclass(eq=False)
class Client:
    sock: socket.socket
    opened: float
    refused: bool  # past MAX_CLIENTS: hears 503 once its request is in
    peer: str = ""
    conn: h11.Connection = field(default_factory=lambda: h11.Connection(h11.SERVER, MAX_REQUEST))
    out: bytearray = field(default_factory=bytearray)
    pending: bool = False  # a newer frame than the last handed to the socket
    stream: bool = False  # an /events client
    head: bool = False  # asked with HEAD: the headers only
    done: bool = False  # close once out is empty
    last_progress: float = 0.0  # when out last shrank (or started to wait)
    last_event: float = -1e9  # when the last frame was handed to the socket
    last_write: float = 0.0  # when anything was, for the keep-alive comment
    mask: int = selectors.EVENT_READ
    request: h11.Request | None = None  # its head, while the body comes in
    body: bytearray = field(default_factory=bytearray)


class WebServer:
    """The HTTP side of the app: one listening socket and its clients, all in
    the app's selector."""

    def __init__(self, host: str, port: int, selector: selectors.BaseSelector) -> None:
        self.selector = selector
        host = host.strip("[]")
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.listener = socket.socket(family, socket.SOCK_STREAM)
        try:
            if hasattr(socket, "SO_EXCLUSIVEADDRUSE"):  # Windows: no second server on the port
                self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_EXCLUSIVEADDRUSE, 1)
            else:  # elsewhere: restart at once on the port a moment ago in use
                self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.listener.bind((host, port))
            self.listener.listen(64)
            self.listener.setblocking(False)
        except OSError:
            self.listener.close()
            raise
        self.address: tuple[str, int] = self.listener.getsockname()[:2]
        self.clients: list[Client] = []
        self.say: Callable[[str], None] = _stderr
        self.paused_until: float | None = None  # out of descriptors: not accepting until then
        self.said_paused = False
        own_names()
        # What the page draws, asked of the loop only while a client is
        # connected, and its JSON made once a client takes it: with no page
        # open, a frame costs the server nothing.
        self.showing: Callable[[], Showing | None] = _nothing_shown
        self._shown: Showing | None = None
        self._made: tuple[bytes, bytes] | None = None  # /frame's body and the event
        self.files = {path: self.load(name) for path, (name, _) in PAGES.items()}
        self.hook: Hook | None = None
        self._listen()

    def _listen(self) -> None:
        accept: Callable[[int, float], None] = self._accept
        self.selector.register(self.listener, selectors.EVENT_READ, accept)

    @staticmethod
    def load(name: str) -> bytes:
        return resources.files(__package__).joinpath("static", name).read_bytes()

    # ------------------------------------------------------------ frames

    def _follow(self) -> None:
        """What the loop shows, asked anew: when it has changed, every
        /events client is owed the new frame."""
        shown = self.showing()
        if shown is None or shown == self._shown:
            return
        self._shown, self._made = shown, None
        for c in self.clients:
            c.pending = c.stream

    def frame_now(self) -> tuple[bytes, bytes]:
        """The frame shown now as /frame's body and as an event, made once a frame."""
        self._follow()
        if self._made is None:
            body = b"{}"
            if self._shown is not None:
                frame, source, car, labels, _, report = self._shown
                body = frame_json(frame, report(), source, car, labels).encode("utf-8")
            self._made = (body, b"data: " + body + b"\n\n")
        return self._made

    def _offer(self, c: Client, now: float) -> None:
        """Hands the pending frame to the socket once the last one is gone and
        the rate allows."""
        if not c.pending or c.out or now < c.last_event + 1.0 / MAX_EVENTS_HZ:
            return
        event = self.frame_now()[1]  # the newest, whoever else it is owed to
        c.pending = False
        c.last_event = now
        self._write(c, c.conn.send(h11.Data(data=event)) or b"", now)

    # ------------------------------------------------------------ timers

    def next_deadline(self) -> float:
        if not self.clients:  # asked every loop: quick while no page is open
            return math.inf if self.paused_until is None else self.paused_until
        times = [math.inf if self.paused_until is None else self.paused_until]
        for c in self.clients:
            if c.out:
                times.append(c.last_progress + STALL)
            elif c.pending:
                times.append(c.last_event + 1.0 / MAX_EVENTS_HZ)
            elif c.stream:
                times.append(c.last_write + KEEPALIVE)
            else:
                times.append(c.opened + STALL)
        return min(times)

    def tick(self, now: float) -> None:
        """What is due, once a loop: a new frame to every /events client as
        soon as its rate allows, keep-alive comments, stalled clients let go,
        connections taken again after a pause. Quick with no client."""
        if self.paused_until is not None and now >= self.paused_until:
            self.paused_until = None
            self._listen()
        if not self.clients:
            return
        self._follow()
        for c in list(self.clients):
            self._guarded(c, self._tick_client, now)

    def _tick_client(self, c: Client, now: float) -> None:
        if c.out:
            if now - c.last_progress >= STALL:
                self._drop(c)
        elif c.pending:
            self._offer(c, now)
        elif c.stream:
            if now - c.last_write >= KEEPALIVE:
                self._write(c, c.conn.send(h11.Data(data=b": keep-alive\n\n")) or b"", now)
        elif now - c.opened >= STALL:
            self._drop(c)

    def _guarded(self, c: Client, action: Callable[[Client, float], None], now: float) -> None:
        """Whatever goes wrong with one connection ends that connection only."""
        try:
            action(c, now)
        except Exception:  # noqa: BLE001 - a fault of ours must not end the display either
            self._drop(c)

    # ------------------------------------------------------------ sockets

    def _accept(self, _mask: int, now: float) -> None:
        while True:
            try:
                sock, peer = self.listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as error:
                if error.errno in ONE_CONNECTION:
                    continue
                self._pause(error, now)
                return
            if len(self.clients) >= MAX_CLIENTS + EXTRA_REFUSALS:
                sock.close()
                continue
            sock.setblocking(False)
            try:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                # A second of frames is plenty in flight; more would hide a stalled
                # client from us for minutes.
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
            except OSError:
                pass
            serving = sum(1 for c in self.clients if not c.refused)
            c = Client(sock, now, refused=serving >= MAX_CLIENTS, peer=str(peer[0]), last_write=now)

            def ready(mask: int, when: float, c: Client = c) -> None:
                self._guarded(c, lambda c, when: self._ready(c, mask, when), when)

            try:
                self.selector.register(sock, selectors.EVENT_READ, ready)
            except (OSError, ValueError):  # the system cannot watch one more: let it go
                sock.close()
                continue
            self.clients.append(c)

    def _pause(self, error: OSError, now: float) -> None:
        """Out of descriptors (or memory): the listener would wake the loop
        at once again and again, so it is left out for a moment."""
        self.selector.unregister(self.listener)
        self.paused_until = now + ACCEPT_PAUSE
        if not self.said_paused:
            self.said_paused = True
            self.say(
                f"The web page cannot take connections ({error.strerror or error}): "
                f"trying again every {ACCEPT_PAUSE} s. The dashboard goes on."
            )

    def _ready(self, c: Client, mask: int, now: float) -> None:
        if mask & selectors.EVENT_WRITE:
            self._flush(c, now)
            if c not in self.clients:
                return
            self._offer(c, now)
        if mask & selectors.EVENT_READ:
            try:
                data = c.sock.recv(65536)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                self._drop(c)
                return
            if not data:
                self._drop(c)
            elif not (c.stream or c.done):  # what a client sends after its request is ignored
                self._request(c, data, now)

    def _request(self, c: Client, data: bytes, now: float) -> None:
        c.conn.receive_data(data)
        while True:
            try:
                event = c.conn.next_event()
            except h11.RemoteProtocolError:
                self._finish(c, BAD_REQUEST, now)
                return
            if event is h11.NEED_DATA:
                return
            if isinstance(event, h11.Request) and c.request is None:
                if not self._admit(c, event, now):
                    return
                c.request = event
            elif isinstance(event, h11.Data) and c.request is not None:
                c.body += event.data
                if len(c.body) > MAX_BODY:
                    self._finish(c, _plain(413, "Content Too Large"), now)
                    return
            elif isinstance(event, h11.EndOfMessage) and c.request is not None:
                self._route(c, c.request, now)
                return
            else:
                self._finish(c, BAD_REQUEST, now)
                return

    def _admit(self, c: Client, event: h11.Request, now: float) -> bool:
        """Refuses, from its head alone, a request past the client limit or
        to a name that is not this computer's."""
        c.head = event.method == b"HEAD"
        refusal = _plain(503, "Service Unavailable") if c.refused else None
        host = next((v for k, v in event.headers if k == b"host"), None)
        if host is not None and not host_allowed(host.decode("latin-1")):
            refusal = MISDIRECTED
        if refusal is None:
            return True
        if c.head:  # the head alone
            refusal = refusal.partition(b"\r\n\r\n")[0] + b"\r\n\r\n"
        self._finish(c, refusal, now)
        return False

    def _route(self, c: Client, event: h11.Request, now: float) -> None:
        try:
            target = urlsplit(event.target.decode("ascii"))
            path = target.path
        except (UnicodeDecodeError, ValueError):
            self._finish(c, BAD_REQUEST, now)
            return
        if self.hook is not None:
            headers = {k.decode("latin-1"): v.decode("latin-1") for k, v in event.headers}
            method = event.method.decode("ascii", "replace")
            answer = self.hook(Request(method, path, target.query, headers, bytes(c.body), c.peer))
            if answer is not None:
                self._respond(c, answer.status, answer.kind, answer.body, now, answer.headers)
                return
        if event.method not in (b"GET", b"HEAD"):
            self._respond(c, 404, "text/plain; charset=utf-8", b"404 Not Found\n", now)
        elif path == "/events":
            self._start_stream(c, now)
        elif path == "/frame":
            self._respond(c, 200, "application/json", self.frame_now()[0], now)
        elif path in PAGES:
            self._respond(c, 200, PAGES[path][1], self.files[path], now)
        else:
            self._respond(c, 404, "text/plain; charset=utf-8", b"404 Not Found\n", now)

    def _respond(
        self,
        c: Client,
        status: int,
        kind: str,
        body: bytes,
        now: float,
        more: tuple[tuple[str, str], ...] = (),
    ) -> None:
        headers = [
            ("Content-Type", kind),
            ("Content-Length", str(len(body))),
            ("Connection", "close"),
            *COMMON_HEADERS,
            *more,
        ]
        if kind.startswith("text/html"):
            headers.append(SECURITY)
        reason = http.HTTPStatus(status).phrase.encode("ascii")
        response = h11.Response(status_code=status, headers=headers, reason=reason)
        out = c.conn.send(response) or b""
        if not c.head:
            out += c.conn.send(h11.Data(data=body)) or b""
        out += c.conn.send(h11.EndOfMessage()) or b""
        self._finish(c, out, now)

    def _start_stream(self, c: Client, now: float) -> None:
        headers = [("Content-Type", "text/event-stream"), *COMMON_HEADERS]
        out = c.conn.send(h11.Response(status_code=200, headers=headers, reason=b"OK")) or b""
        if c.head:
            self._finish(c, out + (c.conn.send(h11.EndOfMessage()) or b""), now)
            return
        # The frame shown now comes first, so the page draws at once.
        event = self.frame_now()[1]
        out += c.conn.send(h11.Data(data=f"retry: {RETRY_MS}\n\n".encode() + event)) or b""
        c.stream = True
        c.last_event = now
        self._write(c, out, now)

    def _finish(self, c: Client, out: bytes, now: float) -> None:
        """Sends out, then closes."""
        c.done = True
        self._write(c, out, now)

    def _write(self, c: Client, data: bytes, now: float) -> None:
        if not c.out:
            c.last_progress = now  # the wait for this output starts now
        c.out += data
        c.last_write = now
        self._flush(c, now)

    def _flush(self, c: Client, now: float) -> None:
        if c.out:
            try:
                sent = c.sock.send(c.out)
            except (BlockingIOError, InterruptedError):
                sent = 0
            except OSError:
                self._drop(c)
                return
            if sent:
                del c.out[:sent]
                c.last_progress = now
        if not c.out and c.done:
            self._drop(c, graceful=True)
            return
        mask = selectors.EVENT_READ | (selectors.EVENT_WRITE if c.out else 0)
        if mask != c.mask:
            c.mask = mask
            self.selector.modify(c.sock, mask, self.selector.get_key(c.sock).data)

    def _drop(self, c: Client, graceful: bool = False) -> None:
        if c not in self.clients:
            return
        self.clients.remove(c)
        with contextlib.suppress(KeyError, ValueError):
            self.selector.unregister(c.sock)
        if graceful:
            try:
                c.sock.shutdown(socket.SHUT_WR)
                c.sock.recv(65536)  # left unread, it would turn the close into a reset
            except OSError:
                pass
        c.sock.close()

    def close(self) -> None:
        for c in list(self.clients):
            self._drop(c)
        if self.paused_until is None:
            self.selector.unregister(self.listener)
        self.listener.close()
        self.selector.close()  # made for this server; the loop shares it
