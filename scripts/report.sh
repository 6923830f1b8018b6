#!/usr/bin/env bash
# The project's main job: the package alone, no test extras.
KVR_EXTRAS="${KVR_EXTRAS-}"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
exec "$PY" -m Kalvoren.diagnostics "$@"
