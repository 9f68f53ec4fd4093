"""Deterministic journaled intent broker and calibrated model scorers."""

from . import _native
from .durable import DurableBroker, DurableError, JournalRefused
