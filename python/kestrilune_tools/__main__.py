"""``python -m kestrilune_tools``: the ``kestrilune`` command."""

import sys

from kestrilune_tools.commands.cli import main

sys.exit(main())
