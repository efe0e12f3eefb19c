"""Which Host names the server answers to: an IP address, localhost, or this
computer's own name. Any other is a name someone pointed at this computer
(DNS rebinding), to let a page of theirs read or change what only the user's
own pages may."""

from __future__ import annotations

import ipaddress
import socket
from urllib.parse import urlsplit


def host_allowed(host: str) -> bool:
    """host: the request's Host header ([host][:port])."""
    try:
        name = urlsplit("//" + host.strip()).hostname
    except ValueError:
        return False
    if not name:
        return False
    name = name.rstrip(".")
    try:
        ipaddress.ip_address(name)
        return True
    except ValueError:
        pass
    own = socket.gethostname().lower().rstrip(".")
    return name in ("localhost", own, own.split(".")[0])
