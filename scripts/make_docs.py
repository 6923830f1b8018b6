"""Writes the README's table of tests from the registry (tests/test_options.py
checks that it is current): python scripts/make_docs.py"""

import pathlib
import re
import sys

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
BEGIN = "<!-- tests:begin (scripts/make_docs.py writes this table from the registry) -->"
END = "<!-- tests:end -->"


def table() -> str:
    from Kalvoren import _registry

    rows = ["| id | H0 | reference distribution | runs |", "|---|---|---|---|"]
    for t in _registry.TESTS:
        opts = ", ".join(f"`{o}`" for o in t.options)
        runs = ("by default" if t.default else "when named") + (f"; options {opts}" if opts else "")
        rows.append(f"| `{t.id}` | {t.null} | {t.distribution} | {runs} |")
    return "\n".join(rows)


def render(text: str) -> str:
    pattern = re.escape(BEGIN) + r".*?" + re.escape(END)
    return re.sub(pattern, lambda _: f"{BEGIN}\n{table()}\n{END}", text, flags=re.S)


if __name__ == "__main__":
    new = render(README.read_text())
    if "--check" in sys.argv:
        sys.exit(0 if new == README.read_text() else "README.md's table of tests is stale")
    README.write_text(new)
