#!/usr/bin/env python3
"""Live terminal view of a robot: the installed command korvantyr-monitor, runnable from here.

    python examples/monitor.py --serial DEMO-ARM-0001 --seconds 10

Its code is the package korvantyr_tools (tools/korvantyr_tools/monitor.py); see
``korvantyr-monitor --help``.
"""

import sys

from korvantyr_tools.monitor import main

if __name__ == "__main__":
    sys.exit(main())
