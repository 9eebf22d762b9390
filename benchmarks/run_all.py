"""Run every benchmark script in this folder on each event loop and print one
summary table.

Each script prints one JSON object on its standard output and a one-line
summary of ratios on its standard error. Every script runs twice, on asyncio's
own loop and with `--loop uvloop` (see _loop.py). The table gives, for each
script and loop, how long it ran and its summary, then each ratio key with its
value on both loops side by side.
"""
import json
import pathlib
import subprocess
import sys
import time

LOOPS = ("asyncio", "uvloop")


def run(script, loop):
    """One run of `script` on `loop`: (seconds, summary, ratios or None)."""
    t0 = time.perf_counter()
    proc = subprocess.run([sys.executable, str(script), "--loop", loop],
                          capture_output=True, text=True)
    seconds = time.perf_counter() - t0
    if proc.returncode != 0:
        last = proc.stderr.strip().splitlines()[-1:]
        return seconds, "FAILED: " + (last[0] if last else f"exit status {proc.returncode}"), None
    data = json.loads(proc.stdout.strip().splitlines()[-1])
    ratios = {k: v for k, v in data.items() if k.startswith("ratio")}
    return seconds, proc.stderr.strip(), ratios


def main():
    here = pathlib.Path(__file__).resolve().parent
    rows = []
    for script in sorted(here.glob("*.py")):
        if script.name == pathlib.Path(__file__).name or script.name.startswith("_"):
            continue
        rows.append((script.stem, {loop: run(script, loop) for loop in LOOPS}))
    width = max([len("benchmark")] + [len(name) for name, _ in rows])
    loop_width = max(len(loop) for loop in LOOPS) + len(" (000 s)")
    print(f"{'benchmark':<{width}}  {'loop':<{loop_width}}  summary")
    print("-" * (width + loop_width + 60))
    for name, runs in rows:
        for i, loop in enumerate(LOOPS):
            seconds, summary, _ = runs[loop]
            label = f"{loop} ({seconds:.0f} s)"
            print(f"{name if i == 0 else '':<{width}}  {label:<{loop_width}}  {summary}")
        keys = []
        for loop in LOOPS:
            for k in runs[loop][2] or {}:
                if k not in keys:
                    keys.append(k)
        for k in keys:
            values = "  ".join(f"{loop} {(runs[loop][2] or {}).get(k, '-')}" for loop in LOOPS)
            print(f"{'':<{width}}    {k} = {values}")


if __name__ == "__main__":
    main()
