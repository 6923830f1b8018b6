"""Residual-diagnostic kernels (extension modules ``_diag`` and ``_batch``), their
C headers and the static library of the kernels for native callers."""

import os

_HERE = os.path.dirname(os.path.abspath(__file__))


def get_include() -> str:
    """Directory holding ``diag.h`` and ``linalg.h`` for native callers."""
    return _HERE


def get_library_dir() -> str:
    """Directory holding ``libkvrdiag.a``, the kernels without Python (link with
    ``-lkvrdiag -lm``)."""
    return os.path.join(_HERE, "lib")
