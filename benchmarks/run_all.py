"""Run every benchmark script in this folder and print one summary table.

Each script prints one JSON object on its standard output and a one-line
summary of ratios on its standard error. The table gives, for each script,
how long it ran, its summary and its ratio keys.
"""
import json
import pathlib
import subprocess
import sys
import time


def main():
    here = pathlib.Path(__file__).resolve().parent
    rows = []
    for script in sorted(here.glob("*.py")):
        if script.name == pathlib.Path(__file__).name:
            continue
        t0 = time.perf_counter()
        proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True)
        name = f"{script.stem} ({time.perf_counter() - t0:.0f} s)"
        if proc.returncode != 0:
            rows.append((name, "FAILED", proc.stderr.strip().splitlines()[-1:]))
            continue
        data = json.loads(proc.stdout.strip().splitlines()[-1])
        ratios = {k: v for k, v in data.items() if k.startswith("ratio")}
        rows.append((name, proc.stderr.strip(), ratios))
    width = max(len(r[0]) for r in rows) if rows else 10
    print(f"{'benchmark':<{width}}  summary")
    print("-" * (width + 60))
    for name, summary, ratios in rows:
        print(f"{name:<{width}}  {summary}")
        for k, v in (ratios.items() if isinstance(ratios, dict) else []):
            print(f"{'':<{width}}    {k} = {v}")


if __name__ == "__main__":
    main()
