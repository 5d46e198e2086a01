"""`python -m pellumo_cli ...` runs the pellumo command (handy in a build tree)."""

import sys

from pellumo_cli.cli import main

sys.exit(main())
