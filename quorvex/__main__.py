"""``python -m quorvex``: the same command line as the ``quorvex`` script."""

import sys

from quorvex.cli import main

if __name__ == "__main__":
    sys.exit(main())
