"""The event loop a benchmark script runs on, chosen on its command line.

`--loop uvloop` installs uvloop's event-loop policy before the script makes
anything: every loop made with asyncio.new_event_loop is then a uvloop.Loop,
the engine's runners' and the plain-asyncio comparisons' alike, so a script's
ratios compare work done on the same kind of loop. The default, `asyncio`,
leaves asyncio's own loop. Not a benchmark itself: run_all.py skips files
whose name starts with an underscore.
"""
import argparse
import asyncio

LOOPS = ("asyncio", "uvloop")


def install(argv=None):
    """Read `--loop` from the command line, install that loop's policy and
    return its name."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--loop", choices=LOOPS, default="asyncio",
                        help="the event loop of every runner (default: asyncio)")
    name = parser.parse_args(argv).loop
    if name == "uvloop":
        import uvloop

        asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())
    return name
