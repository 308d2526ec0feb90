"""``python -m orvanta.sandbox --port N``: run the local data service in the foreground."""

import sys

from orvanta.cli import main

if __name__ == "__main__":
    sys.exit(main(["sandbox", *sys.argv[1:]]))
