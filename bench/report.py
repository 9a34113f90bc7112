"""Writes the README's benchmark table from the latest recorded run.

The table sits in README.md between the two marker comments below; this
script replaces what is between them with the rows of the newest
bench_vs_numpy record in bench/results/ (bench/record.py), naming its date,
commit, processor and compiler. `make bench` runs it last.

    bench/report.py            rewrite the table
    bench/report.py --check    exit 1 if the table is not the latest run's (make test)
"""
import argparse
import sys
from pathlib import Path

import record

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
RUNNER = "bench_vs_numpy"
BEGIN = "<!-- benchmark table: written by bench/report.py from the latest run; not edited by hand -->"
END = "<!-- end of the benchmark table -->"


def duration(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.3g} ms" if seconds < 0.1 else f"{seconds * 1e3:.0f} ms"
    return f"{seconds:.2f} s"


def count(text):
    """'1000000' -> '10⁶', other counts as they are."""
    return "10⁶" if text == "1000000" else text


def operation(key):
    op, _, size = key.partition("/")
    if op in ("matmul", "add", "mul", "transpose"):
        return f"`{op}` {size}²"
    if op == "construct":
        return f"construction from a list of {count(size)}"
    if op == "to_list":
        return f"`to_list` of {count(size)}"
    if op == "fit_step":
        rows, cols = size.split("x")
        return f"`fit`, one step of {count(rows)} × {cols}"
    if op == "predict":
        rows, cols = size.split("x")
        return f"`predict` {count(rows)} × {cols}, to a list"
    if op == "heavy":
        rows, iters = size.split("x")
        return f"`run_heavy_logic` {count(rows)} × {iters}, against one thread of the C library"
    if key == "pool_round_trip":
        return "the pool's round trip"
    return f"`{key}`"


def _share(text):
    """The percentage a 'share of the limit' cell starts with, or 0."""
    head = text.split("%", 1)[0]
    return float(head) if "%" in text and head.replace(".", "", 1).isdigit() else 0.0


def table_text():
    """The text between the markers, from the latest record (or saying there is none)."""
    runs = record.records(RUNNER)
    if not runs:
        return "No run of `make bench` is recorded yet (bench/results/)."
    path = runs[-1]
    head, data = record.read(path)
    if not data:
        sys.exit(f"report.py: {path.name} holds no figures")
    meta = data.get("machine", {})
    blas = meta.get("blas")
    blas_text = ""
    if isinstance(blas, list) and blas:
        b = blas[0]
        blas_text = (f" on {'OpenBLAS' if b.get('internal_api') == 'openblas' else b.get('internal_api')}"
                     f" {b.get('version')} ({b.get('architecture')} kernels, "
                     f"{b.get('num_threads')} threads)")
    limits = meta.get("limits", {})
    rounds = meta.get("rounds", "?")
    scope = f"{rounds} round{'' if rounds == 1 else 's'}" + (
        ", the quick sizes" if meta.get("quick") else "")
    lines = [
        f"From the run of {head.get('date')} (`bench/results/{path.name}`): commit "
        f"{head.get('commit')}, {head.get('processor')}, {head.get('compiler')}; "
        f"kestrix on {meta.get('workers', '?')} workers beside numpy {meta.get('numpy', '?')}"
        f"{blas_text}, {scope}; load average {head.get('load average at the start', '?')} at "
        "the start. The float32 peak of separate multiplies and adds measured in the "
        f"same run was {limits.get('peak_gflops') or 0:.0f} GFLOP/s, the streaming bandwidth "
        f"{limits.get('bandwidth_gbs') or 0:.0f} GB/s. Ratio: numpy's (or the named "
        "baseline's) time over kestrix's, above 1 where kestrix is faster; each time is the best "
        "of its side's calls."
        + (" A short run (quick sizes or fewer than three rounds): its figures show that the "
           "runners work, and are not to be compared." if meta.get("quick") or
           (isinstance(rounds, int) and rounds < 3) else "")
        + (" Shares above 100 % mean that the limits were measured in a slower moment than "
           "the operations: the machine was busy." if any(
               _share(r.get("limit", "")) > 100 for r in data["rows"]) else ""),
        "",
        "| operation | kestrix | numpy | ratio | goal | met | share of the limit |",
        "|---|---|---|---|---|---|---|",
    ]
    for row in data["rows"]:
        key = row["key"]
        if key == "heavy/1000000x10":
            peer, ratio = duration(row["c_loop_s"]), f"{row['ratio']:.2f}"
        elif "numpy_s" in row:
            peer, ratio = duration(row["numpy_s"]), f"{row['ratio']:.2f}"
        else:
            peer, ratio = "", ""
        lines.append(f"| {operation(key)} | {duration(row['kestrix_s'])} | {peer} | {ratio} | "
                     f"{row.get('goal_text', '')} | {'yes' if row.get('met') else 'no'} | "
                     f"{row.get('limit', '')} |")
    return "\n".join(lines)


def rewritten(readme):
    if readme.count(BEGIN) != 1 or readme.count(END) != 1:
        sys.exit(f"report.py: README.md must hold each marker once:\n  {BEGIN}\n  {END}")
    before, rest = readme.split(BEGIN)
    _, after = rest.split(END)
    return f"{before}{BEGIN}\n{table_text()}\n{END}{after}"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true",
                        help="fail if README.md's table is not the one the latest run gives")
    args = parser.parse_args()
    readme = README.read_text()
    new = rewritten(readme)
    if args.check:
        if new != readme:
            sys.exit("report.py: README.md's benchmark table is not the latest recorded run's; "
                     "run bench/report.py")
        return
    if new != readme:
        README.write_text(new)
        runs = record.records(RUNNER)
        print(f"README.md: the benchmark table of {runs[-1].name if runs else 'no run'}")


if __name__ == "__main__":
    main()
