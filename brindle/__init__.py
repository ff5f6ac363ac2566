"""Brindle: an embedded record store with typed records, links between
records, a persistent backlink index and path resolution across links.

``brindle.open`` recovers a database left by a killed program before opening
it; ``brindle.tools`` and the ``brindle`` command operate a database (check,
repair, compact, dump and load, sync).
"""

import copyreg as _copyreg
from collections.abc import Callable as _Callable
from typing import Any as _Any

from ._brindle import TOMBSTONE, Database, Link, Tombstone
from ._open import RecoveryWarning, open
from . import tools  # so that brindle.tools works after a plain `import brindle`
from ._version import __version__  # written by the build from pyproject.toml

__all__ = ["Tombstone", "Link", "Database", "open", "TOMBSTONE", "RecoveryWarning"]


# Records holding links or tombstones can be copied, pickled and sent to other
# processes: a link is rebuilt from its path and its local fields as Python
# reads them (so a date or time among them, which only other programs and
# load can store, comes back as the int it reads as, just as in a record
# read back and written again), and a tombstone comes back as TOMBSTONE.
def _reduce_link(link: Link) -> tuple[type[Link], tuple[str, dict[str, _Any]]]:
    local = link.local
    # Rebuilt once here, so that a link that cannot be (a date or time past
    # what an int converts back to) fails where it is sent, not where it is
    # received.
    Link(link.path, local)
    return Link, (link.path, local)


def _tombstone() -> Tombstone:
    return TOMBSTONE


def _reduce_tombstone(tombstone: Tombstone) -> tuple[_Callable[[], Tombstone], tuple[()]]:
    return _tombstone, ()


_copyreg.pickle(Link, _reduce_link)
_copyreg.pickle(Tombstone, _reduce_tombstone)
