"""``python -m brimel_native``: the ``brimel`` command line."""

import sys

from .cli import main

sys.exit(main())
