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
    "breusch_godfrey": "diagnostics",
    "breusch_pagan": "diagnostics",
    "chow": "diagnostics",
    "cusum": "diagnostics",
    "cusum_squares": "diagnostics",
    "ljung_box": "diagnostics",
    "jarque_bera": "diagnostics",
    "hac_wald": "diagnostics",
    "TEST_IDS": "diagnostics",
    "KalvorenWarning": "diagnostics",
    "diagnose_many": "_many",
}

__all__ = ["__version__", *_API]


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
        value = globals()["__version__"] = _version()
        return value
    # Imported on first use, so the kernels alone need neither SciPy nor pandas.
    if name in _API:
        import importlib

        value = getattr(importlib.import_module(f"Kalvoren.{_API[name]}"), name)
        globals()[name] = value  # looked up once
        return value
    raise AttributeError(f"module 'Kalvoren' has no attribute {name!r}")


def __dir__() -> list:
    return sorted(__all__)
