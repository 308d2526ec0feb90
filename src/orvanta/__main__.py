"""``python -m orvanta``: the command line of the package."""

import sys

from orvanta.cli import main

if __name__ == "__main__":
    sys.exit(main())
