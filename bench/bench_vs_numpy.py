"""kestrix side by side with numpy, in one run, reported as ratios.

The parent process starts one child per side and round, the sides taking
turns (numpy gets its OpenBLAS kernel choice back: OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE are unset for it alone, and where OpenBLAS does not know the
processor and falls back to a generic core, it is given the best core the
processor can run, so that the peer is never a strawman),
runs the Google Benchmark programs for the figures that only native code can
give (the libm loop, the pool round trip, the machine's float32 peak and
memory bandwidth with every core busy), and records the run in
bench/results/ (bench/record.py): the table and the figures behind it, from
which bench/report.py makes the README's table. --charts DIR also draws one
chart per operation family into DIR.
"""
import argparse
import json
import os
import platform
import random
import subprocess
import sys
import time
from pathlib import Path

import record

ROOT = Path(__file__).resolve().parents[1]

MATMUL_SIZES = [64, 96, 128, 256, 512, 1024, 2048]
# From this size a product also meets its goal at this share of the exact peak
# measured in the same run: where the adds share the multiply pipes, a fused
# BLAS has twice the exact peak.
PEAK_GOAL_SIZE, PEAK_GOAL = 256, 0.90
ELEMENTWISE_SIZES = [256, 1024, 2048, 4096]
TRANSPOSE_SIZES = [256, 1024, 4096]
FIT_SHAPES = [(100, 4), (10_000, 16), (1_000_000, 8)]
CONVERSION_SIZE = 1_000_000
# Building a list of 10^6 floats takes 50-100 ms here, most of it in the
# interpreter's page faults, which vary from run to run: the best of a few
# runs would be luck.
SLOW_RUNS = 12


def best_time(fn, budget=0.3, min_runs=3, max_runs=200):
    """Best wall time of fn over repeated runs within a time budget."""
    fn()
    best, runs, start = float("inf"), 0, time.perf_counter()
    while runs < min_runs or (time.perf_counter() - start < budget and runs < max_runs):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
        runs += 1
    return best


def random_values(n, seed):
    rng = random.Random(seed)
    return [rng.uniform(-1.0, 1.0) for _ in range(n)]


# ---- the two sides ------------------------------------------------------------

def kestrix_side(quick):
    import kestrix
    from kestrix import KestrixMatrix, KestrixSolver
    out = {}
    for n in MATMUL_SIZES[:5] if quick else MATMUL_SIZES:
        a = KestrixMatrix(random_values(n * n, 1), n, n)
        b = KestrixMatrix(random_values(n * n, 2), n, n)
        out[f"matmul/{n}"] = best_time(lambda: a.matmul(b))
    for n in ELEMENTWISE_SIZES:
        a = KestrixMatrix(random_values(n * n, 3), n, n)
        out[f"add/{n}"] = best_time(lambda: a.add(1.5))
        out[f"mul/{n}"] = best_time(lambda: a.mul(1.5))
    for n in TRANSPOSE_SIZES:
        a = KestrixMatrix(random_values(n * n, 4), n, n)
        out[f"transpose/{n}"] = best_time(a.transpose)
    values = random_values(CONVERSION_SIZE, 5)
    m = KestrixMatrix(values, CONVERSION_SIZE, 1)
    out["construct/1000000"] = best_time(lambda: KestrixMatrix(values, CONVERSION_SIZE, 1))
    out["to_list/1000000"] = best_time(m.to_list, min_runs=SLOW_RUNS)
    for rows, cols in FIT_SHAPES[:2] if quick else FIT_SHAPES:
        x = KestrixMatrix(random_values(rows * cols, 6), rows, cols)
        y = random_values(rows, 7)
        one, many = KestrixSolver(0.01, 1), KestrixSolver(0.01, 11)
        # The parent takes the step as a tenth of the difference of 11 steps
        # and 1 step, which removes the per-call conversion of y and the reset.
        out[f"fit_1/{rows}x{cols}"] = best_time(lambda: one.fit(x, y))
        out[f"fit_11/{rows}x{cols}"] = best_time(lambda: many.fit(x, y))
    x = KestrixMatrix(random_values(1_000_000 * 8, 8), 1_000_000, 8)
    s = KestrixSolver(0.01, 1)
    s.fit(x, random_values(1_000_000, 9))
    out["predict/1000000x8"] = best_time(lambda: s.predict(x), min_runs=SLOW_RUNS)
    data = random_values(1_000_000, 10)
    out["heavy/1000000x10"] = best_time(lambda: kestrix.run_heavy_logic(data, 10), min_runs=2)
    out["_workers"] = len(os.listdir("/proc/self/task")) - 1
    return out


def numpy_side(quick):
    import numpy as np
    out = {}
    for n in MATMUL_SIZES[:5] if quick else MATMUL_SIZES:
        a = np.array(random_values(n * n, 1), dtype=np.float32).reshape(n, n)
        b = np.array(random_values(n * n, 2), dtype=np.float32).reshape(n, n)
        out[f"matmul/{n}"] = best_time(lambda: np.matmul(a, b))
    for n in ELEMENTWISE_SIZES:
        a = np.array(random_values(n * n, 3), dtype=np.float32).reshape(n, n)
        v = np.float32(1.5)
        out[f"add/{n}"] = best_time(lambda: a + v)
        out[f"mul/{n}"] = best_time(lambda: a * v)
    for n in TRANSPOSE_SIZES:
        a = np.array(random_values(n * n, 4), dtype=np.float32).reshape(n, n)
        out[f"transpose/{n}"] = best_time(lambda: np.ascontiguousarray(a.T))
    values = random_values(CONVERSION_SIZE, 5)
    arr = np.array(values, dtype=np.float32)
    out["construct/1000000"] = best_time(lambda: np.array(values, dtype=np.float32))
    out["to_list/1000000"] = best_time(arr.tolist, min_runs=SLOW_RUNS)
    for rows, cols in FIT_SHAPES[:2] if quick else FIT_SHAPES:
        x = np.array(random_values(rows * cols, 6), dtype=np.float32).reshape(rows, cols)
        y = np.array(random_values(rows, 7), dtype=np.float32)
        lr, nf = np.float32(0.01), np.float32(rows)

        def step(w=np.zeros(cols, dtype=np.float32), b=np.float32(0.0)):
            e = x @ w + b - y
            return w - (x.T @ e / nf) * lr, b - (e.sum() / nf) * lr
        out[f"fit_step/{rows}x{cols}"] = best_time(step)
    x = np.array(random_values(1_000_000 * 8, 8), dtype=np.float32).reshape(1_000_000, 8)
    w, b = np.ones(8, dtype=np.float32), np.float32(0.5)
    out["predict/1000000x8"] = best_time(lambda: (x @ w + b).tolist(), min_runs=SLOW_RUNS)
    data = np.array(random_values(1_000_000, 10), dtype=np.float32)

    def chain():
        v = data
        for _ in range(10):
            v = np.abs(np.tan(np.cos(np.sin(v))))
        return float(v.sum())
    out["heavy/1000000x10"] = best_time(chain, min_runs=2)
    try:
        from threadpoolctl import threadpool_info
        out["_blas"] = [{k: i.get(k) for k in ("internal_api", "version", "num_threads",
                                               "architecture", "threading_layer")}
                        for i in threadpool_info() if i.get("user_api") == "blas"]
    except ImportError:
        out["_blas"] = "threadpoolctl not installed"
    out["_numpy"] = np.__version__
    return out


# ---- the parent ---------------------------------------------------------------

# The cores OpenBLAS falls back to when it does not recognise a processor
# model, and the best core it has for each instruction set, widest first.
GENERIC_CORES = {"Prescott", "Core2", "Katmai", "Nehalem"}
BEST_CORES = [("avx512_bf16", "Cooperlake"), ("avx512f", "SkylakeX"), ("avx2", "Haswell")]


def numpy_env():
    """The numpy side's environment, and the OpenBLAS core it picked on its own."""
    env = dict(os.environ)
    env.pop("OPENBLAS_CORETYPE", None)
    env.pop("OPENBLAS_L2_SIZE", None)
    probe = ("import numpy, threadpoolctl; print(next((i.get('architecture') for i in "
             "threadpoolctl.threadpool_info() if i.get('internal_api') == 'openblas'), ''))")
    try:
        auto = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True,
                              text=True, check=True).stdout.strip()
    except subprocess.CalledProcessError:
        return env, None
    if auto in GENERIC_CORES:
        flags = next((line.split(":", 1)[1].split() for line in open("/proc/cpuinfo")
                      if line.startswith("flags")), [])
        env["OPENBLAS_CORETYPE"] = next((core for flag, core in BEST_CORES if flag in flags), auto)
    return env, auto


def numpy_beside_kestrix(build_dir):
    """numpy, kestrix's matrix class from build_dir and the numpy side's
    environment, for runners that time both sides in one process: numpy gets
    OpenBLAS's own kernel choice, set before it is imported."""
    env, _ = numpy_env()
    for var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        os.environ.pop(var, None)
        if var in env:
            os.environ[var] = env[var]
    sys.path.insert(0, str(build_dir))
    import numpy
    from kestrix import KestrixMatrix
    return numpy, KestrixMatrix, env


def run_side(side, quick, module_dir, numpy_environ):
    env = dict(numpy_environ if side == "numpy" else os.environ, PYTHONPATH=str(module_dir))
    cmd = [sys.executable, __file__, "--side", side] + (["--quick"] if quick else [])
    print(f"  running the {side} side ...", flush=True)
    return json.loads(subprocess.run(cmd, env=env, check=True, capture_output=True,
                                     text=True).stdout)


def google_benchmark(build_dir, name, pattern, field="real_time"):
    """name -> seconds (or the named rate) of each benchmark of one program,
    the best of three repetitions."""
    exe = Path(build_dir) / "bench" / name
    if not exe.exists():
        return {}
    print(f"  running {name} ...", flush=True)
    proc = subprocess.run([str(exe), f"--benchmark_filter={pattern}", "--benchmark_format=json",
                           "--benchmark_min_time=0.2", "--benchmark_repetitions=3"],
                          capture_output=True, text=True, check=True)
    values = {}
    for b in json.loads(proc.stdout)["benchmarks"]:
        if b.get("run_type") == "aggregate" or b.get("error_occurred"):
            continue
        key = b.get("run_name", b["name"])
        if field == "real_time":
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
            values[key] = min(values.get(key, float("inf")), b[field] * scale)
        else:
            values[key] = max(values.get(key, 0.0), b[field])
    return values


def machine_limits(build_dir):
    """Peak GFLOP/s of separate multiply and add, and GB/s, with every core busy;
    the round trip of a cache line between two cores."""
    threads = f"threads:{os.cpu_count()}"
    peak = google_benchmark(build_dir, "machine_bench", f"MulAddPeak.*{threads}$", "GFLOPS")
    fused = google_benchmark(build_dir, "machine_bench", f"FusedPeak.*{threads}$", "GFLOPS")
    bandwidth = google_benchmark(build_dir, "machine_bench", f"StreamBandwidth.*{threads}$", "GBps")
    trip = google_benchmark(build_dir, "pool_bench", "SpinPingPong")
    return {"peak_gflops": next(iter(peak.values()), None),
            "fused_peak_gflops": next(iter(fused.values()), None),
            "bandwidth_gbs": next(iter(bandwidth.values()), None),
            "line_round_trip_ns": [t * 1e9 for t in trip.values()][:1] or None}


GOALS = [  # (key, goal, baseline description)
    *[(f"matmul/{n}", 1.2 if n < PEAK_GOAL_SIZE else 1.0, "numpy.matmul") for n in MATMUL_SIZES],
    ("add/1024", 1.0, "a + v"), ("mul/1024", 1.0, "a * v"),
    ("add/4096", 1.5, "a + v"), ("mul/4096", 1.5, "a * v"),
    ("transpose/256", 5.0, "ascontiguousarray(a.T)"), ("transpose/1024", 5.0, "ascontiguousarray(a.T)"),
    ("transpose/4096", 10.0, "ascontiguousarray(a.T)"),
    ("construct/1000000", 2.0, "numpy.array(list, float32)"), ("to_list/1000000", 1.0, ".tolist()"),
    ("fit_step/100x4", 3.0, "numpy gradient step"), ("fit_step/10000x16", 2.0, "numpy gradient step"),
    ("fit_step/1000000x8", 2.0, "numpy gradient step"),
    ("predict/1000000x8", 1.0, "(X @ w + b).tolist()"),
]


def limit_fraction(key, seconds, limits):
    op, size = key.split("/")
    n = int(size) if size.isdigit() else 0
    if op == "matmul" and limits.get("peak_gflops"):
        return f"{2 * n**3 / seconds / 1e9 / limits['peak_gflops']:.0%} of peak"
    if op in ("add", "mul", "transpose") and limits.get("bandwidth_gbs"):
        return f"{8 * n * n / seconds / 1e9 / limits['bandwidth_gbs']:.0%} of bandwidth"
    return ""


def report(k, n, native, meta):
    rows, table = [], ["| operation | kestrix | numpy | ratio | goal | met | limit |",
                       "|---|---|---|---|---|---|---|"]
    for key, goal, baseline in GOALS:
        if key not in k:
            continue
        ratio = n[key] / k[key]
        met, goal_text = ratio >= goal, f"≥ {goal}"
        size = int(key.split("/")[1]) if key.startswith("matmul/") else 0
        if size >= PEAK_GOAL_SIZE and meta["limits"].get("peak_gflops"):
            share = 2 * size**3 / k[key] / 1e9 / meta["limits"]["peak_gflops"]
            met, goal_text = met or share >= PEAK_GOAL, f"≥ {goal} or {PEAK_GOAL:.0%} of peak"
        rows.append({"key": key, "kestrix_s": k[key], "numpy_s": n[key], "ratio": ratio,
                     "goal": goal, "goal_text": goal_text, "met": met, "baseline": baseline,
                     "limit": limit_fraction(key, k[key], meta["limits"])})
        table.append(f"| {key} | {k[key] * 1e3:.3f} ms | {n[key] * 1e3:.3f} ms ({baseline}) | "
                     f"{ratio:.2f} | {goal_text} | {'yes' if met else 'no'} | "
                     f"{limit_fraction(key, k[key], meta['limits'])} |")
    single = native.get("BM_SingleThreadLoop/1000000/10/real_time")
    if single:
        ratio = single / k["heavy/1000000x10"]
        rows.append({"key": "heavy/1000000x10", "kestrix_s": k["heavy/1000000x10"],
                     "c_loop_s": single, "numpy_s": n["heavy/1000000x10"], "ratio": ratio,
                     "goal": 1.9, "goal_text": "≥ 1.9", "met": ratio >= 1.9,
                     "baseline": "single-thread C loop",
                     "limit": f"{ratio / meta['workers']:.0%} of libm × workers"})
        table.append(f"| heavy/1000000x10 | {k['heavy/1000000x10'] * 1e3:.1f} ms | {single * 1e3:.1f} ms "
                     f"(single-thread libm loop) | {ratio:.2f} | ≥ 1.9 | {'yes' if ratio >= 1.9 else 'no'} | "
                     f"{ratio / meta['workers']:.0%} of libm × workers |")
    table.append(f"| heavy/1000000x10 vs numpy trig | {k['heavy/1000000x10'] * 1e3:.1f} ms | "
                 f"{n['heavy/1000000x10'] * 1e3:.1f} ms | {n['heavy/1000000x10'] / k['heavy/1000000x10']:.2f} "
                 "| — | — | numpy's own trig, not the C library's |")
    trip = native.get("BM_RoundTripTwoItems/real_time")
    if trip:
        rows.append({"key": "pool_round_trip", "kestrix_s": trip, "goal_s": 2e-6,
                     "goal_text": "≤ 2 µs", "met": trip <= 2e-6})
        table.append(f"| pool round trip | {trip * 1e6:.2f} µs | | | ≤ 2 µs | "
                     f"{'yes' if trip <= 2e-6 else 'no'} | |")
    return rows, table


def charts(k, n, folder):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("  matplotlib missing: no charts")
        return
    families = {"matmul": "GFLOP/s", "add": "GB/s", "mul": "GB/s", "transpose": "GB/s"}
    for family, unit in families.items():
        keys = [key for key in k if key.startswith(family + "/")]
        sizes = [int(key.split("/")[1]) for key in keys]

        def rate(t, size):
            return 2 * size**3 / t / 1e9 if family == "matmul" else 8 * size * size / t / 1e9
        fig, ax = plt.subplots(figsize=(6, 4))
        ax.plot(sizes, [rate(k[key], s) for key, s in zip(keys, sizes)], "o-", label="kestrix")
        ax.plot(sizes, [rate(n[key], s) for key, s in zip(keys, sizes)], "s--", label="numpy")
        ax.set_xscale("log", base=2)
        ax.set_xlabel("n (n × n float32)")
        ax.set_ylabel(unit)
        ax.set_title(f"{family}: throughput by size")
        ax.legend()
        fig.tight_layout()
        fig.savefig(Path(folder) / f"{family}.png", dpi=100)
        plt.close(fig)


def combine_limits(before, after):
    limits = {key: max(filter(None, (value, before[key])), default=None)
              for key, value in after.items() if key != "line_round_trip_ns"}
    trips = sorted((before["line_round_trip_ns"] or []) + (after["line_round_trip_ns"] or []))
    limits["line_round_trip_ns"] = trips or None
    return limits


def limits_text(limits):
    peak, fused, bw = (limits.get(k) for k in ("peak_gflops", "fused_peak_gflops", "bandwidth_gbs"))
    return (f"float32 peak of separate multiply and add {peak:.0f} GFLOP/s" if peak else "peak not measured") + \
        (f" (fused multiply-add, which a peer may use: {fused:.0f})" if fused else "") + \
        (f", streaming bandwidth {bw:.0f} GB/s" if bw else ", bandwidth not measured") + \
        (", a cache line's round trip between two cores {:.0f}-{:.0f} ns".format(
            limits["line_round_trip_ns"][0], limits["line_round_trip_ns"][-1])
         if limits.get("line_round_trip_ns") else "")


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), platform.processor())
    return {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--side", choices=["kestrix", "numpy"])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--rounds", type=int, default=3, help="turns each side takes")
    parser.add_argument("--charts", metavar="DIR", help="also draw a chart per operation family")
    args = parser.parse_args()
    if args.side:
        fn = kestrix_side if args.side == "kestrix" else numpy_side
        print(json.dumps(fn(args.quick)))
        return
    head = record.header("bench_vs_numpy", args.build)
    print("kestrix vs numpy", flush=True)
    # The sides take turns, and each figure is the best over all rounds, so
    # that a slow spell of a shared machine does not land on one side only.
    k, n = {}, {}
    env, auto_core = numpy_env()
    # The limits are measured before and after the sides, and the higher
    # rate kept: a slow spell during one measurement would put kernels above
    # the machine's peak. The cache line's round trip keeps both figures: on a
    # virtual machine it moves several-fold with where the host places the
    # two cores.
    limits_before = machine_limits(args.build)
    for _ in range(args.rounds):
        for side, best in (("kestrix", k), ("numpy", n)):
            for key, value in run_side(side, args.quick, args.build, env).items():
                keep = isinstance(value, float) and key in best
                best[key] = min(best[key], value) if keep else value
    native = {**google_benchmark(args.build, "stress_bench", "SingleThreadLoop"),
              **google_benchmark(args.build, "pool_bench", "RoundTrip|PingPong")}
    for key in [key for key in k if key.startswith("fit_1/")]:
        shape = key.split("/")[1]
        k[f"fit_step/{shape}"] = max(k.pop(f"fit_11/{shape}") - k.pop(key), 1e-9) / 10
    meta = {**machine(), "workers": k.pop("_workers"), "numpy": n.pop("_numpy"),
            "blas": n.pop("_blas"), "blas_own_core": auto_core,
            "limits": combine_limits(limits_before, machine_limits(args.build))}
    rows, table = report(k, n, native, meta)
    if args.charts:
        Path(args.charts).mkdir(parents=True, exist_ok=True)
        charts(k, n, args.charts)
    md = [f"Machine: {meta['cpu']}, {meta['cores']} cores, kestrix workers {meta['workers']}, "
          f"numpy {meta['numpy']}, BLAS {json.dumps(meta['blas'])}"
          f" (OpenBLAS's own choice of core: {auto_core}); {args.rounds} rounds"
          + (", quick sizes" if args.quick else ""), "",
          "Ratio = numpy (or the named baseline) time / kestrix time; best of repeated runs.",
          f"Limits measured here with every core busy: {limits_text(meta['limits'])}.", "",
          *table]
    print("\n".join(md))
    meta.update(rounds=args.rounds, quick=args.quick)
    record.write(head, "\n".join(md), {"machine": meta, "rows": rows, "kestrix": k, "numpy": n,
                                       "native": native})


if __name__ == "__main__":
    main()
