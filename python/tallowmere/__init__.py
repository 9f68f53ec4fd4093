"""Deterministic journaled intent broker and calibrated model scorers."""

from . import _native
