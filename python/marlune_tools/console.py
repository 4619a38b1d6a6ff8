"""The console script `marlune`: the command's modules are loaded here, where a Ctrl-C still
ends the command as it does later on (one line and status 130), not with a traceback from the
middle of an import of NumPy or matplotlib."""

from __future__ import annotations

import sys

from marlune_tools.errors import INTERRUPTED


def main() -> int:
    try:
        from marlune_tools import cli
    except KeyboardInterrupt:
        print("marlune: interrupted", file=sys.stderr)
        return INTERRUPTED
    return cli.main()
