"""kalvoren-diag on a long series: the CSV reader against pandas, the command
end to end against pandas' read plus the battery, and peak memory from CSV and
Parquet.

    .venv/bin/python benchmarks/bench_cli.py --rows 10000000 --dir /tmp/kvr-cli

Times are CPU seconds: in-process readers the best of --reps (a first touch of
fresh memory costs this VM up to 50% more CPU, whichever reader pays it), fresh
processes the median; the command runs in a fresh process, its peak
RSS read by a small launcher (a child forked from this process would count this
process's pages until it execs).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

COLS = ["y", "a", "b", "c"]
PROBE = (
    "import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True, "
    "capture_output=True); r = resource.getrusage(resource.RUSAGE_CHILDREN); "
    "print(r.ru_maxrss, r.ru_utime + r.ru_stime)"
)


def make(folder: str, n: int) -> tuple[str, str]:
    csv, pq = (os.path.join(folder, f"big{n}.{ext}") for ext in ("csv", "parquet"))
    if not (os.path.exists(csv) and os.path.exists(pq)):
        rng = np.random.default_rng(1)
        X = rng.normal(size=(n, 3))
        y = 1.0 + X @ [1.0, 2.0, 3.0] + rng.normal(size=n)
        frame = pd.DataFrame({"y": y, "a": X[:, 0], "b": X[:, 1], "c": X[:, 2]})
        frame.to_csv(csv, index=False)
        frame.to_parquet(pq)
    return csv, pq


def cpu(f, reps: int) -> float:
    times = []
    for _ in range(reps):
        t = time.process_time()
        f()
        times.append(time.process_time() - t)
    return min(times)


def launched(cmd: list[str]) -> tuple[float, float]:
    """Peak RSS (bytes) and CPU seconds of cmd in a fresh process."""
    out = subprocess.run(
        [sys.executable, "-c", PROBE, *cmd], check=True, capture_output=True, text=True
    ).stdout.split()
    return int(out[0]) * 1024, float(out[1])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--dir", default=None, help="keep the data files here (made once)")
    opts = ap.parse_args()
    from Kalvoren import _cli, diagnose

    with tempfile.TemporaryDirectory() as tmp:
        csv, pq = make(opts.dir or tmp, opts.rows)
        args = _cli.build_parser().parse_args([csv, "--y", "y", "--x", "a", "b", "c"])
        args.line_of = None

        def with_handle() -> None:
            with open(csv, "rb") as fh:
                pd.read_csv(fh, encoding="utf-8-sig", usecols=COLS)

        ours = cpu(lambda: _cli._read(args), opts.reps)
        plain = cpu(lambda: pd.read_csv(csv), opts.reps)
        handle = cpu(with_handle, opts.reps)
        print(f"rows {opts.rows}, CSV {os.path.getsize(csv) / 1e6:.0f} MB")
        print(f"reader            {ours:7.2f} s")
        print(f"pd.read_csv(path) {plain:7.2f} s   reader / it: {ours / plain:.2f}")
        print(f"pd handle usecols {handle:7.2f} s   reader / it: {ours / handle:.2f}")
        battery = cpu(_battery(diagnose, csv), opts.reps)
        print(f"diagnose(y, X)    {battery:7.2f} s   (in this process, its memory reused)")
        data = opts.rows * len(COLS) * 8  # bytes of the numeric data
        # the interpreter with its imports: the same command on 200 rows of the same format
        small = make(tmp, 200)
        bases = {}
        for path in small:
            cmd = [sys.executable, "-m", "Kalvoren.diagnostics", path, "--y", "y", "--x"]
            bases[os.path.splitext(path)[1]] = launched([*cmd, *COLS[1:]])[0]
        print(
            "interpreter + imports (the command on 200 rows): peak RSS "
            + ", ".join(f"{ext} {b / 1e6:.0f} MB" for ext, b in bases.items())
        )
        # the same work without the command: pandas reads, diagnose runs on arrays
        alone = (
            "import sys, numpy as np, pandas as pd; from Kalvoren import diagnose; "
            "f = pd.read_csv(sys.argv[1]); "
            "diagnose(f['y'].to_numpy(), np.ascontiguousarray(f[['a', 'b', 'c']].to_numpy()))"
        )
        runs = [launched([sys.executable, "-c", alone, csv]) for _ in range(opts.reps)]
        ref = statistics.median(r[1] for r in runs)
        print(f"pandas read + diagnose, fresh process {ref:7.2f} s")
        for path in (csv, pq):
            cmd = [sys.executable, "-m", "Kalvoren.diagnostics", path, "--y", "y", "--x"]
            runs = [launched([*cmd, *COLS[1:]]) for _ in range(opts.reps)]
            peak = max(r[0] for r in runs)
            base = bases[os.path.splitext(path)[1]]
            took = statistics.median(r[1] for r in runs)
            ratio = f"   / the same work without it: {took / ref:.2f}"
            print(
                f"kalvoren-diag {os.path.splitext(path)[1]:8s} {took:7.2f} s"
                f"{ratio if path == csv else ''}   peak RSS {peak / 1e6:.0f} MB "
                f"({(peak - base) / 1e6:.0f} MB above the interpreter: "
                f"{(peak - base) / data:.2f}x the numeric data)"
            )


def _battery(diagnose, csv: str):
    frame = pd.read_csv(csv)
    y, X = frame["y"].to_numpy(), np.ascontiguousarray(frame[COLS[1:]].to_numpy())
    return lambda: diagnose(y, X)


if __name__ == "__main__":
    main()
