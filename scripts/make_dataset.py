"""Regenerates src/Kalvoren/data/simulated.csv (deterministic)."""

import pathlib

import numpy as np

N, BREAK, RHO = 160, 100, 0.6


def main():
    rng = np.random.default_rng(1969)
    t = np.arange(N)
    x1 = rng.normal(0.0, 1.0, N)
    x2 = np.sin(t / 9.0) + rng.normal(0.0, 0.3, N)
    scale = 0.8 * np.exp(0.6 * x1)  # heteroskedastic in x1
    shocks = rng.standard_t(5, N) * scale  # heavier tails than normal
    u = np.empty(N)
    u[0] = shocks[0]
    for i in range(1, N):  # AR(1) errors
        u[i] = RHO * u[i - 1] + shocks[i]
    slope1 = np.where(t < BREAK, 1.5, 2.5)  # structural break in the x1 slope
    y = 2.0 + slope1 * x1 - 1.0 * x2 + u
    out = pathlib.Path(__file__).resolve().parents[1] / "src/Kalvoren/data/simulated.csv"
    with open(out, "w") as fh:
        fh.write("t,y,x1,x2\n")
        for row in zip(t, y, x1, x2):
            fh.write(f"{row[0]},{row[1]:.6f},{row[2]:.6f},{row[3]:.6f}\n")


if __name__ == "__main__":
    main()
