"""Capture files: the writer and reader, and synthetic captures (the clock as it lands).

Examples
--------
>>> from veltra.wfm import Composer, Reader, Segment, Writer
>>> Reader.__name__, Writer.__name__, Composer.__name__, Segment.__name__
('Reader', 'Writer', 'Composer', 'Segment')
"""

from veltra._composer import Composer, Segment
from veltra.lectra import Reader
from veltra.scriba import Writer

__all__ = ["Composer", "Reader", "Segment", "Writer"]
