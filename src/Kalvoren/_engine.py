"""The battery over one or many series: the native battery first, the
least-squares route where the kernels refuse, then p-values and decisions
vectorised across series. `diagnose` and `diagnose_many` both come here, so
a series gets the same bits whichever way it was run."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from Kalvoren import _lstsq, _pvalues
from Kalvoren._ckernels.diag import _batch

FALLBACK = 1
# Fewer digits than this determined by the data (a one-ulp change of the
# inputs moves a statistic further than 10^-DIGITS_MIN) earns a note and a
# warning; the statistic itself stays.
DIGITS_MIN = 8.0
STATUS_TEXT = {
    1: "design rank-deficient or too ill-conditioned for the kernels",
    -1002: "HAC covariance singular",
    -1003: "variance undefined (exact fit, or constant series)",
    -1004: "lag bound out of range",
    -1005: "too few observations",
    -1007: "argument out of range",
}
# Where one test says more than the shared text.
TEST_STATUS_TEXT = {
    ("breusch_pagan", -1007): "no slope coefficients to test",
    ("breusch_pagan_koenker", -1007): "no slope coefficients to test",
    ("hac_wald", -1007): "no slope coefficients to test",
    ("chow", -1007): "break outside the sample, or no coefficients to compare",
}

# id, field prefix, test bit, reference distribution
TESTS = (
    ("breusch_godfrey", "bg", _batch.BG, "chi2"),
    ("breusch_pagan", "bp", _batch.BP, "chi2"),
    ("breusch_pagan_koenker", "bpk", _batch.BP, "chi2"),
    ("chow", "chow", _batch.CHOW, "F"),
    ("cusum", "cusum", _batch.CUSUM, "table"),
    ("cusum_squares", "cusumsq", _batch.CUSUMSQ, "table"),
    ("ljung_box", "lb", _batch.LB, "chi2"),
    ("jarque_bera", "jb", _batch.JB, "table"),
    ("hac_wald", "hac", _batch.HAC, "chi2"),
)
TEST_IDS = tuple(t[0] for t in TESTS)
BITS = {t[0]: t[2] for t in TESTS}
FIELD = {name: i for i, name in enumerate(_batch.FIELDS)}


def hac_rule(n: np.ndarray) -> np.ndarray:
    """Newey-West (1994) bandwidth floor(4 (n/100)^(2/9)), one formula for
    every route so a series gets the same bandwidth however it is run."""
    n = np.asarray(n, dtype=np.float64)
    return np.floor(4.0 * (np.maximum(n, 1.0) / 100.0) ** (2.0 / 9.0)).astype(np.int64)


def status_field(prefix: str) -> str:
    return "bp_status" if prefix == "bpk" else f"{prefix}_status"


@dataclass
class Batch:
    """The data of G series: y concatenated, X concatenated or shared."""

    y: np.ndarray
    X: np.ndarray
    offsets: np.ndarray
    shared_x: bool
    const_col: int
    lags: int
    t_break: np.ndarray
    hac_lags: np.ndarray
    tests: int
    names: list | None = None  # column names, for notes

    @property
    def G(self) -> int:
        return self.offsets.shape[0] - 1

    def series(self, g: int) -> tuple[np.ndarray, np.ndarray]:
        a, b = int(self.offsets[g]), int(self.offsets[g + 1])
        X = self.X[: b - a] if self.shared_x else self.X[a:b]
        return self.y[a:b], X

    def chunk(self, lo: int, hi: int) -> "Batch":
        off = self.offsets[lo : hi + 1]
        a, b = int(off[0]), int(off[-1])
        X = self.X if self.shared_x else self.X[a:b]
        return Batch(
            self.y[a:b],
            X,
            off - a,
            self.shared_x,
            self.const_col,
            self.lags,
            self.t_break[lo:hi],
            self.hac_lags[lo:hi],
            self.tests,
            self.names,
        )


def native(batch: Batch) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    return _batch.battery(
        batch.y,
        batch.X,
        batch.offsets,
        batch.const_col,
        batch.lags,
        batch.t_break,
        batch.hac_lags,
        batch.tests,
        batch.shared_x,
    )


@dataclass
class Raw:
    """Per-series statistics before p-values: the native record plus the
    least-squares route's corrections."""

    out: np.ndarray  # (G, NFIELDS)
    beta: np.ndarray  # (G, k)
    se: np.ndarray  # (G, k)
    rank: np.ndarray  # (G,)
    chow_df: np.ndarray  # (G, 2)
    ls: np.ndarray  # (G, ntests) bool: test took the least-squares route
    notes: list[dict]  # per series: "" -> least-squares route note, "data" -> data problem


_STATUS_IDX = [FIELD[status_field(p)] for _, p, _, _ in TESTS]


_K, _N, _FIT = FIELD["k"], FIELD["n"], FIELD["fit_status"]
_COND, _DIGITS = FIELD["cond"], FIELD["digits"]


def run_raw(batch: Batch, runner: Callable[[Batch], tuple] = native) -> Raw:
    out, beta, se = runner(batch)
    G = batch.G
    if G == 1:  # the report's case, without the array set-up
        row = out[0].tolist()
        k1 = row[_K]
        k = np.array([k1])
        chow_df = np.array([[k1, row[_N] - 2 * k1]])
        refused_any = FALLBACK in [row[c] for c in _STATUS_IDX]
    else:
        k = out[:, _K].copy()
        chow_df = np.stack([k, out[:, _N] - 2 * k], axis=1)
        refused_any = bool((out[:, _STATUS_IDX] == FALLBACK).any())
    raw = Raw(out, beta, se, k, chow_df, np.zeros((G, len(TESTS)), bool), [{} for _ in range(G)])
    if refused_any:
        # Series or tests the kernels refused go the least-squares way.
        refused = out[:, _STATUS_IDX] == FALLBACK
        fit = out[:, _FIT]
        for g in np.flatnonzero(refused.any(axis=1)):
            if fit[g] == FALLBACK:
                _series_least_squares(batch, raw, int(g))
            else:
                _tests_least_squares(batch, raw, int(g), refused[g])
    # Breusch-Pagan regresses on the slopes: none, nothing to test.
    slopes = raw.rank - 1 if batch.const_col >= 0 else raw.rank
    bp = FIELD["bp_status"]
    for g in np.flatnonzero((slopes < 1) & (out[:, bp] == 0)):
        out[g, bp] = -1007
        out[g, [FIELD["bp_stat"], FIELD["bpk_stat"]]] = math.nan
    digits = out[:, _DIGITS]
    for g in np.flatnonzero(np.isfinite(digits) & (digits < DIGITS_MIN)):
        raw.notes[g]["digits"] = _digits_text(digits[g], out[g, _COND])
    return raw


def _digits_text(d: float, cond: float) -> str:
    return (
        f"the data determine this statistic to about {int(max(d, 0.0))} digits "
        f"(design condition {cond:.2g}); do not read it more finely"
    )


def _digits_note(raw: Raw, g: int, tid: str, d: float) -> None:
    """A test whose own fits pin fewer digits than the whole design's."""
    if d < min(DIGITS_MIN, raw.out[g, _DIGITS]):
        raw.notes[g][f"digits:{tid}"] = _digits_text(d, raw.out[g, _COND])


def _scaled(batch: Batch, g: int):
    """Series g scaled by exact powers of two, with the exponents."""
    y, X = batch.series(g)
    ex, ey = _lstsq.pow2_exponents(X), _lstsq.pow2_exponents(y)
    return _lstsq.scaled(y, ey), _lstsq.scaled(X, ex), ex, int(ey[0])


def _tests_least_squares(batch: Batch, raw: Raw, g: int, which: np.ndarray) -> None:
    """Recompute the tests whose auxiliary regression the kernel refused."""
    ys, Xs, _, _ = _scaled(batch, g)
    fit = _lstsq.Fit.of(Xs, ys, batch.const_col)
    ids = {TESTS[i][0] for i in np.flatnonzero(which)}
    _fill_tests(batch, raw, g, ys, Xs, fit, batch.const_col, ids)


def _series_least_squares(batch: Batch, raw: Raw, g: int) -> None:
    """The whole series by the least-squares route: numerical rank, collinear
    columns dropped, every regression statistic recomputed."""
    out = raw.out[g]
    ys, Xs, ex, ey = _scaled(batch, g)
    n, k = Xs.shape
    kept = _lstsq.independent_columns(Xs, batch.const_col)
    Xr = np.ascontiguousarray(Xs[:, kept])
    const_r = kept.index(batch.const_col) if batch.const_col >= 0 else -1
    fit = _lstsq.Fit.of(Xr, ys, const_r)
    e = np.ascontiguousarray(fit.resid)
    r = len(kept)
    raw.rank[g] = r
    out[FIELD["fit_status"]] = 0
    rss = float(e @ e)
    yc = ys - ys.mean() if batch.const_col >= 0 else ys
    tss = float(yc @ yc)
    out[FIELD["rss"]] = np.ldexp(rss, 2 * ey)  # inf beyond the range, as the kernels
    out[FIELD["tss"]] = np.ldexp(tss, 2 * ey)
    out[FIELD["r2"]] = 1.0 - rss / tss if tss > 0 else math.nan
    cond = _lstsq.condition(Xr)
    out[FIELD["cond"]] = cond
    out[FIELD["digits"]] = _lstsq.digits(cond, fit.size, rss)
    raw.beta[g] = np.nan
    raw.se[g] = np.nan
    raw.beta[g, kept] = np.ldexp(fit.beta, ey - ex[kept])
    ids = {tid for tid, _, bit, _ in TESTS if batch.tests & bit}
    if batch.tests & _batch.HAC:
        lags = int(batch.hac_lags[g])
        V = _lstsq.hac_cov(fit, lags)
        raw.se[g, kept] = np.ldexp(np.sqrt(np.diag(V)), ey - ex[kept])
        out[FIELD["hac_df"]] = r - 1 if const_r >= 0 else r
        out[FIELD["hac_lags"]] = min(lags, n - 1)
        if not fit.exact:
            status, stat = _lstsq.hac_wald(fit, const_r, lags)
            out[FIELD["hac_status"]] = status
            out[FIELD["hac_stat"]] = stat if status == 0 else math.nan
            raw.ls[g, TEST_IDS.index("hac_wald")] = True
            ids.discard("hac_wald")
    names = batch.names or [f"column {j}" for j in range(k)]
    dropped = [repr(names[j]) for j in range(k) if j not in kept]
    note = f"rank {r} of {k}" + (
        f"; dropped as collinear: {', '.join(dropped)}"
        if dropped
        else "; too ill-conditioned for the kernels"
    )
    raw.notes[g][""] = note
    _fill_tests(batch, raw, g, ys, Xr, fit, const_r, ids, series_route=True)


def _fill_tests(
    batch: Batch, raw: Raw, g: int, ys, Xr, fit: _lstsq.Fit, const_r, ids, series_route=False
):
    out = raw.out[g]
    e = np.ascontiguousarray(fit.resid)
    n, r = Xr.shape
    rest = np.delete(Xr, const_r, axis=1) if const_r >= 0 else Xr
    col = {tid: i for i, (tid, _, _, _) in enumerate(TESTS)}

    def put(tid, prefix, status, stat, ls=True):
        out[FIELD[status_field(prefix)]] = status
        out[FIELD[f"{prefix}_stat"]] = stat if status == 0 else math.nan
        raw.ls[g, col[tid]] = ls

    if fit.exact:
        # An exact fit: the residuals are rounding noise and say nothing.
        for tid, prefix in (
            ("breusch_godfrey", "bg"),
            ("breusch_pagan", "bp"),
            ("ljung_box", "lb"),
            ("jarque_bera", "jb"),
            ("hac_wald", "hac"),
        ):
            if tid in ids:
                put(tid, prefix, -1003, math.nan, series_route)
        ids = ids - {"breusch_godfrey", "breusch_pagan", "ljung_box", "jarque_bera", "hac_wald"}

    if "breusch_godfrey" in ids:
        L = batch.lags
        if L >= n:
            put("breusch_godfrey", "bg", -1005, math.nan, False)
        else:
            put("breusch_godfrey", "bg", 0, _lstsq.bg(e, rest, L))
    if "breusch_pagan" in ids:
        Xa = Xr if const_r >= 0 else np.column_stack([np.ones(n), Xr])
        if not np.mean(e * e) > 0:
            put("breusch_pagan", "bp", -1003, math.nan, False)
        else:
            lm, koenker = _lstsq.bp(e, Xa)
            put("breusch_pagan", "bp", 0, lm)
            out[FIELD["bpk_stat"]] = koenker
        raw.ls[g, col["breusch_pagan_koenker"]] = raw.ls[g, col["breusch_pagan"]]
    if "chow" in ids:
        t = int(batch.t_break[g])
        if not 1 <= t <= n - 1:
            put("chow", "chow", -1007, math.nan, False)
        else:
            F, df, status, sure = _lstsq.chow(ys, Xr, t)
            put("chow", "chow", status, F)
            raw.chow_df[g] = df
            _digits_note(raw, g, "chow", sure)
    if ids & {"cusum", "cusum_squares"}:
        status, c, sq, m, sure = _lstsq.cusum_pair(ys, fit)
        if "cusum" in ids:
            put("cusum", "cusum", status, c)
            _digits_note(raw, g, "cusum", sure)
        if "cusum_squares" in ids:
            put("cusum_squares", "cusumsq", status, sq)
            _digits_note(raw, g, "cusum_squares", sure)
        out[FIELD["m"]] = m
    if series_route:
        # Series statistics of the residuals go through the same kernels.
        from Kalvoren._ckernels.diag import _diag

        if "ljung_box" in ids:
            status, stat = _diag.lb_stat(e, batch.lags)
            put("ljung_box", "lb", status, stat, False)
        if "jarque_bera" in ids:
            status, stat = _diag.jb_stat(e)
            put("jarque_bera", "jb", status, float(stat), False)
        out[FIELD["k"]] = r
        raw.chow_df[g] = raw.chow_df[g] if "chow" in ids else (r, n - 2 * r)


@dataclass
class Table:
    """Everything a user reads, as (G, ntests) arrays (nested lists for one
    series; dense() makes arrays) in the order of TESTS:
    statistic, p-value, degrees of freedom (df2 only for F; NaN where a test
    has none), status, whether the least-squares route was taken, the table
    bound ("<", ">" or None) and the note ("" for most)."""

    stat: Any
    pvalue: Any
    df1: Any
    df2: Any
    status: Any
    ls: Any
    bound: Any
    note: Any
    alpha: float
    raw: Raw

    def dense(self) -> "Table":
        """The same table with every field a (G, ntests) array (one series is
        finished into plain lists)."""
        if isinstance(self.stat, np.ndarray):
            return self
        return Table(
            np.array(self.stat),
            np.array(self.pvalue),
            np.array(self.df1),
            np.array(self.df2),
            np.array(self.status, dtype=np.int64),
            np.array(self.ls, dtype=bool),
            np.array(self.bound, dtype=object),
            np.array(self.note, dtype=object),
            self.alpha,
            self.raw,
        )

    def row(self, g: int) -> tuple[list, ...]:
        """Series g as Python lists: stat, p, df1, df2, status, ls, bound, note."""
        fields = (
            self.stat,
            self.pvalue,
            self.df1,
            self.df2,
            self.status,
            self.ls,
            self.bound,
            self.note,
        )
        return tuple(f[g].tolist() if isinstance(f, np.ndarray) else f[g] for f in fields)

    def reject(self) -> np.ndarray:
        """p < alpha as 1.0/0.0, NaN without a p-value."""
        pv = np.asarray(self.pvalue)
        with np.errstate(invalid="ignore"):
            return np.where(np.isfinite(pv), pv < self.alpha, np.nan)

    def df_of(self, i: int, g: int):
        d1, d2 = self.df1[g][i], self.df2[g][i]
        if d1 != d1:
            return None
        return int(d1) if d2 != d2 else (int(d1), int(d2))


_STAT_COLS = [FIELD[f"{p}_stat"] for _, p, _, _ in TESTS]
_CHI2 = [i for i, t in enumerate(TESTS) if t[3] == "chi2"]
_CHOW, _CUSUM, _CUSUMSQ, _JB = (
    TEST_IDS.index(t) for t in ("chow", "cusum", "cusum_squares", "jarque_bera")
)


def _note(
    raw: Raw, g: int, i: int, status: float, p: float, bound: str | None, whole_ls: bool
) -> str:
    nt = raw.notes[g]
    parts = [v for v in (nt.get("data", ""), nt.get("", "")) if v]
    if status != status:
        parts.append("not run")
    elif status != 0:
        s = int(status)
        text = TEST_STATUS_TEXT.get((TEST_IDS[i], s)) or STATUS_TEXT.get(s, "failed")
        parts.append(f"status {s}: {text}")
    elif raw.ls[g, i] and not whole_ls:
        parts.append(
            "refused by the kernel (rank-deficient or ill-conditioned); least-squares route"
        )
    sure = nt.get(f"digits:{TEST_IDS[i]}") or nt.get("digits")
    if status == 0 and sure:
        parts.append(sure)
    if bound is not None:
        side = "below" if bound == "<" else "above"
        parts.append(f"p-value {side} the table's range ({p:.4g})")
    return "; ".join(parts)


def _finish_one(batch: Batch, raw: Raw, alpha: float) -> Table:
    """finish() for one series, on Python floats: the same functions element
    by element, so the same bits, at a fraction of the cost."""
    o = raw.out[0].tolist()
    n, rank, T = o[FIELD["n"]], float(raw.rank[0]), len(TESTS)
    slopes = rank - 1.0 if batch.const_col >= 0 else rank
    df1 = [math.nan] * T
    df2 = [math.nan] * T
    for i, d in zip(
        _CHI2,
        (
            float(batch.lags),
            slopes,
            slopes,
            min(float(batch.lags), max(n - 1.0, 0.0)),
            o[FIELD["hac_df"]],
        ),
    ):
        df1[i] = d
    df1[_CHOW], df2[_CHOW] = float(raw.chow_df[0, 0]), float(raw.chow_df[0, 1])
    status = [o[c] for c in _STATUS_IDX]
    ok = [s == 0 for s in status]
    stat = [o[c] if okk else math.nan for c, okk in zip(_STAT_COLS, ok)]
    p = [math.nan] * T
    bound: list = [None] * T
    chi = _pvalues.special.chdtrc([df1[i] for i in _CHI2], [stat[i] for i in _CHI2]).tolist()
    for i, v in zip(_CHI2, chi):
        if ok[i] and df1[i] >= 1:
            p[i] = v
    if ok[_CHOW] and df1[_CHOW] >= 1 and df2[_CHOW] >= 1:
        p[_CHOW] = float(_pvalues.special.fdtrc(df1[_CHOW], df2[_CHOW], stat[_CHOW]))
    p[_JB], bound[_JB] = _pvalues.jb_pvalue_one(stat[_JB], int(n) if n == n else 0)
    m = o[FIELD["m"]]
    m = n - o[FIELD["k"]] if m != m else m
    m = m if math.isfinite(m) else 0.0
    p[_CUSUM], bound[_CUSUM] = _pvalues.cusum_pvalue_one(stat[_CUSUM], m)
    p[_CUSUMSQ], bound[_CUSUMSQ] = _pvalues.cusumsq_pvalue_one(stat[_CUSUMSQ], m)
    notes = raw.notes[0]
    whole_ls = "" in notes
    ls_row = raw.ls[0].tolist()
    note = [""] * T
    for i in range(T):
        if not ok[i]:
            p[i], bound[i], df1[i], df2[i] = math.nan, None, math.nan, math.nan
        if not ok[i] or ls_row[i] or notes or bound[i] is not None:
            note[i] = _note(raw, 0, i, status[i], p[i], bound[i], whole_ls)
    ls = [v or whole_ls for v in ls_row]
    st = [int(s) if s == s else 0 for s in status]
    return Table([stat], [p], [df1], [df2], [st], [ls], [bound], [note], alpha, raw)


def finish(batch: Batch, raw: Raw, alpha: float) -> Table:
    """p-values, degrees of freedom, decisions and notes, vectorised over
    series and tests alike."""
    if batch.G == 1:
        return _finish_one(batch, raw, alpha)
    out, G = raw.out, batch.G
    n = out[:, FIELD["n"]]
    status = out[:, _STATUS_IDX]
    ok = status == 0
    stat = np.where(ok, out[:, _STAT_COLS], np.nan)
    slopes = raw.rank - 1 if batch.const_col >= 0 else raw.rank
    df1 = np.full((G, len(TESTS)), np.nan)
    df2 = np.full((G, len(TESTS)), np.nan)
    df1[:, _CHI2] = np.column_stack(
        [
            np.full(G, float(batch.lags)),
            slopes,
            slopes,
            np.minimum(batch.lags, np.maximum(n - 1, 0)),
            out[:, FIELD["hac_df"]],
        ]
    )
    df1[:, _CHOW], df2[:, _CHOW] = raw.chow_df[:, 0], raw.chow_df[:, 1]
    p = np.full((G, len(TESTS)), np.nan)
    p[:, _CHI2] = _pvalues.chi2_sf(stat[:, _CHI2], df1[:, _CHI2])
    p[:, _CHOW] = _pvalues.f_sf(stat[:, _CHOW], df1[:, _CHOW], df2[:, _CHOW])
    bound = np.full((G, len(TESTS)), None, dtype=object)
    p[:, _JB], bound[:, _JB] = _pvalues.jb_pvalue(stat[:, _JB], np.nan_to_num(n).astype(np.int64))
    # m comes with CUSUM of squares; CUSUM alone has n - k recursive residuals
    m = out[:, FIELD["m"]]
    m = np.where(np.isnan(m), n - out[:, FIELD["k"]], m)
    m = np.where(np.isfinite(m), m, 0).astype(np.int64)
    p[:, _CUSUM], bound[:, _CUSUM] = _pvalues.cusum_pvalue(stat[:, _CUSUM], m)
    p[:, _CUSUMSQ], bound[:, _CUSUMSQ] = _pvalues.cusumsq_pvalue(stat[:, _CUSUMSQ], m)
    bound[bound == ""] = None
    p[~ok] = np.nan
    bound[~ok] = None
    df1[~ok] = np.nan
    df2[~ok] = np.nan
    whole_ls = np.fromiter(("" in nt for nt in raw.notes), dtype=bool, count=G)
    ls = raw.ls | whole_ls[:, None]
    note = np.full((G, len(TESTS)), "", dtype=object)
    has_note = np.fromiter((bool(nt) for nt in raw.notes), dtype=bool, count=G)
    unusual = ~ok | raw.ls | has_note[:, None] | (bound != None)  # noqa: E711
    for g, i in np.argwhere(unusual):
        note[g, i] = _note(raw, g, i, status[g, i], p[g, i], bound[g, i], whole_ls[g])
    return Table(
        stat, p, df1, df2, np.nan_to_num(status).astype(np.int64), ls, bound, note, alpha, raw
    )
