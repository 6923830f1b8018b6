"""Kalvoren: residual diagnostics for econometric models.

``Kalvoren.diagnose(y, X)`` runs the whole battery on an OLS regression and
returns a report with p-values and decisions; ``Kalvoren.diagnose_many`` runs
it over thousands of series. The compiled kernels live in
``Kalvoren._ckernels.diag``.
"""

from typing import Any

__version__ = "0.2.0"

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


def __getattr__(name: str) -> Any:
    # Imported on first use, so the kernels alone need neither SciPy nor pandas.
    if name in _API:
        import importlib

        value = getattr(importlib.import_module(f"Kalvoren.{_API[name]}"), name)
        globals()[name] = value  # looked up once
        return value
    raise AttributeError(f"module 'Kalvoren' has no attribute {name!r}")


def __dir__() -> list:
    return sorted(__all__)
