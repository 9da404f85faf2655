"""python -m vantrel: the command line (see vantrel.cli)."""

import sys

from vantrel.cli import main

sys.exit(main())
