"""`python -m qvtok`: the same command line as the `qvtok` script."""

import sys

from qvtok.cli import main

sys.exit(main())
