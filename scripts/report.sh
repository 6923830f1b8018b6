#!/usr/bin/env bash
# The project's main job.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
exec "$PY" -m Kalvoren.diagnostics "$@"
