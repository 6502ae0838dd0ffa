"""Waveform timing and capture: the sample clock ``Tickr``."""

from veltra.tickr import Tickr

__all__ = ["Tickr"]
