"""Telemetry: internal loop variables published while objects run.

A :class:`Telemetry` context owns a table of named probes and a lock-free ring of
16-byte records (``RECORD_DTYPE``: "stamp" int64, "value" float32, "probe" uint16).
Objects that support telemetry attach with ``obj.set_telemetry(tlm, prefix, decim)``
and emit one record per probe per look; a reader drains the ring with ``read`` and
splits it per probe with ``split`` or ``read_by_probe``.

Examples
--------
>>> from veltra.telemetry import Telemetry
>>> tlm = Telemetry(256)
>>> tlm.emit(tlm.probe("demo.x"), [1.0, 2.0])
>>> tlm.read_by_probe()
{'demo.x': array([1., 2.], dtype=float32)}
"""

from ._telemetry import RECORD_DTYPE, Telemetry

__all__ = ["RECORD_DTYPE", "Telemetry"]
