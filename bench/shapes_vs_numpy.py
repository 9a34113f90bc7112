"""Matrix products at many shapes, kestrix beside numpy (float32 `a @ b`).

Both sides run in this one process, their calls interleaved one by one on
inputs built before timing, so that a noisy neighbour slows both alike. Per
shape: the best time of each side, the ratio (numpy time / kestrix time), the
GFLOP/s, the share of the exact float32 peak (separate multiply and add), the
bound the shape has at this machine's limits (arithmetic or memory), and for
memory-bound shapes the share of the streaming bandwidth at which kestrix
reads its operands and writes its result, and the same rate as a share of
the read-only bandwidth (the limit of a product that reads a large operand
and writes a small result). The peak and the bandwidths come from
build/bench/machine_bench, measured in the same run.

    python3 bench/shapes_vs_numpy.py [--build build] [--quick]

The run is recorded in bench/results/ (bench/record.py).
"""
import argparse
import os
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from bench_vs_numpy import google_benchmark, machine, machine_limits, numpy_beside_kestrix  # noqa: E402,E501
import record  # noqa: E402

# (m, k, n): the products of the issue first, then others of the same
# families (few columns, few rows, vectors, long inner dimensions, odd and
# power-of-two squares).
SHAPES = [
    (4096, 4096, 1), (10000, 16, 1), (16, 2000, 2000), (1, 4096, 4096),
    (8, 1_000_000, 8), (64, 100_000, 64), (1000, 1000, 1000), (513, 517, 519),
    (2000, 2000, 16), (3000, 100, 3000), (100_000, 64, 10),
    (1, 1_000_000, 1), (4, 65536, 4), (2000, 300, 7), (7, 300, 2000), (3, 5000, 3001),
    (100_000, 17, 3), (512, 512, 512), (1024, 1024, 1024), (300, 300, 300), (96, 96, 96),
]
QUICK = [(2000, 300, 7), (7, 300, 2000), (513, 517, 519), (512, 512, 512)]
# Zen 3 (and most cores): three cycles from one float32 vector addition to the
# next that depends on it.
ADD_LATENCY_CYCLES = 3


def interleaved(calls, budget=1.0, min_runs=5, max_runs=400):
    """Best wall time of each call, the calls taking turns one by one."""
    for f in calls:
        f()
    best = [float("inf")] * len(calls)
    runs, start = 0, time.perf_counter()
    while runs < min_runs or (time.perf_counter() - start < budget and runs < max_runs):
        for i, f in enumerate(calls):
            t0 = time.perf_counter()
            f()
            best[i] = min(best[i], time.perf_counter() - t0)
        runs += 1
    return best


def clock_hz():
    mhz = [float(line.split(":")[1]) for line in open("/proc/cpuinfo") if line.startswith("cpu MHz")]
    return max(mhz) * 1e6 if mhz else None


def measure(shapes, np, KestrixMatrix, limits):
    peak, bandwidth = limits.get("peak_gflops"), limits.get("bandwidth_gbs")
    read_bandwidth = limits.get("read_bandwidth_gbs")
    rng = np.random.default_rng(7)
    hz = clock_hz()
    rows = []
    for m, k, n in shapes:
        a = rng.uniform(-1, 1, (m, k)).astype(np.float32)
        b = rng.uniform(-1, 1, (k, n)).astype(np.float32)
        ka, kb = KestrixMatrix(a.ravel().tolist(), m, k), KestrixMatrix(b.ravel().tolist(), k, n)
        t_np, t_k = interleaved([lambda: a @ b, lambda: ka.matmul(kb)])
        flops, moved = 2.0 * m * k * n, 4.0 * (m * k + k * n + m * n)
        gflops = flops / t_k / 1e9
        # The bound is the larger of the two times at the machine's limits.
        arith = flops / (peak * 1e9) if peak else 0.0
        memory = moved / (bandwidth * 1e9) if bandwidth else 0.0
        bound = "arithmetic" if arith >= memory else "memory"
        row = {"shape": f"{m}×{k} · {k}×{n}", "kestrix_ms": t_k * 1e3, "numpy_ms": t_np * 1e3,
               "ratio": t_np / t_k, "gflops": gflops,
               "peak_share": gflops / peak if peak else None, "bound": bound,
               "bandwidth_share": moved / t_k / 1e9 / bandwidth if bandwidth else None,
               "read_share": moved / t_k / 1e9 / read_bandwidth if read_bandwidth else None}
        if m * n < 16 and hz:
            row["chain_ms"], row["mhz"] = k * ADD_LATENCY_CYCLES / hz * 1e3, hz / 1e6
        share = row["peak_share"] if bound == "arithmetic" else row["bandwidth_share"]
        goal = 0.85 if bound == "arithmetic" else 0.80
        row["met"] = ("ratio" if row["ratio"] >= 1.0 else
                      "limit" if share is not None and share >= goal else
                      "report only" if "chain_ms" in row else "no")
        rows.append(row)
        print(f"  {row['shape']}: ratio {row['ratio']:.2f}", file=sys.stderr, flush=True)
    return rows


def table(rows):
    out = ["| product (m×k · k×n) | kestrix | numpy | ratio | GFLOP/s | share of exact peak "
           "| bound | share of bandwidth | share of read bandwidth | goal met by |",
           "|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        bw = f"{r['bandwidth_share']:.0%}" if r["bound"] == "memory" and r["bandwidth_share"] else ""
        rd = f"{r['read_share']:.0%}" if r["bound"] == "memory" and r["read_share"] else ""
        peak = f"{r['peak_share']:.0%}" if r["peak_share"] is not None else ""
        met = r["met"] + (f" (chain of dependent adds: {r['chain_ms']:.2f} ms at the reported "
                          f"{r['mhz']:.0f} MHz)" if "chain_ms" in r else "")
        out.append(f"| {r['shape']} | {r['kestrix_ms']:.3f} ms | {r['numpy_ms']:.3f} ms | "
                   f"{r['ratio']:.2f} | {r['gflops']:.1f} | {peak} | {r['bound']} | {bw} | {rd} | {met} |")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--quick", action="store_true", help="a few shapes, for a smoke run")
    parser.add_argument("--no-limits", action="store_true", help="skip machine_bench")
    args = parser.parse_args()
    head_of_run = record.header("shapes_vs_numpy", args.build)
    np, KestrixMatrix, _ = numpy_beside_kestrix(args.build)
    limits = {} if args.no_limits else machine_limits(args.build)
    if not args.no_limits:
        read = google_benchmark(args.build, "machine_bench",
                                f"ReadBandwidth.*threads:{os.cpu_count()}$", "GBps")
        limits["read_bandwidth_gbs"] = next(iter(read.values()), None)
    rows = measure(QUICK if args.quick else SHAPES, np, KestrixMatrix, limits)
    info = machine()
    peak, bw = limits.get("peak_gflops"), limits.get("bandwidth_gbs")
    head = (f"{info['cpu']}, {info['cores']} cores, {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC; "
            f"numpy {np.__version__}; exact float32 peak "
            + (f"{peak:.0f} GFLOP/s" if peak else "not measured")
            + (f", streaming bandwidth {bw:.1f} GB/s" if bw else "")
            + (f", read-only bandwidth {limits['read_bandwidth_gbs']:.1f} GB/s"
               if limits.get("read_bandwidth_gbs") else ""))
    text = head + "\n\n" + table(rows) + "\n"
    print(text)
    record.write(head_of_run, text, {"limits": limits, "rows": rows})


if __name__ == "__main__":
    main()
