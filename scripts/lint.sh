#!/usr/bin/env bash
# Style, as CI checks it: ruff (lint rules and formatting) on the Python and
# clang-format on the C++ sources, and mypy --strict on the package (configured
# in pyproject.toml), at the versions pinned in the lint extra (installed into
# .venv beside the test extra). Changes nothing: `ruff format .` and
# `clang-format -i` fix what it reports. .pre-commit-config.yaml runs the same
# tools; its pins must be the lint extra's.
KVR_EXTRAS="${KVR_EXTRAS-test},lint"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
BIN="$VENV/bin"
failed=0
"$PY" - <<'PY' || failed=1
import pathlib
import tomllib

pins = tomllib.loads(pathlib.Path("pyproject.toml").read_text())["project"][
    "optional-dependencies"]["lint"]
hooks = pathlib.Path(".pre-commit-config.yaml").read_text()
for pin in pins:
    if f'"{pin}"' not in hooks:
        raise SystemExit(f".pre-commit-config.yaml does not pin {pin} (the lint extra does)")
PY
"$BIN/ruff" check . || failed=1
"$BIN/ruff" format --check . || failed=1
mapfile -t CXX < <(find src -name '*.cpp' -o -name '*.hpp' -o -name '*.h' | sort)
"$BIN/clang-format" --dry-run -Werror "${CXX[@]}" || failed=1
"$BIN/mypy" || failed=1
exit "$failed"
