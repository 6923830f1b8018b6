"""Diagnostics report (for now: a short smoke example of the kernels)."""

import numpy as np

from Kalvoren._ckernels.diag import _diag


def main() -> int:
    x = np.array([[1.0, 2.0], [3.0, 4.0], [5.0, 9.0]])
    print("x =")
    print(x)
    print("column means (fill_mean_ax0):", _diag.fill_mean_ax0(x))
    print("centered (fill_centered_ax0):")
    print(_diag.fill_centered_ax0(x, _diag.fill_mean_ax0(x)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
