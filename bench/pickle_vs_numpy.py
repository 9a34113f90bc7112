"""Pickle round trips of a KestrixMatrix side by side with the same float32
numpy array, interleaved call by call in one process (see interop_vs_numpy).
Prints a markdown table naming the processor and records the run in
bench/results/ (bench/record.py)."""
import argparse
import os
import pickle
import platform
import statistics
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import record  # noqa: E402
from interop_vs_numpy import ROOT, fmt, interleaved, processor  # noqa: E402

SIDE = 1000
GOAL = 3.0


def round_trip(obj, protocol, out_of_band):
    if not out_of_band:
        return pickle.loads(pickle.dumps(obj, protocol=protocol))
    buffers = []
    data = pickle.dumps(obj, protocol=protocol, buffer_callback=buffers.append)
    return pickle.loads(data, buffers=buffers)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build", help="build directory holding the module")
    parser.add_argument("--rounds", type=int, default=30)
    args = parser.parse_args()
    sys.path.insert(0, str((ROOT / args.build).resolve()))
    from kestrix import KestrixMatrix

    a = np.random.default_rng(3).uniform(-1, 1, (SIDE, SIDE)).astype(np.float32)
    m = KestrixMatrix(a, SIDE, SIDE)
    cases = {"protocol 4": (4, False), "protocol 5, in band": (5, False),
             "protocol 5, out of band": (5, True)}
    rows = {f"10^6 floats, {name}": (lambda p=p, o=o: round_trip(m, p, o),
                                     lambda p=p, o=o: round_trip(a, p, o))
            for name, (p, o) in cases.items()}
    for p, o in cases.values():
        back = round_trip(m, p, o)
        assert np.array_equal(np.asarray(back).view(np.uint32), a.view(np.uint32))
    times = interleaved(rows, args.rounds)

    with record.run("pickle_vs_numpy", ROOT / args.build) as rec:
        print(f"Processor: {processor()}; load average {os.getloadavg()[0]:.2f} at start")
        print(f"numpy {np.__version__}, Python {platform.python_version()}, "
              f"{args.rounds} interleaved rounds; dumps then loads of a 1000 x 1000 float32 "
              "matrix and of the same numpy array\n")
        print("| round trip | kestrix best | numpy best | ratio (best) | ratio (median) | goal |")
        print("|---|---|---|---|---|---|")
        report = {"processor": processor(), "numpy": np.__version__, "rows": {}}
        for name, (mine, peer) in times.items():
            best = min(mine) / min(peer)
            median = statistics.median(mine) / statistics.median(peer)
            verdict = f"<= {GOAL}x: " + ("met" if best <= GOAL else "NOT met")
            print(f"| {name} | {fmt(min(mine))} | {fmt(min(peer))} | {best:.2f} | {median:.2f} "
                  f"| {verdict} |")
            report["rows"][name] = {"kestrix_best_s": min(mine), "numpy_best_s": min(peer),
                                    "ratio_best": best, "ratio_median": median, "goal": verdict}
        rec.data = report


if __name__ == "__main__":
    main()
