"""``python -m karvo_dist``: the karvo-profile command."""

import sys

from .cli import main

sys.exit(main())
