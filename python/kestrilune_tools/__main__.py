"""``python -m kestrilune_tools``: the ``kestrilune`` command."""

import sys

from kestrilune_tools.console.cli import main

sys.exit(main())
