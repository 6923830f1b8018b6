"""Compiled kernels of the Kalvoren package."""
