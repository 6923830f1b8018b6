"""Start-up facts of the extension module."""

import importlib
import subprocess
import sys
import textwrap
import traceback
import types

import numpy as np
import pytest
from functions import NAMES

from Kalvoren._ckernels.diag import _diag

FULL_NAME = "Kalvoren._ckernels.diag._diag"

TABLE = NAMES


def registered():
    return [name for name in vars(_diag) if name in TABLE]


def test_attributes():
    assert _diag.FALLBACK == 1 and type(_diag.FALLBACK) is int
    assert _diag.np is np
    assert _diag.__test__ == {}
    assert _diag.__name__ == FULL_NAME
    assert all(word in _diag.__doc__ for word in ("NumPy buffers", "_diag_tests", "DIAG_FALLBACK"))


def test_attribute_binding_order():
    # in a fresh process: other tests rebind `np`, which moves it in the dict
    r = run_python("""
        from Kalvoren._ckernels.diag import _diag
        print(" ".join(vars(_diag)))
        """)
    assert r.returncode == 0, r.stderr
    names = r.stdout.split()
    funcs = [n for n in names if n in TABLE]
    assert {"fill_mean_ax0", "fill_centered_ax0"} <= set(funcs)
    assert funcs == [t for t in TABLE if t in funcs]
    # np, FALLBACK, the functions in table order, then __test__
    order = [n for n in names if n in ("np", "FALLBACK", "__test__") or n in TABLE]
    assert order == ["np", "FALLBACK", *funcs, "__test__"]


def test_functions_are_named_module_functions():
    for name in registered():
        f = getattr(_diag, name)
        assert isinstance(f, types.BuiltinFunctionType)
        assert f.__name__ == name and f.__qualname__ == name
        assert f.__module__ == FULL_NAME
        assert f.__doc__ and "\n--\n" not in f.__doc__


def test_import_twice_returns_same_module():
    saved = sys.modules.pop(FULL_NAME)
    try:
        again = importlib.import_module(FULL_NAME)
        assert again is saved
        assert again.fill_mean_ax0 is saved.fill_mean_ax0  # exec did not run again
    finally:
        sys.modules[FULL_NAME] = saved


def test_traceback_names_the_function():
    with pytest.raises(ValueError) as info:
        _diag.fill_mean_ax0(np.zeros(3))
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert last.name == FULL_NAME + ".fill_mean_ax0"
    assert "_ckernels/diag/_diag" in last.filename


# 3.12's _xxsubinterpreters as these tests use it, on 3.13's _interpreters
# (whose run_string returns the failure instead of raising it).
SUBINTERPRETERS = """\
try:
    import _xxsubinterpreters as si
except ImportError:
    import types, _interpreters

    class RunFailedError(RuntimeError):
        pass

    def run_string(interp, code):
        failed = _interpreters.run_string(interp, code)
        if failed is not None:
            raise RunFailedError(failed.formatted)

    si = types.SimpleNamespace(
        create=lambda isolated=True: _interpreters.create("isolated" if isolated else "legacy"),
        run_string=run_string,
        destroy=_interpreters.destroy,
        RunFailedError=RunFailedError,
    )
"""


def run_python(code):
    code = textwrap.dedent(code).replace("import _xxsubinterpreters as si\n", SUBINTERPRETERS)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_second_interpreter_is_refused():
    r = run_python("""
        import _xxsubinterpreters as si
        import Kalvoren._ckernels.diag._diag
        interp = si.create(isolated=False)
        try:
            si.run_string(interp, "import Kalvoren._ckernels.diag._diag")
        except si.RunFailedError as e:
            print(e)
        """)
    assert r.returncode == 0, r.stderr
    assert "ImportError" in r.stdout
    assert (
        "Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    ) in r.stdout


def test_missing_numpy_fails_the_import():
    r = run_python("""
        import sys
        sys.modules["numpy"] = None
        try:
            import Kalvoren._ckernels.diag._diag
        except ImportError as e:
            print("refused:", e)
        """)
    assert r.returncode == 0, r.stderr
    assert "refused:" in r.stdout


def test_sub_interpreters_come_and_go_without_harm():
    # Refused again and again (shared and isolated GIL alike), the
    # sub-interpreter destroyed, and the first interpreter's module still works.
    r = run_python("""
        import _xxsubinterpreters as si
        import numpy as np
        from Kalvoren._ckernels.diag import _diag
        for isolated in (False, True):
            interp = si.create(isolated=isolated)
            for _ in range(3):
                try:
                    si.run_string(interp, "import Kalvoren._ckernels.diag._diag")
                    print("imported")
                except si.RunFailedError as e:
                    print("refused", "ImportError" in str(e))
            si.destroy(interp)
        print(_diag.acorr(np.arange(5.0), 1)[1].tolist())
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n")[:6] == ["refused True"] * 6
    assert "[1.0, 0.4]" in r.stdout


def test_first_import_in_a_sub_interpreter_binds_the_module_there():
    r = run_python("""
        import warnings
        import _xxsubinterpreters as si
        interp = si.create(isolated=False)
        si.run_string(interp, "import warnings; warnings.simplefilter('ignore'); "
                              "import Kalvoren._ckernels.diag._diag")
        si.destroy(interp)
        try:
            import Kalvoren._ckernels.diag._diag
        except ImportError as e:
            print("refused:", e)
        """)
    assert r.returncode == 0, r.stderr
    assert "refused: Interpreter change detected" in r.stdout


def test_version_is_the_installed_metadata():
    # pyproject.toml is the one source: the installed metadata carries it and
    # Kalvoren.__version__ reads it from there
    import tomllib
    from importlib.metadata import version
    from pathlib import Path

    import Kalvoren

    assert type(Kalvoren.__version__) is str and "__version__" in dir(Kalvoren)
    assert Kalvoren.__version__ == version("Kalvoren")
    pyproject = Path(__file__).parents[1] / "pyproject.toml"
    with pyproject.open("rb") as fh:
        assert Kalvoren.__version__ == tomllib.load(fh)["project"]["version"]


def test_every_name_the_docstrings_point_to_exists():
    """Docstrings send users to ``Kalvoren.X``: each X is there."""
    import re

    import Kalvoren
    from Kalvoren import diagnostics

    named = set(re.findall(r"``Kalvoren\.(\w+)``", diagnostics.diagnose.__doc__ or ""))
    named |= set(re.findall(r":func:`Kalvoren\.(\w+)`", diagnostics.diagnose.__doc__ or ""))
    assert named and all(hasattr(Kalvoren, n) for n in named), named
    assert Kalvoren.TEST_OPTIONS["reset_power"].default == 3
