"""One file a run: what a runner measured, kept under bench/results/.

Every runner of `make bench` writes its run to one new file,
bench/results/<UTC date and time>-<runner>.md, and never rewrites an older
one. A record starts with a header that names the date, the processor, the
compiler and build type of the module measured, the commit measured (and
whether the tree had changes beyond it), the command and the load average at
the start; then come the runner's tables as it printed them; where the runner
gives its raw figures, they follow as JSON in a last fenced block, for
bench/report.py and for comparisons between runs.

    bench/record.py google-benchmark [--build DIR] [--min-time S] [--filter REGEX]

runs the Google Benchmark programs of a build (DIR/bench/*_bench) and records
them as one run, a table per program.
"""
import argparse
import contextlib
import io
import json
import os
import platform
import re
import subprocess
import sys
from datetime import datetime, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
RESULTS = ROOT / "bench" / "results"
DATA_FENCE = re.compile(r"^```json\n(.*?)^```\s*\Z", re.M | re.S)


def _run(cmd, **kw):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, check=True, **kw).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def processor():
    """Model name, family and model, logical processors and the vector sets
    that choose kestrix's kernels."""
    fields = {}
    try:
        for line in open("/proc/cpuinfo"):
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    name = fields.get("model name") or platform.processor() or platform.machine()
    flags = set(fields.get("flags", fields.get("Features", "")).split())
    if {"avx512f", "avx512vl", "avx512dq", "avx512bw", "avx2", "fma"} <= flags:
        vector = "AVX-512"
    elif {"avx2", "fma"} <= flags:
        vector = "AVX2"
    elif "sse2" in flags:
        vector = "SSE2"
    elif "asimd" in flags:
        vector = "Advanced SIMD"
    else:
        vector = "no vector set known to kestrix"
    family = (f" (family {fields['cpu family']} model {fields['model']})"
              if "cpu family" in fields and "model" in fields else "")
    return f"{name}{family}, {os.cpu_count()} logical processors, {vector}"


def compiler(build):
    """The compiler and build type of the CMake build in `build`."""
    build = Path(build)
    cache = build / "CMakeCache.txt"
    build_type = ""
    if cache.is_file():
        m = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache.read_text(), re.M)
        build_type = m.group(1) if m else ""
    found = sorted(build.glob("CMakeFiles/*/CMakeCXXCompiler.cmake"))
    if not found:
        return "unknown (no configured build)"
    text = found[-1].read_text()
    ident = re.search(r'set\(CMAKE_CXX_COMPILER_ID "([^"]*)"\)', text)
    version = re.search(r'set\(CMAKE_CXX_COMPILER_VERSION "([^"]*)"\)', text)
    name = {"GNU": "g++", "Clang": "clang++"}.get(ident.group(1) if ident else "", "c++")
    return f"{name} {version.group(1) if version else '?'}, {build_type or 'no build type'}"


def commit():
    sha = _run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"]) or "unknown"
    dirty = _run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no",
                  "--", "src", "CMakeLists.txt", "cmake", "bench"])
    return sha + (" with local changes (src, bench or the build files)" if dirty else "")


def header(runner, build):
    now = datetime.now(timezone.utc)
    return {
        "runner": runner,
        "date": now.strftime("%Y-%m-%d %H:%M UTC"),
        "processor": processor(),
        "compiler": compiler(build),
        "commit": commit(),
        "python": f"{platform.python_implementation()} {platform.python_version()} "
                  f"({sys.executable})",
        "command": " ".join([Path(sys.argv[0]).name] + sys.argv[1:]),
        "load average at the start": " ".join(f"{v:.2f}" for v in os.getloadavg()),
        "_stamp": now.strftime("%Y-%m-%dT%H%M%SZ"),
    }


def write(head, text, data=None):
    """Writes one run's record and returns its path."""
    RESULTS.mkdir(parents=True, exist_ok=True)
    path = RESULTS / f"{head['_stamp']}-{head['runner']}.md"
    n = 1
    while path.exists():  # two runs of one runner within a second
        n += 1
        path = RESULTS / f"{head['_stamp']}-{head['runner']}-{n}.md"
    lines = [f"# {head['runner']}, {head['date']}", ""]
    lines += [f"- {key}: {value}" for key, value in head.items() if not key.startswith("_")]
    lines += ["", text.strip("\n"), ""]
    if data is not None:
        lines += ["```json", json.dumps(data, indent=1, sort_keys=True), "```", ""]
    path.write_text("\n".join(lines))
    print(f"\nrecorded: {path.relative_to(ROOT)}")
    return path


@contextlib.contextmanager
def run(runner, build):
    """Records what the block prints (it is printed as well) as one run:

        with record.run("shared_core", args.build) as rec:
            print(...)
            rec.data = {...}          # optional raw figures
    """
    head = header(runner, build)

    class Tee(io.TextIOBase):
        def __init__(self, out):
            self.out, self.kept = out, io.StringIO()

        def write(self, s):
            self.kept.write(s)
            return self.out.write(s)

        def flush(self):
            self.out.flush()

    class Run:
        data = None

    rec, tee = Run(), Tee(sys.stdout)
    with contextlib.redirect_stdout(tee):
        yield rec
    write(head, tee.kept.getvalue(), rec.data)


def records(runner=None):
    """Every record, oldest first (the names sort by time), of one runner or all."""
    pattern = f"*-{runner}.md" if runner else "*.md"
    found = [p for p in RESULTS.glob(pattern) if re.match(r"\d{4}-\d\d-\d\dT\d{6}Z-", p.name)]
    if runner:
        found += [p for p in RESULTS.glob(f"*-{runner}-[0-9]*.md")
                  if re.match(r"\d{4}-\d\d-\d\dT\d{6}Z-", p.name)]
    return sorted(found)


def read(path):
    """(header fields, the raw figures or None) of a record."""
    text = Path(path).read_text()
    head = dict(re.findall(r"^- ([^:\n]+): (.*)$", text.split("\n\n", 2)[1], re.M))
    m = DATA_FENCE.search(text)
    return head, (json.loads(m.group(1)) if m else None)


# ---- the Google Benchmark programs -------------------------------------------

def google_benchmark(build, min_time, pattern=None):
    programs = sorted((Path(build) / "bench").glob("*_bench"))
    if not programs:
        sys.exit(f"record.py: no Google Benchmark programs in {build}/bench")
    with run("google_benchmark", build) as rec:
        rec.data = {}
        for exe in programs:
            print(f"## {exe.name}\n", flush=True)
            proc = subprocess.run([str(exe), f"--benchmark_min_time={min_time}",
                                   "--benchmark_format=json"]
                                  + ([f"--benchmark_filter={pattern}"] if pattern else []),
                                  capture_output=True, text=True)
            if proc.returncode != 0:
                sys.stderr.write(proc.stderr)
                sys.exit(f"record.py: {exe.name} failed")
            out = json.loads(proc.stdout)
            rec.data[exe.name] = out["benchmarks"]
            counters = sorted({k for b in out["benchmarks"] for k in b
                               if k not in SKIP and isinstance(b[k], (int, float))})
            print("| benchmark | real time | processor time | " +
                  "".join(f"{c} | " for c in counters))
            print("|---|---|---|" + "---|" * len(counters))
            for b in out["benchmarks"]:
                if b.get("error_occurred"):
                    print(f"| {b['name']} | error: {b.get('error_message', '?')} | |"
                          + " |" * len(counters))
                    continue
                unit = b.get("time_unit", "ns")
                cells = [f"{b[c]:.4g}" if c in b else "" for c in counters]
                print(f"| {b['name']} | {b['real_time']:.4g} {unit} | {b['cpu_time']:.4g} {unit} | "
                      + "".join(f"{c} | " for c in cells))
            print(flush=True)


# Fields of Google Benchmark's JSON that are bookkeeping, not counters.
SKIP = {"real_time", "cpu_time", "iterations", "repetitions", "repetition_index", "threads",
        "family_index", "per_family_instance_index"}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="what", required=True)
    gb = sub.add_parser("google-benchmark", help="run and record the Google Benchmark programs")
    gb.add_argument("--build", default=str(ROOT / "build"))
    gb.add_argument("--min-time", default="0.1", help="--benchmark_min_time of each benchmark")
    gb.add_argument("--filter", help="--benchmark_filter of every program")
    args = parser.parse_args()
    if args.what == "google-benchmark":
        google_benchmark(args.build, args.min_time, args.filter)


if __name__ == "__main__":
    main()
