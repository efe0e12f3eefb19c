"""Gran Turismo Sport's simulator interface: GT7's packet under its own key.

The console streams to whoever sent a heartbeat to its port 33339 in the last
few seconds, to that sender's port 33340. The packet is GT7's first variant
(296 bytes, the same fields); only the Salsa20 key differs, the nonce's seed
XORed with the same constant (Nenkai/PDTools @ 2e7ab943d60e84d1840332bfc5f4c05d6dbd04a7:
SimulatorInterfaceClient.cs for the ports and length,
PDTools.Crypto/SimulationInterface/SimulatorInterfaceCryptorGTSport.cs for the
key). Decrypting needs pycryptodome, as for GT7."""

from __future__ import annotations

import socket

from . import gt7
from .base import Family

LISTEN_PORT = 33340
HEARTBEAT_PORT = 33339  # on the console

GT_SPORT = gt7.Game(
    title="Gran Turismo Sport",
    key=b"Simulator Interface Packet ver 0.0"[:32],
    nonce_xor={296: 0xDEADBEAF},  # the one packet it sends
)


def heartbeat(sock: socket.socket, host: str) -> None:
    """Ask the console at host to keep streaming to sock's address."""
    gt7.heartbeat(sock, host, HEARTBEAT_PORT)


def decoder() -> gt7.Decoder:
    return gt7.Decoder(GT_SPORT)


FAMILY = Family(
    name="gts",
    title=GT_SPORT.title,
    fields=gt7.FIELDS,
    decoder=decoder,
    port=LISTEN_PORT,
    games="Gran Turismo Sport (PS4; needs --console)",
    request=heartbeat,
    request_every=gt7.HEARTBEAT_INTERVAL,
)
