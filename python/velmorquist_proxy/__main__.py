"""`python -m velmorquist_proxy serve ...`: see velmorquist_proxy.server.cli."""

import sys

from velmorquist_proxy.server.cli import main

sys.exit(main())
