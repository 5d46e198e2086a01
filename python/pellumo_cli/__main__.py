"""`python -m pellumo_cli ...` runs the pellumo command without installing it,
for example from a build tree:

    PYTHONPATH=build/python:python python3 -m pellumo_cli tables FILE
"""

import sys

from pellumo_cli.cli import main

sys.exit(main())
