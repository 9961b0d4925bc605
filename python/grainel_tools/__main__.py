"""`python -m grainel_tools` runs the same command as `grainel`."""

import sys

from .command import main

sys.exit(main())
