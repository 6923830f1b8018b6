"""Reports as HTML people can share: one self-contained page (no scripts,
nothing fetched, the plots as inline SVG) for a regression's report, and one
for the summary of a many-series run.

The plots are drawn here, without matplotlib, so the page needs nothing but
the package.
"""

from __future__ import annotations

import html
import math
import zlib
from dataclasses import dataclass, field
from typing import Any, Callable, Sequence

import numpy as np

from Kalvoren._registry import BY_ID, TEST_IDS
from Kalvoren._results import fmt, fmt_p

__all__ = ["report_page", "report_fragment", "summary_html", "svg_chart", "Line", "PANELS"]

_STYLE = """
.kvr{font-family:system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:#1d2330;
max-width:980px;margin:0 auto;padding:8px 16px;line-height:1.4}
.kvr h1{font-size:1.45em;margin:.4em 0}.kvr h2{font-size:1.15em;margin:1.3em 0 .4em;
border-bottom:1px solid #d5d9e0;padding-bottom:.2em}
.kvr table{border-collapse:collapse;margin:.4em 0;font-size:.9em}
.kvr th,.kvr td{border-bottom:1px solid #e3e6eb;padding:3px 9px;text-align:right;
vertical-align:top}
.kvr th{background:#f3f5f8;font-weight:600}.kvr td,.kvr th{white-space:nowrap}
.kvr td.l,.kvr th.l{text-align:left;white-space:normal}
.kvr .yes{color:#b3261e;font-weight:600}.kvr .no{color:#2e6b30}
.kvr .muted{color:#6b7280}.kvr ul{margin:.3em 0 .3em 1.2em;padding:0}
.kvr .warn{background:#fff7e0;border-left:4px solid #e0a800;padding:.4em .8em;margin:.5em 0}
.kvr dl{display:grid;grid-template-columns:max-content auto;gap:2px 14px;margin:.4em 0}
.kvr dt{color:#4b5563}.kvr dd{margin:0}
.kvr figure{margin:.8em 0}.kvr svg.kvr-plot{max-width:100%;height:auto;background:#fff}
.kvr .note{max-width:320px;text-align:left;font-size:.92em;color:#4b5563}
"""

_COLORS = ("#1f5fbf", "#c0392b", "#7f8c8d", "#111111", "#2e8b57", "#8e44ad")


def _e(v: Any) -> str:
    return html.escape(str(v), quote=True)


# ----------------------------------------------------------------- charts


@dataclass
class Line:
    """One line of a chart: values over the chart's x, with its look."""

    label: str | None
    y: Any
    color: str = _COLORS[0]
    width: float = 1.6
    dash: str | None = None  # an SVG stroke-dasharray, e.g. "5,4"


@dataclass
class Panel:
    """A chart of the report: title, x values (numbers or datetimes), lines."""

    title: str
    x: Any
    lines: list[Line] = field(default_factory=list)
    x_label: str = "observation"
    y_range: tuple[float, float] | None = None


def _nice_step(span: float, count: int) -> float:
    raw = span / max(count, 1)
    mag = 10.0 ** math.floor(math.log10(raw))
    for m in (1.0, 2.0, 2.5, 5.0, 10.0):
        if raw <= m * mag:
            return m * mag
    return 10.0 * mag


def _ticks(lo: float, hi: float, count: int = 6) -> list[float]:
    if not (math.isfinite(lo) and math.isfinite(hi)) or hi <= lo:
        return [lo]
    step = _nice_step(hi - lo, count)
    first = math.ceil(lo / step - 1e-9) * step
    out, v = [], first
    while v <= hi + step * 1e-9:
        out.append(0.0 if abs(v) < step * 1e-9 else v)
        v += step
    return out


def _tick_text(v: float) -> str:
    return f"{v:.6g}"


def _as_numbers(x: Any) -> tuple[np.ndarray, Callable[[float], str] | None]:
    """x as floats, and a labeller for dates (x in fractional years then)."""
    import pandas as pd

    if isinstance(x, pd.PeriodIndex):
        x = x.to_timestamp()
    if isinstance(x, pd.DatetimeIndex) or (
        isinstance(x, np.ndarray) and np.issubdtype(x.dtype, np.datetime64)
    ):
        t = pd.DatetimeIndex(x)
        years = t.year + (t.day_of_year - 1 + t.hour / 24.0) / (365.0 + t.is_leap_year)
        return np.asarray(years, dtype=np.float64), _year_label
    return np.asarray(x, dtype=np.float64), None


def _year_label(v: float) -> str:
    year = math.floor(v + 1e-9)
    frac = v - year
    if abs(frac) < 1e-6:
        return str(year)
    month = min(12, 1 + int(round(frac * 12.0)))
    return f"{year}-{month:02d}"


def _points(
    xs: np.ndarray, ys: np.ndarray, fx: Callable[[float], float], fy: Callable[[float], float]
) -> list[str]:
    """Polyline point lists, broken where a value is not finite."""
    runs, cur = [], []
    for a, b in zip(xs.tolist(), ys.tolist()):
        if math.isfinite(a) and math.isfinite(b):
            cur.append(f"{fx(a):.1f},{fy(b):.1f}")
        elif cur:
            runs.append(" ".join(cur))
            cur = []
    if cur:
        runs.append(" ".join(cur))
    return runs


def svg_chart(panel: Panel, width: int = 760, height: int = 280) -> str:
    """A line chart as an inline SVG element (no scripts, no fonts fetched)."""
    xs, label_of = _as_numbers(panel.x)
    ys = [np.asarray(line.y, dtype=np.float64) for line in panel.lines]
    finite = [v[np.isfinite(v)] for v in ys]
    allv = np.concatenate(finite) if finite else np.empty(0)
    if panel.y_range is not None:
        lo, hi = panel.y_range
    elif allv.size:
        lo, hi = float(allv.min()), float(allv.max())
    else:
        lo, hi = 0.0, 1.0
    if hi <= lo:
        lo, hi = lo - 1.0, hi + 1.0
    pad = (hi - lo) * 0.04
    lo, hi = lo - pad, hi + pad
    fin_x = xs[np.isfinite(xs)]
    x0, x1 = (float(fin_x.min()), float(fin_x.max())) if fin_x.size else (0.0, 1.0)
    if x1 <= x0:
        x0, x1 = x0 - 0.5, x1 + 0.5
    left, right, top, bottom = 64, 16, 54, 44
    pw, ph = width - left - right, height - top - bottom

    def fx(v: float) -> float:
        return left + (v - x0) / (x1 - x0) * pw

    def fy(v: float) -> float:
        return top + (hi - v) / (hi - lo) * ph

    title = _e(panel.title)
    out = [
        f'<svg class="kvr-plot" xmlns="http://www.w3.org/2000/svg" role="img" '
        f'aria-label="{title}" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="11">',
        f"<title>{title}</title>",
        f'<rect x="0" y="0" width="{width}" height="{height}" fill="#ffffff"/>',
        f'<text x="{left}" y="16" font-size="13" font-weight="600" fill="#1d2330">{title}</text>',
    ]
    for v in _ticks(lo, hi):  # horizontal grid and y labels
        y = fy(v)
        out.append(
            f'<line x1="{left}" x2="{left + pw}" y1="{y:.1f}" y2="{y:.1f}" stroke="#e6e8ec"/>'
            f'<text x="{left - 6}" y="{y + 4:.1f}" text-anchor="end" fill="#4b5563">'
            f"{_e(_tick_text(v))}</text>"
        )
    xt = _ticks(x0, x1, 8)
    if label_of is not None and x1 - x0 >= 2:
        xt = [v for v in xt if abs(v - round(v)) < 1e-9] or xt
    for v in xt:
        x = fx(v)
        text = label_of(v) if label_of is not None else _tick_text(v)
        out.append(
            f'<line x1="{x:.1f}" x2="{x:.1f}" y1="{top + ph}" y2="{top + ph + 4}" stroke="#6b7280"/>'
            f'<text x="{x:.1f}" y="{top + ph + 16}" text-anchor="middle" fill="#4b5563">'
            f"{_e(text)}</text>"
        )
    out.append(
        f'<rect x="{left}" y="{top}" width="{pw}" height="{ph}" fill="none" stroke="#9ca3af"/>'
    )
    out.append(
        f'<text x="{left + pw / 2:.1f}" y="{height - 6}" text-anchor="middle" '
        f'fill="#374151">{_e(panel.x_label)}</text>'
    )
    clip = f"kvr-clip-{zlib.crc32(panel.title.encode()):08x}"
    out.append(
        f'<defs><clipPath id="{clip}"><rect x="{left}" y="{top}" width="{pw}" '
        f'height="{ph}"/></clipPath></defs><g clip-path="url(#{clip})">'
    )
    for line, yv in zip(panel.lines, ys):
        dash = f' stroke-dasharray="{line.dash}"' if line.dash else ""
        for pts in _points(xs, yv, fx, fy):
            out.append(
                f'<polyline class="kvr-line" fill="none" stroke="{line.color}" '
                f'stroke-width="{line.width}"{dash} points="{pts}"/>'
            )
    out.append("</g>")
    lx: float = left
    for line in panel.lines:  # the legend, one row above the plot
        if not line.label:
            continue
        dash = f' stroke-dasharray="{line.dash}"' if line.dash else ""
        out.append(
            f'<line x1="{lx}" x2="{lx + 22}" y1="36" y2="36" stroke="{line.color}" '
            f'stroke-width="{max(line.width, 1.5)}"{dash}/>'
            f'<text x="{lx + 27}" y="40" fill="#374151">{_e(line.label)}</text>'
        )
        lx += 40 + 6.2 * len(line.label)
    out.append("</svg>")
    return "".join(out)


# ------------------------------------------------------ the report's plots


def _cusum_panels(report: Any) -> list[Panel]:
    ran = [report.tests[t] for t in ("cusum", "cusum_squares") if t in report.tests]
    if ran and all(r.status != 0 for r in ran):  # e.g. an exact fit: the path is rounding noise
        raise ValueError(f"CUSUM paths: {ran[0].note or 'no recursive residuals'}")
    p = report.paths()
    x_label = str(getattr(report.index, "name", None) or "observation")
    bound, classic = p["cusum_bound"], p["cusum_classic"]
    cusum = Panel(
        "CUSUM of recursive residuals",
        p["x"],
        [
            Line("CUSUM", p["cusum"], _COLORS[0], 1.8),
            Line("5% boundary (finite sample)", bound, _COLORS[1], 1.2),
            Line(None, -bound, _COLORS[1], 1.2),
            Line("classic 0.948 boundary", classic, _COLORS[2], 1.0, "5,4"),
            Line(None, -classic, _COLORS[2], 1.0, "5,4"),
        ],
        x_label,
    )
    band, exp = p["cusum_squares_band"], p["expected"]
    squares = Panel(
        "CUSUM of squares",
        p["x"],
        [
            Line("CUSUM of squares", p["cusum_squares"], _COLORS[0], 1.8),
            Line("expected under H0", exp, _COLORS[3], 1.0, "2,3"),
            Line("5% band", np.clip(exp + band, 0, 1), _COLORS[1], 1.2),
            Line(None, np.clip(exp - band, 0, 1), _COLORS[1], 1.2),
        ],
        x_label,
        (0.0, 1.0),
    )
    return [cusum, squares]


def _f_sequence_panel(report: Any) -> list[Panel]:
    """The F statistics over candidate breaks, when the report ran sup_f: from
    what the test left in its record (``sequence``: the statistics, with
    ``positions`` and ``critical`` when given), else from ``f_sequence``."""
    if "sup_f" not in report.tests:
        return []
    extra = report._record.extra[0].get("sup_f") or {}
    seq = extra.get("sequence") if isinstance(extra, dict) else None
    if seq is None:
        try:
            from Kalvoren._breaks import f_sequence
        except ImportError:
            return []
        model = report._model
        trim = report._batch.options.get("f_trim", 0.15)
        seq = f_sequence(model.y, model.X, f_trim=trim)
    values = np.asarray(getattr(seq, "to_numpy", lambda: seq)(), dtype=np.float64)
    positions = extra.get("positions") if isinstance(extra, dict) else None
    if positions is None:
        positions = getattr(seq, "index", None)
    positions = np.arange(values.size) if positions is None else np.asarray(positions)
    if np.issubdtype(positions.dtype, np.integer) and report.index is not None:
        x = report.index[positions] if positions.size else positions
        x = x if _as_numbers_ok(x) else positions
    else:
        x = positions
    lines = [Line("F statistic", values, _COLORS[0], 1.8)]
    crit = extra.get("critical") if isinstance(extra, dict) else None
    if crit is not None and math.isfinite(float(crit)):
        lines.append(
            Line(f"critical value at {report.alpha:g}", np.full(values.size, crit), _COLORS[1])
        )
    x_label = str(getattr(report.index, "name", None) or "observation")
    return [Panel("F statistics over candidate breaks (sup-F)", x, lines, x_label)]


def _as_numbers_ok(x: Any) -> bool:
    try:
        _as_numbers(x)
        return True
    except (TypeError, ValueError):
        return False


#: The report's plots, in order: each takes a Report and gives its panels
#: (none when it does not apply). Families of tests may append theirs.
PANELS: list[Callable[[Any], list[Panel]]] = [_cusum_panels, _f_sequence_panel]


def _figures(report: Any) -> tuple[list[str], list[str]]:
    """The plots as SVG, and why any could not be drawn."""
    svgs, missing = [], []
    for make in PANELS:
        try:
            panels = make(report)
        except (ValueError, np.linalg.LinAlgError) as e:
            missing.append(str(e))
            continue
        svgs += [svg_chart(p) for p in panels]
    return svgs, missing


# ---------------------------------------------------------------- tables


def _table(head: Sequence[str], rows: list[list[str]], left: Sequence[int] = (0,)) -> str:
    """Cells are HTML already (escaped by the caller)."""
    th = "".join(f'<th class="{"l" if j in left else ""}">{_e(h)}</th>' for j, h in enumerate(head))
    body = "".join(
        "<tr>"
        + "".join(f'<td class="{"l" if j in left else ""}">{c}</td>' for j, c in enumerate(row))
        + "</tr>"
        for row in rows
    )
    return f"<table><thead><tr>{th}</tr></thead><tbody>{body}</tbody></table>"


def _decision(reject: bool | None) -> str:
    if reject is None:
        return '<span class="muted">no decision</span>'
    return (
        '<span class="yes">reject H0</span>' if reject else '<span class="no">do not reject</span>'
    )


def _df_text(df: Any) -> str:
    if df is None:
        return "–"
    return f"({df[0]}, {df[1]})" if isinstance(df, tuple) else str(df)


def report_fragment(report: Any, title: str | None = None, plots: bool = True) -> str:
    """The report as an HTML fragment (styles included): what a notebook
    shows, and the body of report_page."""
    import Kalvoren

    parts = [f"<style>{_STYLE}</style>", '<div class="kvr">']
    if title:
        parts.append(f"<h1>{_e(title)}</h1>")
    xs = ", ".join(report.x_names) or "nothing"
    rank = f" (rank {report.rank})" if report.rank != report.k else ""
    hac = f"Bartlett, {report.hac_lags} lags"
    if report.hac_lags_requested != report.hac_lags:
        hac += f" ({report.hac_lags_requested} asked: clamped to n - 1)"
    brk = report.break_at
    brk_text = f"{brk} (position {report.t_break})" if brk != report.t_break else str(brk)
    facts = [
        ("model", f"OLS of {report.y_name} on {xs}"),
        ("observations", f"n = {report.n}"),
        ("coefficients", f"k = {report.k}{rank}"),
        ("R²", fmt(report.r2)),
        ("HAC covariance", hac),
        ("condition number", f"{report.condition:.3g}"),
        ("Chow break", brk_text),
        ("level", f"α = {report.alpha:g}: reject H0 when p < α"),
        ("Kalvoren", Kalvoren.__version__),
    ]
    parts.append("<h2>Model</h2><dl>")
    parts += [f"<dt>{_e(k)}</dt><dd>{_e(v)}</dd>" for k, v in facts]
    parts.append("</dl>")
    if report.note:
        parts.append(f'<p class="muted">model: {_e(report.note)}</p>')

    parts.append("<h2>Coefficients</h2>")
    tv, pv = report.tvalues, report.pvalues
    rows = [
        [_e(name), _e(f"{b:.6g}"), _e(f"{s:.6g}"), _e(f"{z:.4g}"), _e(fmt_p(p, None))]
        for name, b, s, z, p in zip(report.x_names, report.params, report.bse, tv, pv)
    ]
    parts.append(_table(["", "coef", "HAC s.e.", "z", "P>|z|"], rows))

    parts.append("<h2>Tests</h2>")
    rows = []
    for tid, r in report.tests.items():
        spec = BY_ID.get(tid)
        rows.append(
            [
                f"<b>{_e(tid)}</b><br><span class='muted'>{_e(spec.title if spec else '')}</span>",
                _e(r.null),
                _e(fmt(r.statistic)),
                _e(_df_text(r.df)),
                _e(fmt_p(r.pvalue, r.pvalue_bound)),
                _decision(r.reject),
                _e(r.route),
                f'<span class="note">{_e(r.note)}</span>' if r.note else "",
            ]
        )
    notes = [(tid, r.note) for tid, r in report.tests.items() if r.note]
    head = ["test", "H0", "statistic", "df", "p-value", "decision", "route", "note"]
    if not notes:
        head, rows = head[:-1], [row[:-1] for row in rows]
    parts.append(_table(head, rows, left=(0, 1, 7)))
    warned = list(getattr(report, "warnings", []))
    if warned:
        parts.append("<h2>Warnings</h2><div class='warn'><ul>")
        parts += [f"<li>{_e(w)}</li>" for w in warned]
        parts.append("</ul></div>")
    if notes or report.note:
        parts.append("<h2>Notes</h2><ul>")
        if report.note:
            parts.append(f"<li><b>model</b>: {_e(report.note)}</li>")
        parts += [f"<li><b>{_e(t)}</b>: {_e(n)}</li>" for t, n in notes]
        parts.append("</ul>")
    if plots:
        svgs, missing = _figures(report)
        if svgs or missing:
            parts.append("<h2>Plots</h2>")
        parts += [f"<figure>{s}</figure>" for s in svgs]
        parts += [f'<p class="muted">no plot: {_e(m)}</p>' for m in missing]
    parts.append("</div>")
    return "".join(parts)


def _page(title: str, body: str) -> str:
    import Kalvoren

    return (
        "<!DOCTYPE html>\n"
        '<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        # nothing may be fetched: not even the favicon
        '<link rel="icon" href="data:,">'
        '<meta http-equiv="Content-Security-Policy" content="default-src \'none\'; '
        "style-src 'unsafe-inline'; img-src data:\">"
        f"<title>{_e(title)}</title></head><body>{body}"
        f'<p class="kvr muted" style="font-size:.8em">Kalvoren {_e(Kalvoren.__version__)}</p>'
        "</body></html>\n"
    )


def report_page(report: Any, title: str | None = None) -> str:
    """A regression's report as one self-contained HTML page."""
    title = title or f"Residual diagnostics: {report.y_name}"
    return _page(title, report_fragment(report, title))


# ------------------------------------------------------------ many series


def _tests_of(frame: Any) -> list[str]:
    return [t for t in TEST_IDS if f"{t}_pvalue" in frame.columns]


def summary_html(result: Any, *, title: str | None = None, worst: int = 10) -> str:
    """A ``diagnose_many`` result (its DataFrame, from any engine) as one
    self-contained HTML page: per test the share of groups rejecting H0 at
    the run's alpha (with a bar chart), the ``worst`` groups with the most
    rejections, the groups that could not be tested, and the notes."""
    import pandas as pd

    if not isinstance(result, pd.DataFrame):
        raise TypeError(f"expected the DataFrame diagnose_many returns, got {type(result)!r}")
    tests = _tests_of(result)
    if not tests:
        raise ValueError("no <test>_pvalue columns: not a diagnose_many result")
    title = title or "Residual diagnostics of many series"
    G = len(result)
    keyname = ", ".join(str(n) for n in result.index.names if n is not None) or "group"
    parts = [f"<style>{_STYLE}</style>", '<div class="kvr">', f"<h1>{_e(title)}</h1>"]
    n = result["n"] if "n" in result.columns else None
    facts = [("groups", str(G))]
    if n is not None and G:
        facts.append(("observations per group", f"{int(n.min())} to {int(n.max())}"))
    parts.append("<dl>" + "".join(f"<dt>{_e(k)}</dt><dd>{_e(v)}</dd>" for k, v in facts) + "</dl>")

    parts.append("<h2>Rejection rates</h2>")
    rows, rates = [], []
    for t in tests:
        col_rej = result[f"{t}_reject"]
        col_status = result[f"{t}_status"]
        tested = int(col_rej.notna().sum())
        yes = int(col_rej.fillna(False).astype(bool).sum())
        rate = yes / tested if tested else math.nan
        rates.append(rate)
        ls = int((result[f"{t}_route"] == "least-squares").sum()) if f"{t}_route" in result else 0
        rows.append(
            [
                _e(t),
                _e(BY_ID[t].null),
                _e(str(tested)),
                _e(str(yes)),
                _e("–" if rate != rate else f"{100 * rate:.1f}%"),
                _e(str(int((col_status != 0).sum()))),
                _e(str(ls)),
            ]
        )
    parts.append(
        _table(
            ["test", "H0", "tested", "rejected", "rate", "not computed", "least-squares"],
            rows,
            left=(0, 1),
        )
    )
    parts.append(f"<figure>{_bar_chart(tests, rates)}</figure>")

    rej = np.column_stack(
        [result[f"{t}_reject"].fillna(False).astype(bool).to_numpy() for t in tests]
    )
    pv = np.column_stack([result[f"{t}_pvalue"].to_numpy(dtype=np.float64) for t in tests])
    count = rej.sum(axis=1)
    with np.errstate(invalid="ignore"):
        pmin = np.where(
            np.isfinite(pv).any(axis=1),
            np.nanmin(np.where(np.isfinite(pv), pv, np.inf), axis=1),
            np.nan,
        )
    order = np.lexsort((np.nan_to_num(pmin, nan=2.0), -count))
    top = [g for g in order[:worst] if count[g] > 0]
    parts.append(f"<h2>Groups with the most rejections (top {worst})</h2>")
    if top:
        rows = []
        for g in top:
            which = [t for t, r in zip(tests, rej[g]) if r]
            j = int(np.nanargmin(np.where(np.isfinite(pv[g]), pv[g], np.inf)))
            rows.append(
                [
                    _e(_key(result.index[g])),
                    _e(str(int(count[g]))),
                    _e(", ".join(which)),
                    _e(f"{tests[j]}: {fmt_p(pv[g, j], None)}"),
                    f'<span class="note">{_e(result["note"].iloc[g])}</span>'
                    if "note" in result
                    else "",
                ]
            )
        parts.append(
            _table(
                [keyname, "rejections", "tests rejecting", "smallest p-value", "note"],
                rows,
                (0, 2, 3, 4),
            )
        )
    else:
        parts.append('<p class="muted">no group rejects any H0</p>')

    status = np.column_stack([result[f"{t}_status"].to_numpy() for t in tests])
    failed = np.flatnonzero((status != 0).any(axis=1))
    parts.append(f"<h2>Groups not fully tested ({failed.size} of {G})</h2>")
    if failed.size:
        rows = []
        for g in failed[:100]:
            bad = [f"{t} ({int(s)})" for t, s in zip(tests, status[g]) if s != 0]
            rows.append(
                [
                    _e(_key(result.index[g])),
                    _e(", ".join(bad)),
                    f'<span class="note">{_e(result["note"].iloc[g])}</span>'
                    if "note" in result
                    else "",
                ]
            )
        parts.append(
            _table([keyname, "tests without a statistic (status)", "note"], rows, (0, 1, 2))
        )
        if failed.size > 100:
            parts.append(f'<p class="muted">and {failed.size - 100} more</p>')
    else:
        parts.append('<p class="muted">every test ran on every group</p>')

    if "note" in result:
        notes = result["note"][result["note"] != ""]
        if len(notes):
            parts.append("<h2>Notes</h2>")
            counts = notes.value_counts()
            rows = [
                [_e(str(c)), f'<span class="note">{_e(t)}</span>']
                for t, c in counts.head(30).items()
            ]
            parts.append(_table(["groups", "note"], rows, (1,)))
            if len(counts) > 30:
                parts.append(f'<p class="muted">and {len(counts) - 30} other notes</p>')
    parts.append("</div>")
    return _page(title, "".join(parts))


def _key(key: Any) -> str:
    return ", ".join(map(str, key)) if isinstance(key, tuple) else str(key)


def _bar_chart(tests: list[str], rates: list[float], width: int = 760) -> str:
    """Horizontal bars: the share of groups rejecting each test's H0."""
    bar, gap, left, top = 18, 8, 190, 30
    height = top + len(tests) * (bar + gap) + 30
    pw = width - left - 60
    out = [
        f'<svg class="kvr-plot" xmlns="http://www.w3.org/2000/svg" role="img" '
        f'aria-label="rejection rates" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="11">',
        "<title>Share of groups rejecting H0</title>",
        f'<rect x="0" y="0" width="{width}" height="{height}" fill="#ffffff"/>',
        f'<text x="{left}" y="16" font-size="13" font-weight="600" fill="#1d2330">'
        "Share of groups rejecting H0</text>",
    ]
    for v in (0.0, 0.25, 0.5, 0.75, 1.0):
        x = left + v * pw
        out.append(
            f'<line x1="{x:.1f}" x2="{x:.1f}" y1="{top - 4}" y2="{height - 24}" stroke="#e6e8ec"/>'
            f'<text x="{x:.1f}" y="{height - 10}" text-anchor="middle" fill="#4b5563">'
            f"{int(v * 100)}%</text>"
        )
    for i, (t, r) in enumerate(zip(tests, rates)):
        y = top + i * (bar + gap)
        out.append(
            f'<text x="{left - 8}" y="{y + bar - 5}" text-anchor="end" fill="#374151">{_e(t)}</text>'
        )
        if r == r:
            out.append(
                f'<rect class="kvr-bar" x="{left}" y="{y}" width="{max(r * pw, 1.0):.1f}" '
                f'height="{bar}" fill="{_COLORS[0]}"/>'
                f'<text x="{left + r * pw + 6:.1f}" y="{y + bar - 5}" fill="#374151">'
                f"{100 * r:.1f}%</text>"
            )
    out.append("</svg>")
    return "".join(out)
