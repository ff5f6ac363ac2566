"""``python -m brindle``: the operating command line."""

import sys

from .cli import main

sys.exit(main())
