"""Capture files: the writer (and, as they land, the reader, clock and composer).

Examples
--------
>>> from veltra.wfm import Writer
>>> Writer.__name__
'Writer'
"""

from veltra.scriba import Writer

__all__ = ["Writer"]
