"""Capture files: the writer and reader (the clock and composer as they land).

Examples
--------
>>> from veltra.wfm import Reader, Writer
>>> Reader.__name__, Writer.__name__
('Reader', 'Writer')
"""

from veltra.lectra import Reader
from veltra.scriba import Writer

__all__ = ["Reader", "Writer"]
