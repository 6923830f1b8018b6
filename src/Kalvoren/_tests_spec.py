"""Specification and further residual checks: their registry entries and options (see
_registry.TestSpec; each test computed by the function its entry names)."""

from __future__ import annotations

from Kalvoren._registry import Option, TestSpec

TESTS: tuple[TestSpec, ...] = ()
OPTIONS: dict[str, Option] = {}
