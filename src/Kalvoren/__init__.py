"""Kalvoren: residual diagnostics for econometric models."""

__version__ = "0.1.0"
