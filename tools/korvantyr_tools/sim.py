"""korvantyr-sim: the simulated robot (package korvantyr_sim), which needs eclipse-zenoh, the
``sim`` extra. Without it the command says so in one line and exits with 2."""

from __future__ import annotations

import sys

EXIT_USAGE = 2
SIM_EXTRA = "pip install 'korvantyr[sim]'"


def main(argv: list[str] | None = None) -> int:
    try:
        import zenoh  # noqa: F401
    except ImportError:
        print(f"korvantyr-sim: the simulated robot needs eclipse-zenoh: {SIM_EXTRA}",
              file=sys.stderr)
        return EXIT_USAGE
    from korvantyr_sim.__main__ import main as sim_main  # type: ignore[import-untyped]

    status: int = sim_main(argv)
    return status
