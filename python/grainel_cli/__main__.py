"""`python -m grainel_cli` runs the same command as `grainel`."""

import sys

from .cli import main

sys.exit(main())
