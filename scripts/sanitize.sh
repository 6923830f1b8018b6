#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into .venv-asan (CMake build dir build-asan/) and runs the tests that reach
# native code, fuzzers included, with the ASan runtime preloaded into Python.
# Any report aborts the run. Arguments go to pytest; test paths among them
# replace the default files. KVR_FUZZ_EXAMPLES and KVR_LEAK_CALLS scale the
# fuzzers and the leak test.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

# Every test file is in one of the two lists. NATIVE: the kernels (directly or
# through ctypes), the call frame, the modules' start-up, the battery, the
# fuzzers, leaks and threads, native callers.
NATIVE=(
    tests/test_accuracy.py tests/test_battery.py tests/test_cholesky.py
    tests/test_colstats.py tests/test_frame.py tests/test_frame_scalars.py
    tests/test_frame_views.py tests/test_fuzz_native.py tests/test_fuzz_python.py
    tests/test_hac.py tests/test_jb_tables.py tests/test_lb_alloc.py
    tests/test_leaks_threads.py tests/test_linalg_real.py tests/test_lu.py
    tests/test_module.py tests/test_native_callers.py tests/test_order_quantile.py
    tests/test_regression.py tests/test_series.py tests/test_sizes.py
    tests/test_stability.py tests/test_vech.py tests/test_wald.py tests/test_batch_safety.py
    tests/test_robust_native.py tests/test_modelcheck_native.py tests/test_native_finish.py
)
# Python only, or the kernels reached only through the layers above: the API,
# the report and CLI, many series and Dask, the CUSUM tables, the wheel.
PYTHON_ONLY=(
    tests/test_api.py tests/test_cusum_null.py tests/test_install.py
    tests/test_many.py tests/test_report.py tests/test_sweep.py tests/test_trust.py tests/test_options.py
    tests/test_robust.py tests/test_surface.py tests/test_html.py tests/test_breaks.py
    tests/test_pvalue_tails.py tests/test_spectests.py tests/test_engines.py tests/test_spark.py
    tests/test_fixedb.py tests/test_cli_reader.py
)
paths=0
for a in "$@"; do
    [[ "$a" != -* && -e "${a%%::*}" ]] && paths=1
done
if [ "$paths" = 0 ]; then
    for f in tests/test_*.py; do
        case " ${NATIVE[*]} ${PYTHON_ONLY[*]} " in
        *" $f "*) ;;
        *) echo "scripts/sanitize.sh: add $f to NATIVE or PYTHON_ONLY" >&2; exit 1 ;;
        esac
    done
    set -- "${NATIVE[@]}" "$@"
fi

export KVR_VENV="$ROOT/.venv-asan"
export KVR_BUILD_ARGS="-Ccmake.define.KVR_SANITIZE=ON -Cbuild-dir=build-asan/{wheel_tag}"
source "$ROOT/scripts/env.sh"

ASAN_LIB="$(gcc -print-file-name=libasan.so)"
[ -f "$ASAN_LIB" ] || { echo "libasan.so not found (gcc -print-file-name)" >&2; exit 1; }
# Leak detection is off: CPython keeps interned objects and arenas until exit.
# Some tests ask for absurd allocations on purpose, so those must fail softly.
# libstdc++ is preloaded too: ASan intercepts __cxa_throw at start-up and
# aborts when C++ extensions (matplotlib's) later throw without it.
STDCXX_LIB="$(g++ -print-file-name=libstdc++.so)"
LD_PRELOAD="$ASAN_LIB $STDCXX_LIB" \
ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
PYTHONFAULTHANDLER=1 \
    "$PY" -m pytest -p no:cacheprovider "$@"
