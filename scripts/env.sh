# Sourced by the other scripts: finds a supported CPython (3.12, the default,
# or 3.13: KVR_PYTHON=3.13), makes its venv (.venv for 3.12, .venv-3.13 for
# 3.13), installs the package with the extras given in KVR_EXTRAS
# (comma-separated; default: test; empty: none) when the sources changed since
# the last install. PYTHON312 / PYTHON313 name an interpreter; KVR_VENV picks
# another venv and KVR_BUILD_ARGS adds pip options (scripts/sanitize.sh uses
# both for its separate instrumented build).
set -euo pipefail
# In CI (CI=true) every build treats compiler warnings as errors (the CMake
# option KVR_WERROR); a developer's build only shows them.
if [ "${CI:-}" = "true" ]; then
    KVR_BUILD_ARGS="${KVR_BUILD_ARGS:-} -Ccmake.define.KVR_WERROR=ON"
fi
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The versions pyproject.toml's requires-python and CMakeLists.txt accept.
SUPPORTED_PYTHONS="3.12 3.13"
KVR_PYTHON="${KVR_PYTHON:-3.12}"
case " $SUPPORTED_PYTHONS " in
*" $KVR_PYTHON "*) ;;
*)
    echo "KVR_PYTHON=$KVR_PYTHON: Kalvoren supports CPython ${SUPPORTED_PYTHONS// / and }" >&2
    exit 1
    ;;
esac
if [ "$KVR_PYTHON" = 3.12 ]; then
    VENV="${KVR_VENV:-$ROOT/.venv}"
else
    VENV="${KVR_VENV:-$ROOT/.venv-$KVR_PYTHON}"
fi

find_python() {
    local v="$1" var="PYTHON${1/./}" c
    for c in "${!var:-}" "python$v" \
             "$(command -v pyenv >/dev/null 2>&1 && pyenv root)"/versions/"$v".*/bin/python"$v" \
             /usr/local/bin/python"$v" /usr/bin/python"$v"; do
        [ -n "$c" ] || continue
        if "$c" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$v'" >/dev/null 2>&1; then
            command -v "$c" || echo "$c"
            return 0
        fi
    done
    echo "CPython $v not found; set $var=/path/to/python$v" >&2
    return 1
}

if [ ! -x "$VENV/bin/python" ]; then
    BASE="$(find_python "$KVR_PYTHON")"
    "$BASE" -m venv "$VENV"
fi
if ! "$VENV/bin/python" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$KVR_PYTHON'" 2>/dev/null; then
    echo "$VENV is not a CPython $KVR_PYTHON venv: remove it, or set KVR_VENV" >&2
    exit 1
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
    # the record is dated from before the build: a source edited during it is newer
    STARTED="$(date +%s)"
    "$PY" -m pip install -q --disable-pip-version-check --no-warn-script-location --upgrade pip scikit-build-core cmake ninja setuptools wheel
    # No build isolation: the CMake build directory under build/ is reused, so a
    # rebuild only compiles what changed.
    "$PY" -m pip install -q --disable-pip-version-check --no-warn-script-location --no-build-isolation \
        ${KVR_BUILD_ARGS:-} "$ROOT${EXTRAS:+[$EXTRAS]}"
    rm -f "$VENV"/.installed-*  # the stamps of earlier versions of this script
    printf '%s\n%s\n' "${KVR_BUILD_ARGS:-}" "$EXTRAS" >"$STAMP"
    touch -d "@$STARTED" "$STAMP"
fi
