"""HTML reports: self-contained pages with every part of the report, charts
that are valid SVG whatever the axis, the many-series summary, and a real
headless Chromium that renders the page without console errors and shows
the plots (skipped when no Chromium is installed)."""

import base64
import fcntl
import io
import json
import os
import re
import select
import shutil
import signal
import subprocess
import time
import types
import warnings
import xml.etree.ElementTree as ET

import numpy as np
import pandas as pd
import pytest

import Kalvoren
from Kalvoren import _html, diagnostics

BLUE = (0x1F, 0x5F, 0xBF)  # the colour of the plotted paths


@pytest.fixture(scope="module")
def report():
    rng = np.random.default_rng(27)
    n = 80
    X = pd.DataFrame(rng.normal(size=(n, 2)), columns=["price", "promo <&>"])
    X.index = pd.date_range("2001-01-01", periods=n, freq="MS", name="month")
    y = pd.Series(
        1.0 + X.to_numpy() @ [0.5, -1.0] + rng.normal(size=n), index=X.index, name="sales"
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Kalvoren.KalvorenWarning)
        return Kalvoren.diagnose(y, X, hac_lags=500, break_label="2004-01-01")


def svgs(page):
    return re.findall(r"<svg .*?</svg>", page, flags=re.S)


def test_page_is_self_contained_and_complete(report):
    page = report.to_html()
    assert page.startswith("<!DOCTYPE html>") and "<script" not in page.lower()
    # nothing to fetch: no src=, hrefs only to data:, urls only to the page's own clips
    assert "src=" not in page
    assert set(re.findall(r'href="([^"]*)"', page)) == {"data:,"}
    assert set(re.findall(r"url\((.*?)\)", page)) <= {
        f"#{c}" for c in re.findall(r'id="(kvr-clip-\w+)"', page)
    }
    assert set(re.findall(r"https?://[^\"' ]+", page)) == {"http://www.w3.org/2000/svg"}
    for text in (
        "OLS of sales on const, price, promo &lt;&amp;&gt;",
        "2004-01-01",
        "(500 asked: clamped to n - 1)",
    ):
        assert text in page, text
    for tid, r in report.tests.items():
        assert tid in page and _html._e(r.null) in page
        if r.note:
            assert _html._e(r.note) in page
    decided = page.count('"yes">reject H0<') + page.count('"no">do not reject<')
    assert decided == len(report.tests)
    assert all(_html._e(w) in page for w in report.warnings) and report.warnings
    charts = svgs(page)
    assert len(charts) == 2 and "CUSUM of squares" in charts[1]
    for chart in charts:
        ET.fromstring(chart)  # well-formed
        assert "2005" in chart  # date ticks
    notebook = report._repr_html_()  # the same body, without the page around it
    assert notebook.count("<svg") == 2 and notebook.split("<h2>Model</h2>")[1] in page


def test_command_line_html_equals_the_api(tmp_path, report):
    path = tmp_path / "d.csv"
    frame = pd.DataFrame(
        {"y": np.sin(np.arange(60.0)) + np.arange(60) * 0.1, "x": np.cos(np.arange(60.0))}
    )
    frame.to_csv(path, index=False)
    import contextlib

    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert diagnostics.main([str(path), "--y", "y", "--x", "x", "--format", "html"]) == 0
    expected = Kalvoren.diagnose(frame.y, frame.x).to_html(title=f"Residual diagnostics: {path}")
    assert out.getvalue() == expected + ("" if expected.endswith("\n") else "\n")


def test_report_without_recursive_residuals_says_so():
    X = np.arange(20.0)[:, None]
    page = Kalvoren.diagnose(1.0 + 2.0 * X[:, 0], X).to_html()
    assert "no plot:" in page and not svgs(page)


@pytest.mark.parametrize(
    "x",
    [
        np.arange(30),
        np.linspace(-1e-9, 1e-9, 30),
        pd.date_range("1990-03-01", periods=30, freq="QS"),
        pd.period_range("1990Q1", periods=30, freq="Q"),
        np.full(30, 7.0),
    ],
    ids=["ints", "tiny", "dates", "periods", "one x"],
)
def test_charts_are_valid_svg(x):
    y = np.sin(np.arange(30.0))
    y[[3, 4, 17]] = [np.nan, np.inf, np.nan]
    panel = _html.Panel("t <1>", x, [_html.Line("a & b", y), _html.Line(None, np.full(30, np.nan))])
    root = ET.fromstring(_html.svg_chart(panel))
    lines = root.findall(".//{http://www.w3.org/2000/svg}polyline")
    assert len(lines) == 3  # broken at the gaps; nothing for the all-NaN line
    for pl in lines:
        pts = np.array([p.split(",") for p in pl.get("points").split()], dtype=float)
        assert np.isfinite(pts).all()


def test_f_sequence_panel_from_the_test_record():
    seq = np.array([1.0, 4.0, 9.5, 3.0])
    stub = types.SimpleNamespace(
        tests={"sup_f": None},
        _record=types.SimpleNamespace(
            extra=[{"sup_f": {"sequence": seq, "positions": [10, 11, 12, 13], "critical": 8.6}}]
        ),
        index=pd.Index(range(1950, 1980), name="year"),
        alpha=0.05,
    )
    (panel,) = _html._f_sequence_panel(stub)
    assert list(panel.x) == [1960, 1961, 1962, 1963] and panel.x_label == "year"
    assert [ln.label for ln in panel.lines] == ["F statistic", "critical value at 0.05"]
    assert "sup-F" in _html.svg_chart(panel)


def test_many_series_summary(rng):
    parts = []
    for g in range(9):
        n = 5 if g == 4 else 50
        x = rng.normal(size=n)
        e = rng.normal(size=n) * (1 + 3 * (g % 3 == 0) * (np.arange(n) > n // 2))
        parts.append(pd.DataFrame({"shop": f"s{g}", "y": x + e, "a": x}))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Kalvoren.KalvorenWarning)
        res = Kalvoren.diagnose_many(pd.concat(parts), by="shop", y="y", x=["a"])
    page = Kalvoren.summary_html(res, title="Shops", worst=3)
    assert page.startswith("<!DOCTYPE html>") and "<title>Shops</title>" in page
    for tid in Kalvoren.TEST_IDS[:9]:
        rate = res[f"{tid}_reject"].dropna().astype(bool).mean()
        assert f"{100 * rate:.1f}%" in page
    assert "Groups not fully tested (1 of 9)" in page and ">s4<" in page
    worst = res.filter(like="_reject").fillna(False).astype(bool).sum(axis=1).idxmax()
    assert f">{worst}<" in page
    ET.fromstring(svgs(page)[0])
    with pytest.raises(TypeError):
        Kalvoren.summary_html(res.to_numpy())


# ------------------------------------------------------------ the browser


def _chromium():
    for name in (os.environ.get("KVR_CHROMIUM"), "chromium", "chromium-browser", "google-chrome"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


class DevTools:
    """Chromium's DevTools protocol over --remote-debugging-pipe (fds 3, 4):
    JSON messages ended by NUL, no third-party client."""

    def __init__(self, exe, profile):
        to_child, self._w = os.pipe()
        self._r, from_child = os.pipe()
        # above 4, so wiring one cannot close the other
        fds = tuple(fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (to_child, from_child))

        def wire():  # in the child: the protocol's fds at 3 and 4
            os.dup2(fds[0], 3)
            os.dup2(fds[1], 4)

        args = [
            exe,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--hide-scrollbars",
            "--no-first-run",
            "--disable-extensions",
            "--remote-debugging-pipe",
            f"--user-data-dir={profile}",
            "about:blank",
        ]
        self.proc = subprocess.Popen(
            args,
            pass_fds=(3, 4),
            preexec_fn=wire,
            start_new_session=True,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        for fd in (to_child, from_child, *fds):
            os.close(fd)
        self._buf, self._id, self.events = b"", 0, []

    def _message(self, deadline):
        while b"\0" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._r], [], [], left)[0]:
                raise TimeoutError("no answer from Chromium")
            chunk = os.read(self._r, 1 << 20)
            if not chunk:
                raise EOFError("Chromium closed the pipe")
            self._buf += chunk
        raw, self._buf = self._buf.split(b"\0", 1)
        return json.loads(raw)

    def call(self, method, session=None, timeout=60, **params):
        self._id += 1
        msg = {"id": self._id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self._w, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            m = self._message(deadline)
            if m.get("id") == self._id:
                if "error" in m:
                    raise RuntimeError(f"{method}: {m['error']}")
                return m["result"]
            self.events.append(m)

    def wait_for(self, method, timeout=60):
        deadline = time.monotonic() + timeout
        while not any(e.get("method") == method for e in self.events):
            self.events.append(self._message(deadline))

    def close(self):
        try:
            self.call("Browser.close", timeout=10)
            self.proc.wait(timeout=20)
        except (OSError, EOFError, TimeoutError, RuntimeError, subprocess.TimeoutExpired):
            os.killpg(self.proc.pid, signal.SIGKILL)  # the browser and its helpers
            self.proc.wait(timeout=30)
        os.close(self._w)
        os.close(self._r)


def test_page_in_headless_chromium(tmp_path, report):
    exe = _chromium()
    if exe is None:
        pytest.skip("no Chromium (apt-get install chromium); the browser check needs one")
    Image = pytest.importorskip("PIL.Image")
    page = tmp_path / "report.html"
    page.write_text(report.to_html(), encoding="utf-8")
    cdp = DevTools(exe, tmp_path / "profile")
    try:
        target = cdp.call("Target.createTarget", url="about:blank")["targetId"]
        sid = cdp.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Runtime", "Log", "Page", "Network"):
            cdp.call(f"{domain}.enable", session=sid)
        cdp.call(
            "Emulation.setDeviceMetricsOverride",
            session=sid,
            width=1000,
            height=2400,
            deviceScaleFactor=1,
            mobile=False,
        )
        cdp.call("Page.navigate", session=sid, url=page.as_uri())
        cdp.wait_for("Page.loadEventFired")
        boxes = cdp.call(
            "Runtime.evaluate",
            session=sid,
            returnByValue=True,
            expression="[...document.querySelectorAll('svg.kvr-plot')].map(s => {"
            "const r = s.getBoundingClientRect(); return [r.x, r.y, r.width, r.height]})",
        )["result"]["value"]
        shot = cdp.call("Page.captureScreenshot", session=sid, format="png")["data"]
    finally:
        cdp.close()
    errors = [
        e
        for e in cdp.events
        if e.get("method") == "Runtime.exceptionThrown"
        or (e.get("method") == "Runtime.consoleAPICalled" and e["params"]["type"] == "error")
        or (e.get("method") == "Log.entryAdded" and e["params"]["entry"]["level"] == "error")
    ]
    assert errors == []
    fetched = {
        e["params"]["request"]["url"]
        for e in cdp.events
        if e.get("method") == "Network.requestWillBeSent"
    }
    assert fetched <= {page.as_uri()}
    assert len(boxes) == 2
    img = np.asarray(Image.open(io.BytesIO(base64.b64decode(shot))).convert("RGB")).astype(int)
    for x, y, w, h in boxes:
        assert w > 300 and h > 150
        part = img[int(y) : int(y + h), int(x) : int(x + w)]
        blue = (np.abs(part - BLUE).sum(axis=2) < 60).sum()
        assert blue > 300, (x, y, blue)  # the path is drawn, not just the frame
