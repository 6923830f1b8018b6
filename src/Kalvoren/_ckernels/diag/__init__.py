"""Residual-diagnostic kernels (extension module ``_diag``) and their C headers."""

import os


def get_include() -> str:
    """Directory holding ``diag.h`` and ``linalg.h`` for native callers."""
    return os.path.dirname(os.path.abspath(__file__))
