"""Who may see and change the settings over --http: this computer only (a
phone on the network sees the display, not the settings file), and a change
only from the settings page's own origin, so that another site open in the
same browser cannot post one."""

from __future__ import annotations

import ipaddress
from collections.abc import Mapping
from urllib.parse import urlsplit


def from_this_computer(peer: str) -> bool:
    """Whether the client's address is a loopback one (IPv4 through IPv6 too)."""
    try:
        address = ipaddress.ip_address(peer.split("%")[0])
    except ValueError:
        return False
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        address = address.ipv4_mapped
    return address.is_loopback


def _host_and_port(netloc: str) -> tuple[str, int] | None:
    try:
        parts = urlsplit("//" + netloc)
        port = parts.port
    except ValueError:
        return None
    if not parts.hostname or parts.username is not None or parts.password is not None:
        return None
    return parts.hostname.lower().rstrip("."), port or 80


def same_origin(headers: Mapping[str, str]) -> bool:
    """Whether a state-changing request may be trusted: its Origin (where
    sent) is http://<its own Host>, and a browser does not call it
    cross-site. No Origin: not a browser's cross-site request (browsers
    send one with every POST); the caller still requires this computer."""
    if headers.get("sec-fetch-site", "").strip().lower() == "cross-site":
        return False
    origin = headers.get("origin")
    if origin is None:
        return True
    parts = urlsplit(origin.strip())
    if parts.scheme.lower() != "http" or parts.path or parts.query or parts.fragment:
        return False  # "null" (a sandboxed page or file), https:, anything odd
    mine = _host_and_port(headers.get("host", ""))
    return mine is not None and _host_and_port(parts.netloc) == mine
