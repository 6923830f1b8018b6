"""Native callers: type stubs agree with the runtime, and a C program built
against the shipped headers and the shipped static library alone (no
libpython, no extension module) calls the kernels with the module's results."""

import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from native import I64, ArenaSize, fn

from Kalvoren._ckernels import diag as diag_pkg
from Kalvoren._ckernels.diag import _batch, _diag

C_PROGRAM = r"""
#include <stdio.h>
#include <stdlib.h>
#include "diag.h"

int main(void) {
    /* X: 6 x 2 design, eps: residual-like series */
    double X[12] = {1, 0.5, 2, -1, 3, 0.25, 4, 2, 5, -0.5, 6, 1.5};
    double eps[6] = {0.3, -0.1, 0.4, -0.6, 0.2, 0.1};
    double G[4], L[4], g[2], beta[2];
    kvr_gram(X, G, 6, 2);
    kvr_gram_rhs(X, eps, g, 6, 2);
    int st = kvr_chol_solve(G, g, beta, L, 2);
    printf("chol %d %.17g %.17g\n", st, beta[0], beta[1]);

    kvr_arena_size_t sz = kvr_bg_arena_size(6, 2, 1);
    double *arena = malloc((size_t)sz.arena_len * sizeof(double));
    double stat = 0.0;
    st = kvr_bg_stat(eps, X, 6, 2, 1, arena, &stat);
    free(arena);
    printf("bg %d %lld %.17g\n", st, (long long)sz.arena_len, stat);

    printf("sf %.17g\n", kvr_cusum_sf(0.85));
    printf("cv %.17g\n", _JB_CV[5 * 15]);

    double A[4] = {0, 1, 1, 0};
    kvr_lu_factor_t f = kvr_lu_factor(A, 2);
    printf("lu %lld %lld %lld\n", (long long)f.status, (long long)f.piv[0], (long long)f.piv[1]);
    kvr_lu_free(&f);
    printf("freed %d\n", f.lu == NULL && f.piv == NULL && f.n == 0);

    double out[KVR_BAT_NFIELDS], b[2], se[2];
    sz = kvr_battery_arena_size(6, 2, 1);
    arena = malloc((size_t)sz.arena_len * sizeof(double));
    st = kvr_battery(eps, X, 6, 2, -1, 1, 3, 1, KVR_BAT_ALL, arena, out, b, se);
    free(arena);
    printf("battery %d %.17g %.17g %.17g\n", st, out[KVR_BAT_BG_STAT], b[1], se[1]);
    return 0;
}
"""


LIBRARY = Path(diag_pkg.get_library_dir()) / "libkvrdiag.a"


def sanitized(archive):
    """The archive was built for scripts/sanitize.sh: its program needs the runtimes."""
    nm = shutil.which("nm")
    out = subprocess.run([nm, str(archive)], capture_output=True, text=True).stdout if nm else ""
    return "__asan_" in out or "__ubsan_" in out


@pytest.fixture(scope="module")
def c_output(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        pytest.skip("needs a C compiler")
    d = tmp_path_factory.mktemp("c")
    src = d / "prog.c"
    src.write_text(C_PROGRAM)
    exe = d / "prog"
    cmd = [
        cc,
        "-std=c99",
        "-pedantic",
        "-Wall",
        "-Wextra",
        "-Werror",
        "-I",
        diag_pkg.get_include(),
        str(src),
        "-L",
        diag_pkg.get_library_dir(),
        "-lkvrdiag",
        "-lm",
        "-o",
        str(exe),
    ]
    if sanitized(LIBRARY):
        cmd.insert(1, "-fsanitize=address,undefined")
    r = subprocess.run(cmd, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    out = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout
    return {line.split()[0]: line.split()[1:] for line in out.splitlines()}


def test_library_stands_without_python():
    """Nothing in the archive refers to Python or the C++ runtime."""
    nm = shutil.which("nm")
    if not nm:
        pytest.skip("needs nm")
    out = subprocess.run([nm, "-u", str(LIBRARY)], capture_output=True, text=True, check=True)
    undefined = {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}
    assert not {u for u in undefined if u.startswith(("Py", "_Py", "_Z"))}


def test_headers_are_shipped():
    inc = Path(diag_pkg.get_include())
    for header in ("diag.h", "diag_battery.h", "linalg.h", "kvr_api.h"):
        assert (inc / header).is_file()
    assert LIBRARY.is_file()


def test_c_program_matches_the_module(c_output):
    X = np.array([1, 0.5, 2, -1, 3, 0.25, 4, 2, 5, -0.5, 6, 1.5]).reshape(6, 2)
    eps = np.array([0.3, -0.1, 0.4, -0.6, 0.2, 0.1])
    st, *beta = c_output["chol"]
    assert st == "0"
    np.testing.assert_allclose(
        [float(b) for b in beta], np.linalg.solve(X.T @ X, X.T @ eps), rtol=1e-12
    )
    st, arena_len, stat = c_output["bg"]
    assert (int(st), float(stat)) == _diag.bg_stat(eps, X, 1)
    assert int(arena_len) == fn("kvr_bg_arena_size", ArenaSize, I64, I64, I64)(6, 2, 1).arena_len
    assert float(c_output["sf"][0]) == float(_diag.cusum_sf(0.85))
    assert float(c_output["cv"][0]) == 2.5247
    assert c_output["lu"] == ["0", "1", "1"] and c_output["freed"] == ["1"]
    out, b, se = _batch.battery(eps, X, [0, 6], -1, 1, [3], [1], _batch.ALL, 0)
    want = [0, out[0, _batch.FIELDS.index("bg_stat")], b[0, 1], se[0, 1]]
    assert [float(v) for v in c_output["battery"]] == want


@pytest.mark.parametrize("module", ["_diag", "_batch"])
def test_stubs_match_runtime(module):
    pytest.importorskip("mypy")
    r = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", f"Kalvoren._ckernels.diag.{module}"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert r.returncode == 0, r.stdout + r.stderr
