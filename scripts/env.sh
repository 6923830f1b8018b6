# Sourced by the other scripts: finds CPython 3.12, makes .venv, installs the
# package with the extras given in KVR_EXTRAS (comma-separated; default: test;
# empty: none) when the sources changed since the last install. KVR_VENV picks
# another venv and KVR_BUILD_ARGS adds pip options (scripts/sanitize.sh uses
# both for its separate instrumented build).
set -euo pipefail
# In CI (CI=true) every build treats compiler warnings as errors (the CMake
# option KVR_WERROR); a developer's build only shows them.
if [ "${CI:-}" = "true" ]; then
    KVR_BUILD_ARGS="${KVR_BUILD_ARGS:-} -Ccmake.define.KVR_WERROR=ON"
fi
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${KVR_VENV:-$ROOT/.venv}"

find_python312() {
    local c
    for c in "${PYTHON312:-}" python3.12 \
             "$(command -v pyenv >/dev/null 2>&1 && pyenv root)"/versions/3.12*/bin/python3.12 \
             /usr/local/bin/python3.12 /usr/bin/python3.12; do
        [ -n "$c" ] || continue
        if "$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then
            command -v "$c" || echo "$c"
            return 0
        fi
    done
    echo "CPython 3.12 not found; set PYTHON312=/path/to/python3.12" >&2
    return 1
}

if [ ! -x "$VENV/bin/python" ]; then
    PY312="$(find_python312)"
    "$PY312" -m venv "$VENV"
fi
PY="$VENV/bin/python"
# $VENV/.installed records the last install: its build arguments, then its
# extras. An install serves a script that asks for some of its extras with the
# same build arguments; a reinstall keeps the extras already there, so
# scripts/lint.sh (test,lint) and scripts/test.sh (test) share one install.
STAMP="$VENV/.installed"
HAVE=""
if [ -f "$STAMP" ] && [ "$(sed -n 1p "$STAMP")" = "${KVR_BUILD_ARGS:-}" ]; then
    HAVE="$(sed -n 2p "$STAMP")"
else
    rm -f "$STAMP"
fi
WANT="${KVR_EXTRAS-test}"
EXTRAS="$(printf '%s\n' ${WANT//,/ } ${HAVE//,/ } | awk 'NF' | sort -u | paste -sd, -)"
# Reinstall when the sources changed since the last install, or an extra is new.
if [ ! -f "$STAMP" ] || [ "$EXTRAS" != "$HAVE" ] || [ -n "$(find "$ROOT/src" "$ROOT/CMakeLists.txt" \
        "$ROOT/pyproject.toml" -newer "$STAMP" -print -quit 2>/dev/null)" ]; then
    "$PY" -m pip install -q --disable-pip-version-check --no-warn-script-location --upgrade pip scikit-build-core cmake ninja
    # No build isolation: the CMake build directory under build/ is reused, so a
    # rebuild only compiles what changed.
    "$PY" -m pip install -q --disable-pip-version-check --no-warn-script-location --no-build-isolation \
        ${KVR_BUILD_ARGS:-} "$ROOT${EXTRAS:+[$EXTRAS]}"
    rm -f "$VENV"/.installed-*  # the stamps of earlier versions of this script
    printf '%s\n%s\n' "${KVR_BUILD_ARGS:-}" "$EXTRAS" >"$STAMP"
fi
