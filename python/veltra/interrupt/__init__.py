"""Stopping blocking waits from a signal handler.

The extension module ``veltra.interrupt.interrupt`` holds the process-wide interrupt
state that every waiting module of the package adopts at import, and the
:class:`Interrupt` guard that sets it from chosen signals (SIGINT by default).

Examples
--------
>>> import signal
>>> from veltra.interrupt import Interrupt
>>> with Interrupt(signal.SIGINT) as guard:
...     guard.signals == (signal.SIGINT,)
True
"""

from .interrupt import Interrupt

__all__ = ["Interrupt"]
