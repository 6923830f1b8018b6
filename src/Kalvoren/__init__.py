"""Kalvoren: residual diagnostics for econometric models.

``Kalvoren.diagnose(y, X)`` runs the whole battery on an OLS regression and
returns a report with p-values and decisions; ``Kalvoren.diagnose_many`` runs
it over thousands of series. The compiled kernels live in
``Kalvoren._ckernels.diag``.
"""

from typing import Any

_API = {
    "diagnose": "diagnostics",
    "Report": "diagnostics",
    "TestResult": "diagnostics",
    "TEST_IDS": "diagnostics",
    "DEFAULT_TESTS": "diagnostics",
    "KalvorenWarning": "diagnostics",
    "OptionError": "diagnostics",
    "Status": "diagnostics",
    "TEST_OPTIONS": "diagnostics",
    "diagnose_many": "_many",
    "robust_cov": "_robust",
    "summary_html": "_html",
    "f_sequence": "_breaks",
    "breakpoints": "_breaks",
    "ljung_box_table": "_spectests",
    "group_function": "_many",
}


def _names() -> list[str]:
    # with one function per test, named in the registry (which needs NumPy:
    # looked up only when asked, so the kernels alone import nothing more)
    from Kalvoren._registry import FUNCTIONS

    return ["__version__", *_API, *FUNCTIONS]


def _version() -> str:
    """The installed distribution's version: pyproject.toml is its one source."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("Kalvoren")
    except PackageNotFoundError:  # a source tree on sys.path, never installed
        return "0+unknown"


def __getattr__(name: str) -> Any:
    if name == "__version__":
        # read on first use: importlib.metadata costs more than the rest of this import
        version = globals()["__version__"] = _version()
        return version
    if name == "__all__":
        value = globals()["__all__"] = _names()
        return value
    # Imported on first use, so the kernels alone need neither SciPy nor pandas.
    if name in _API or (not name.startswith("_") and name in _names()):
        import importlib

        value = getattr(importlib.import_module(f"Kalvoren.{_API.get(name, 'diagnostics')}"), name)
        globals()[name] = value  # looked up once
        return value
    raise AttributeError(f"module 'Kalvoren' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(_names())
