"""Brindle: an embedded record store with typed records, links between
records, a persistent backlink index and path resolution across links.

``brindle.open`` recovers a database left by a killed program before opening
it; ``brindle.tools`` and the ``brindle`` command operate a database (check,
repair, compact, dump and load, sync).
"""

from ._brindle import TOMBSTONE, Database, Link, Tombstone
from ._open import RecoveryWarning, open
from . import tools  # so that brindle.tools works after a plain `import brindle`
from ._version import __version__  # written by the build from pyproject.toml

__all__ = ["Tombstone", "Link", "Database", "open", "TOMBSTONE", "RecoveryWarning"]
