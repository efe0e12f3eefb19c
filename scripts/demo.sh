#!/usr/bin/env bash
# The main job: a dashboard on the simulated lap for a few seconds, on the
# real display when one is attached, else on a virtual display drawn in the
# terminal. On a fresh machine it first installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --demo
exec build/venv/bin/python examples/dashboard.py --seconds "${SECONDS_TO_RUN:-8}" "$@"
