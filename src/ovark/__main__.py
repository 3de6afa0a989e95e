"""``python -m ovark``: the ``ovark`` command."""

import sys

from ovark.cli import main

if __name__ == "__main__":
    sys.exit(main())
