#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into .venv-asan (CMake build dir build-asan/) and runs the whole test suite,
# fuzzers included, with the ASan runtime preloaded into Python. Any report
# aborts the run. Arguments go to pytest; KVR_FUZZ_EXAMPLES and KVR_LEAK_CALLS
# scale the fuzzers and the leak test.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export KVR_VENV="$ROOT/.venv-asan"
export KVR_BUILD_ARGS="-Ccmake.define.KVR_SANITIZE=ON -Cbuild-dir=build-asan/{wheel_tag}"
source "$ROOT/scripts/env.sh"
cd "$ROOT"
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
