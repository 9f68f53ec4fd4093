"""Every ratio the benchmarks hold to a limit, in one table: our time over
the time of the anchor measured beside it in the same run, the ratio aimed
at and the largest ratio allowed (the two differ where the aim is not reached
yet). Exits non-zero when a ratio is over its limit; absolute times never
decide.

    .venv/bin/python -P bench/summary.py [--quick]

--quick runs each benchmark in its short mode, for CI, and allows each ratio
SLACK times its limit, so that noise on a loaded machine does not fail it.
"""

import argparse
import importlib
import pathlib
import sys

MODULES = ["broker_call", "replay_throughput", "score_f32"]
SLACK = 1.25


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help=f"short runs, limits times {SLACK}")
    quick = parser.parse_args().quick
    slack = SLACK if quick else 1.0

    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    rows = []
    for name in MODULES:
        module = importlib.import_module(name)
        if not hasattr(module, "ratios"):
            print(f"{name}: no ratios() yet, skipped")
            continue
        rows.extend(module.ratios(quick))

    header = ("measure", "ratio", "aim", "limit", "result")
    lines = []
    for label, ratio, limit, *aim in rows:
        aim = aim[0] if aim else limit
        result = "OVER" if ratio > limit * slack else "ok" if ratio <= aim else "short of aim"
        lines.append((label, f"{ratio:.3f}", f"{aim:.3f}", f"{limit * slack:.3f}", result))
    print(f"time ratios, ours / anchor, same run{' (quick: limits x %g)' % SLACK if quick else ''}")
    widths = [max(len(v) for v in column) for column in zip(header, *lines)]
    for line in (header, *lines):
        print(" | ".join(v.ljust(w) if i == 0 else v.rjust(w) for i, (v, w) in enumerate(zip(line, widths))))
    over = sum(line[-1] == "OVER" for line in lines)
    if over:
        print(f"{over} ratio(s) over the limit")
        sys.exit(1)


if __name__ == "__main__":
    main()
