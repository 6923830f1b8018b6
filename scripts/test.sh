#!/usr/bin/env bash
# Builds the extension into .venv and runs the whole test suite.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
exec "$PY" -m pytest "$@"
