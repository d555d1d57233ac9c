#!/usr/bin/env python3
"""Record a robot's joint positions and TCP wrench into a CSV file and a plot: the installed command
korvantyr-record, runnable from here.

    python examples/record_and_plot.py --serial DEMO-ARM-0001 --seconds 5

Its code is the package korvantyr_tools (tools/korvantyr_tools/record.py); see
``korvantyr-record --help``.
"""

import sys

from korvantyr_tools.record import main

if __name__ == "__main__":
    sys.exit(main())
