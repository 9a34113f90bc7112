"""Small products and the two workers' scaling, kestrix beside numpy.

Small products (64^3 to 400^3 and others under about 10^8 multiply-adds,
either side of the size that runs on the calling thread): both sides in one
process, taking turns call by call on inputs built before timing. Per shape:
the ratio of the best times and of the medians (numpy time / kestrix time),
and each side's processor time per call (every thread of the process, so a
pool's hand-off and its spinning workers count), the figure a shared machine
disturbs least.

Scaling (products whose three dimensions are 256 or more): kestrix with one
worker and with two, each in a child process of its own (RAYON_NUM_THREADS),
beside numpy in the same child; GFLOP/s, the two workers' speed-up and the
share of the exact float32 peak (separate multiply and add) measured in the
same run by build/bench/machine_bench, of one core for one worker and of
every core for two.

    python3 bench/products_vs_numpy.py [--build build] [--quick]

The run is recorded in bench/results/ (bench/record.py).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from bench_vs_numpy import google_benchmark, machine, numpy_beside_kestrix  # noqa: E402
import record  # noqa: E402

SMALL = [(64, 64, 64), (72, 72, 72), (80, 80, 80), (96, 96, 96), (128, 128, 128),
         (129, 128, 128), (192, 192, 192), (256, 256, 256), (300, 300, 300), (400, 400, 400),
         (100, 1000, 100), (256, 64, 256)]
LARGE = [(512, 512, 512), (1024, 1024, 1024), (1023, 1025, 1027), (2048, 2048, 2048)]
QUICK_SMALL = [(64, 64, 64), (96, 96, 96), (256, 256, 256)]
QUICK_LARGE = [(512, 512, 512)]


def operands(np, m, k, n):
    rng = np.random.default_rng(7)
    return (rng.standard_normal((m, k), dtype=np.float32),
            rng.standard_normal((k, n), dtype=np.float32))


def taking_turns(calls, budget):
    """Per call: wall times of every turn and processor seconds per call."""
    for f in calls:
        f()
    walls = [[] for _ in calls]
    cpu = [0.0] * len(calls)
    end = time.perf_counter() + budget
    while time.perf_counter() < end or len(walls[0]) < 5:
        for i, f in enumerate(calls):
            c0, t0 = time.process_time(), time.perf_counter()
            f()
            walls[i].append(time.perf_counter() - t0)
            cpu[i] += time.process_time() - c0
    return walls, [c / len(w) for c, w in zip(cpu, walls)]


def small_rows(np, KestrixMatrix, shapes, budget):
    rows = []
    for m, k, n in shapes:
        a, b = operands(np, m, k, n)
        ka, kb = KestrixMatrix(a, m, k), KestrixMatrix(b, k, n)
        (w_np, w_k), (c_np, c_k) = taking_turns([lambda: a @ b, lambda: ka.matmul(kb)], budget)
        rows.append({"shape": f"{m}×{k}·{k}×{n}", "macs": m * k * n,
                     "best": min(w_np) / min(w_k),
                     "median": statistics.median(w_np) / statistics.median(w_k),
                     "cpu_numpy_us": c_np * 1e6, "cpu_kestrix_us": c_k * 1e6,
                     "cpu_ratio": c_np / c_k})
    return rows


def scaling_child(shapes, rounds):
    """Run in a child: best seconds of each shape, kestrix and numpy taking turns."""
    np, KestrixMatrix, _ = numpy_beside_kestrix(os.environ["KESTRIX_BENCH_BUILD"])
    out = []
    for m, k, n in shapes:
        a, b = operands(np, m, k, n)
        ka, kb = KestrixMatrix(a, m, k), KestrixMatrix(b, k, n)
        calls = [lambda: a @ b, lambda: ka.matmul(kb)]
        for f in calls:
            f()
        best = [float("inf")] * 2
        for _ in range(rounds):
            for i, f in enumerate(calls):
                t0 = time.perf_counter()
                f()
                best[i] = min(best[i], time.perf_counter() - t0)
        out.append({"numpy": best[0], "kestrix": best[1]})
    print(json.dumps(out))


def scaling_rows(build, shapes, rounds):
    per_workers = {}
    for workers in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(workers), KESTRIX_BENCH_BUILD=str(build))
        cmd = [sys.executable, __file__, "--scaling-child", json.dumps(shapes), str(rounds)]
        per_workers[workers] = json.loads(
            subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout)
    rows = []
    for i, (m, k, n) in enumerate(shapes):
        flop = 2.0 * m * k * n
        one, two = per_workers[1][i], per_workers[2][i]
        rows.append({"shape": f"{m}×{k}·{k}×{n}", "one_gflops": flop / one["kestrix"] / 1e9,
                     "two_gflops": flop / two["kestrix"] / 1e9,
                     "speedup": one["kestrix"] / two["kestrix"],
                     "ratio_two": two["numpy"] / two["kestrix"]})
    return rows


def peaks(build):
    found = google_benchmark(build, "machine_bench", "MulAddPeak", "GFLOPS")
    one = next((v for key, v in found.items() if key.endswith("threads:1")), None)
    every = next((v for key, v in found.items() if key.endswith(f"threads:{os.cpu_count()}")),
                 None)
    return one, every


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--quick", action="store_true", help="a few shapes, for a smoke run")
    parser.add_argument("--rounds", type=int, default=5, help="turns of each large product")
    parser.add_argument("--scaling-child", nargs=2, metavar=("SHAPES", "ROUNDS"))
    args = parser.parse_args()
    if args.scaling_child:
        scaling_child([tuple(s) for s in json.loads(args.scaling_child[0])],
                      int(args.scaling_child[1]))
        return
    head_of_run = record.header("products_vs_numpy", args.build)
    np, KestrixMatrix, _ = numpy_beside_kestrix(args.build)
    one_peak, all_peak = peaks(args.build)
    small = small_rows(np, KestrixMatrix, QUICK_SMALL if args.quick else SMALL,
                       0.3 if args.quick else 1.0)
    large = scaling_rows(args.build, QUICK_LARGE if args.quick else LARGE, args.rounds)
    info = machine()
    load = os.getloadavg()[0]
    pk = (lambda v: f"{v:.0f}" if v else "not measured")
    out = [f"{info['cpu']}, {info['cores']} cores, {datetime.now(timezone.utc):%Y-%m-%d %H:%M} "
           f"UTC, load {load:.1f}; numpy {np.__version__}; exact float32 peak "
           f"{pk(one_peak)} GFLOP/s one core, {pk(all_peak)} every core", "",
           "| product | multiply-adds | ratio, best | ratio, median | processor µs a call, "
           "numpy / kestrix | ratio of processor time |", "|---|---|---|---|---|---|"]
    for r in small:
        out.append(f"| {r['shape']} | {r['macs']:.2g} | {r['best']:.2f} | {r['median']:.2f} "
                   f"| {r['cpu_numpy_us']:.1f} / {r['cpu_kestrix_us']:.1f} | {r['cpu_ratio']:.2f} |")
    out += ["", "| product | one worker GFLOP/s (share of one core's peak) | two workers GFLOP/s "
            "(share of the peak) | two / one | ratio to numpy, two workers |",
            "|---|---|---|---|---|"]
    for r in large:
        s1 = f" ({r['one_gflops'] / one_peak:.0%})" if one_peak else ""
        s2 = f" ({r['two_gflops'] / all_peak:.0%})" if all_peak else ""
        out.append(f"| {r['shape']} | {r['one_gflops']:.0f}{s1} | {r['two_gflops']:.0f}{s2} "
                   f"| {r['speedup']:.2f} | {r['ratio_two']:.2f} |")
    text = "\n".join(out) + "\n"
    print(text)
    record.write(head_of_run, text, {"peaks": [one_peak, all_peak], "small": small,
                                     "large": large})


if __name__ == "__main__":
    main()
