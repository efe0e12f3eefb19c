#!/usr/bin/env bash
# The main job: the dashboard app on the simulated lap for a few seconds, on
# the real display when one is attached, else on a virtual display drawn in
# the terminal. On a fresh machine it first installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --demo
exec build/venv/bin/kvdash-dashboard --source demo --seconds "${SECONDS_TO_RUN:-8}" "$@"
