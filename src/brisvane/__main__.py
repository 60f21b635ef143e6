"""``python -m brisvane``: the command line."""

import sys

from brisvane.cli import main

if __name__ == "__main__":
    sys.exit(main())
