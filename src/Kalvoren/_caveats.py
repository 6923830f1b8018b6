"""Results that stand with a caveat: the bandwidth clamped, columns dropped,
the least-squares route, few digits, few observations for a test's
approximation. Found once over all series (vectorised), so ``diagnose``
warns about each and ``diagnose_many`` sums each kind up once per call; the
notes say the same per test."""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable

import numpy as np

from Kalvoren import _engine
from Kalvoren._registry import BY_ID

if TYPE_CHECKING:
    from Kalvoren._engine import Results

# The chi-square tails of the LM and Wald tests are asymptotic, and rough
# below about 20 observations. (The Jarque-Bera table starts at n = 10, where
# its kernel starts too; the CUSUM tables at m = 2, below the least n.)
CHI2_MIN_N = 20


class KalvorenWarning(UserWarning):
    """A result came with a caveat (its note says which); the numbers stand."""


@dataclass
class Caveat:
    """One kind of caveat over the series it applies to."""

    kind: str
    summary: str  # what diagnose_many says once, after the count of groups
    groups: np.ndarray  # the series
    tests: list[tuple[str, ...]]  # per series, the tests concerned (empty: the model)
    texts: list[str]  # per series, the note
    noted: bool  # already in the tests' notes


def _few_rule(reference: str) -> tuple[int, str] | None:
    """(least n, why) for a reference that needs more observations."""
    if reference == "chi2":
        return CHI2_MIN_N, f"few observations for the chi-square approximation (< {CHI2_MIN_N})"
    return None


def find(
    tests: tuple[str, ...],
    results: Results,
    n: np.ndarray | list[int],
    hac_requested: np.ndarray | list[int] | None,
) -> list[Caveat]:
    """The caveats of finished results (``_engine.Results``, any number of
    series). hac_requested: the bandwidth each series was asked for (None:
    the default rule, which never exceeds n - 1)."""
    if isinstance(results.stat, list):
        # one series (diagnose): most have nothing to say, found without arrays
        rec0 = results.record
        n0 = int(n[0])
        req = None if hac_requested is None else hac_requested[0]
        if (
            not rec0.notes[0]
            and not any(results.least_squares[0])
            and n0 >= CHI2_MIN_N
            and (req is None or not req > n0 - 1)
        ):
            return []
    res = results.dense()
    rec = res.record
    G = res.status.shape[0]
    cols = res.ids  # the tests of the columns
    chosen = [i for i, t in enumerate(cols) if t in tests]
    ok = res.status == 0
    found: list[Caveat] = []

    def add(
        kind: str,
        summary: str,
        groups: np.ndarray | list[int],
        tests_of: Callable[[int], tuple[str, ...]],
        text_of: Callable[[int], str],
        noted: bool,
    ) -> None:
        groups = np.asarray(groups, dtype=np.intp)
        if groups.size:
            found.append(
                Caveat(
                    kind,
                    summary,
                    groups,
                    [tests_of(g) for g in groups],
                    [text_of(g) for g in groups],
                    noted,
                )
            )

    def ids(mask_row: np.ndarray) -> tuple[str, ...]:
        return tuple(cols[i] for i in chosen if mask_row[i])

    # few series have a note of the record: one pass over them finds those
    with_notes = _engine.with_entries(rec.notes)
    model = [g for g in with_notes if "model" in rec.notes[g]]
    add(
        "model",
        "the least-squares route for the whole model (collinear columns dropped, or too "
        "ill-conditioned for the kernels)",
        model,
        lambda g: (),
        lambda g: f"{rec.notes[g]['model']}; least-squares route",
        True,
    )
    ls = np.asarray(res.least_squares) & ok
    in_model = np.zeros(G, bool)
    in_model[model] = True
    some = np.flatnonzero(ls[:, chosen].any(axis=1) & ~in_model)
    add(
        "least_squares",
        "tests refused by the kernels and computed by the least-squares route",
        some,
        lambda g: ids(ls[g]),
        lambda g: "refused by the kernel (rank-deficient or ill-conditioned); least-squares route",
        True,
    )
    for g in with_notes:
        for key in sorted(k for k in rec.notes[g] if k.startswith("digits")):
            tid = key.partition(":")[2]
            if any(t == tid or not tid for t in ids(ok[g])):
                add(
                    "digits",
                    "statistics the data determine to fewer than about 8 digits",
                    [g],
                    lambda g: (tid,) if tid else (),
                    lambda g: (
                        rec.notes[g][key]
                        if tid
                        else rec.notes[g][key].replace("this statistic", "the statistics")
                    ),
                    True,
                )
    n = np.asarray(n, dtype=np.int64)
    if hac_requested is not None:
        req = np.asarray(hac_requested)
        clamped = np.flatnonzero((n >= 1) & (req > n - 1))
        hac = ("hac_wald",) if "hac_wald" in tests else ()
        add(
            "hac_lags",
            "the HAC bandwidth clamped to n - 1",
            clamped,
            lambda g: hac,
            lambda g: f"hac_lags {int(req[g])} clamped to n - 1 = {int(n[g]) - 1}",
            False,
        )
    rules: dict[tuple[int, str], list[int]] = {}
    for i in chosen:
        # the reference the p-value came from: options change some (bg_form, hac_pvalue)
        tid = cols[i]
        rule = _few_rule(rec.references.get(tid) or BY_ID[tid].reference)
        if rule is not None:
            rules.setdefault(rule, []).append(i)
    for (least, why), some_cols in rules.items():
        hit = ok[:, some_cols] & (n < least)[:, None]
        mask = np.zeros_like(ok)
        mask[:, some_cols] = hit
        add(
            "few:" + why,
            f"{why}: {', '.join(cols[i] for i in some_cols)}",
            np.flatnonzero(hit.any(axis=1)),
            lambda g: ids(mask[g]),
            lambda g: f"n = {int(n[g])}: {why}",
            False,
        )
    return found


def add_notes(results: Results, caveats: list[Caveat]) -> None:
    """Append the caveats the notes do not carry yet to the tests' notes."""
    note = results.note
    for c in caveats:
        if c.noted:
            continue
        for g, tids, text in zip(c.groups.tolist(), c.tests, c.texts):
            row = note[g]
            if tids and results.noted is not None:
                results.noted[g] = True
            for tid in tids:
                i = results.ids.index(tid)
                row[i] = f"{row[i]}; {text}" if row[i] else text


def warn_each(caveats: list[Caveat], stacklevel: int) -> list[str]:
    """One KalvorenWarning per caveat of one series; returns their texts."""
    texts = []
    for c in caveats:
        for tids, text in zip(c.tests, c.texts):
            msg = f"{', '.join(tids)}: {text}" if tids and not text.startswith(tids[0]) else text
            texts.append(msg)
            warnings.warn(msg, KalvorenWarning, stacklevel + 1)
    return texts


def warn_summary(caveats: list[Caveat], G: int, stacklevel: int) -> None:
    """One KalvorenWarning per kind of caveat over many series."""
    by_kind: dict[str, tuple[str, set[int]]] = {}
    for c in caveats:
        by_kind.setdefault(c.kind, (c.summary, set()))[1].update(c.groups.tolist())
    for summary, groups in by_kind.values():
        warnings.warn(
            f"{len(groups)} of {G} groups: {summary} (see their note)",
            KalvorenWarning,
            stacklevel + 1,
        )
