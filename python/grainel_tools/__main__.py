"""`python -m grainel_tools` runs the same command as `grainel`."""

import sys

from .cli import main

sys.exit(main())
