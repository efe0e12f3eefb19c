#!/usr/bin/env bash
# Style and static checks of the dashboard app, its tests, the examples and
# the app's benchmark: ruff (lint and format) and mypy --strict.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-build/venv/bin/python}

files=(python/kvdash_dashboard examples bench/dashboard_bench.py bench/iracing_session_bench.py
       bench/learn_memory_bench.py bench/packet_ops.py
       tests/python/app tests/python/game_*.py tests/python/*_harness.py
       tests/python/make_recordings.py installer/make_icon.py)
"$py" -m ruff check --quiet "${files[@]}"
"$py" -m ruff format --quiet --check "${files[@]}"
echo "ruff: clean"
PYTHONPATH=python:tests/python "$py" -m mypy --strict --no-incremental "${files[@]}" | tail -1
"$(dirname "$py")/actionlint" .github/workflows/*.yml
echo "actionlint: clean"
