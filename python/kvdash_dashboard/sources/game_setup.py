"""What to set in each game so that its telemetry reaches the app, by
--source name: the README's table, short, for the settings page to draw
beside what the app hears. {port} is the family's own port."""

from __future__ import annotations

from . import FAMILIES

_WHAT_TO_SET = {
    "outgauge": "Live for Speed: cfg.txt OutGauge Mode 1, IP 127.0.0.1, Port {port}. "
    "BeamNG.drive: Options › Other › Protocols › OutGauge on, 127.0.0.1, port {port}",
    "forza": "HUD and Gameplay: Data Out On, IP = this PC, port {port}; "
    'Motorsport: Packet Format "Dash"',
    "f1": "Telemetry Settings: UDP Telemetry On, IP = this PC, port {port}, "
    "UDP Format = the game's year",
    "codemasters": 'DiRT, GRID: hardware_settings_config.xml: <udp enabled="true" '
    'extradata="3" ip="127.0.0.1" port="{port}" />. WRC Generations: UserSettings.cfg '
    "WRC.Telemetry.EnableTelemetry = true; WRC.Telemetry.TelemetryPort = {port};",
    "wrc": 'telemetry\\config.json: "bEnabled": true in the entry with "structure": "wrc", '
    '"packet": "session_update"',
    "gt7": "nothing in the game: start kvdash with --console <the console's address>",
    "gts": "nothing in the game: start kvdash with --console <the console's address>",
    "kartkraft": "Preferences: UDP output on, to 127.0.0.1:{port}",
    "wreckfest2": 'telemetry config.json: {{"udp": [{{"enabled": 1, "ip": "127.0.0.1", '
    '"port": "{port}"}}]}}',
    "rbr": "RSF launcher: UDP telemetry on, 127.0.0.1, port {port}; metric units",
    "pmr": "Preferences › UDP telemetry: on, frequency 60",
    "ac": "nothing",
    "iracing": "nothing",
    "r3e": "nothing",
    "ams2": 'Options › System › Shared Memory: "Project CARS 2"',
    "pcars": 'Options › Visuals › Hardware: Use Shared Memory "Yes"',
    "lmu": "Le Mans Ultimate 1.2 on: nothing; rFactor 2: the rF2 Shared Memory Map Plugin",
    "acevo": "nothing",
    "ets2": "the scs-sdk-plugin (revision 12) in the game's plugins folder",
}


def what_to_set() -> list[dict[str, str]]:
    """Each game family the app reads (the simulated lap aside): its
    --source name, its games, how it is heard, and what to set."""
    rows = []
    for family in FAMILIES.values():
        if family.name == "demo":
            continue
        hint = _WHAT_TO_SET.get(family.name, "")
        where = f"UDP {family.port}" if family.port is not None else "shared memory"
        rows.append(
            {
                "source": family.name,
                "games": family.games,
                "where": where,
                "set": hint.format(port=family.port),
            }
        )
    return rows
