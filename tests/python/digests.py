"""Digests of a fixed set of seeded results: one `name sha256` line each.

Two builds that print the same lines computed the same bits. Inputs come from
random.Random and struct alone, so they are the same on every machine: values
of every kind (finite, signed zeros, subnormals, infinities, quiet and
signalling NaNs with payloads; the signalling ones arrive quiet) through
products of every kernel path, transposes, add and mul, fit on 1, 2 and 3
workers, predict, and pickles. `run_heavy_logic` follows each platform's C
library and is left out.

The one thing processors may differ in is a NaN an operation creates from
operands that are not NaN (inf - inf, 0 * inf): its sign and payload are the
processor's default. The inputs never hold the two default NaNs' patterns,
so a result word with either pattern is a created NaN, and counts as one
word whatever its sign. Where two NaNs meet, one payload is used throughout
a case outside products, so the result does not depend on which operand a
loop holds first.

    digests.py [--build DIR]     (default: $KESTRIX_MODULE_DIR, else build)
"""
import array
import hashlib
import os
import pickle
import random
import struct
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CREATED = (0x7FC00000, 0xFFC00000)
WORKER_COUNTS = (1, 2, 3)

# Word patterns beside random finite values: signed zeros, the smallest and
# largest subnormals, the largest finite value, infinities.
SPECIALS = [0x00000000, 0x80000000, 0x00000001, 0x807FFFFF, 0x00400000, 0x7F7FFFFF,
            0xFF7FFFFF, 0x7F800000, 0xFF800000]
QUIET = [0x7FC00011, 0xFFC12345, 0x7FFFFFFF]
SIGNALLING = [0x7F800001, 0xFFA00055, 0x7FBFFFFF]


def words_of(values):
    return array.array("I", array.array("f", values).tobytes()).tolist()


def floats(words):
    return array.array("f", struct.pack(f"<{len(words)}I", *words))


def draw(rng, n, extra=(), share=0.0, spread=20):
    """n words: finite values of magnitudes 2**-spread to 2**spread, each
    place taking one of `extra` instead with probability `share`."""
    out = []
    for _ in range(n):
        if extra and rng.random() < share:
            out.append(rng.choice(extra))
        else:
            v = rng.uniform(-2.0, 2.0) * 2.0 ** rng.randint(-spread, spread)
            out.append(struct.unpack("<I", struct.pack("<f", v))[0])
    return out


def digest(words):
    canon = [0x7FC00000 if w in CREATED else w for w in words]
    return hashlib.sha256(struct.pack(f"<{len(canon)}I", *canon)).hexdigest()


def matrix_words(m):
    data = m.__getstate__()["data"]
    return list(struct.unpack(f"<{len(data) // 4}I", data))


def list_words(values):
    # Each value is a widened float32: narrowing gives its word back.
    return [struct.unpack("<I", struct.pack("<f", v))[0] for v in values]


def products(kestrix, emit):
    M = kestrix.KestrixMatrix
    # Narrow, streamed, in place, tiled, packed, and with far-apart left rows.
    shapes = [(1, 1, 1), (7, 5, 3), (40, 17, 8), (3, 50, 200), (4, 9, 33), (100, 40, 60),
              (128, 20, 129), (300, 64, 150), (150, 300, 240), (145, 1030, 70)]
    kinds = {
        "finite": ((), 0.0),
        "specials": (SPECIALS, 0.05),
        "nans": (QUIET + SIGNALLING, 0.02),
        "everything": (SPECIALS + QUIET + SIGNALLING, 0.04),
    }
    for m, k, n in shapes:
        for kind, (extra, share) in kinds.items():
            rng = random.Random(f"product {m} {k} {n} {kind}")
            a, b = draw(rng, m * k, extra, share), draw(rng, k * n, extra, share)
            c = M(floats(a), m, k).matmul(M(floats(b), k, n))
            emit(f"matmul_{m}x{k}x{n}_{kind}", matrix_words(c))


def element_maps(kestrix, emit):
    M = kestrix.KestrixMatrix
    for n in (1, 3, 7, 8, 9, 17, 100, 4099):
        rng = random.Random(f"elements {n}")
        plain = draw(rng, n, SPECIALS, 0.2)
        nans = draw(rng, n, SPECIALS + QUIET + SIGNALLING, 0.3)
        # A NaN scalar meets elements that are not NaN only.
        quiet_nan = struct.unpack("<f", struct.pack("<I", QUIET[0]))[0]
        for v in (1.5, -0.0, 3e-39, float("inf"), quiet_nan):
            for name, data in (("plain", plain), ("nans", nans)):
                if v != v and name == "nans":
                    continue
                m = M(floats(data), 1, n)
                emit(f"add_{n}_{name}_{v!r}", matrix_words(m.add(v)))
                emit(f"mul_{n}_{name}_{v!r}", matrix_words(m.mul(v)))
        shapes = ((1, n), (n, 1)) if n < 100 else ((n // 17, 17), (17, n // 17))
        for rows, cols in dict.fromkeys(shapes):
            t = M(floats(nans[:rows * cols]), rows, cols).transpose()
            emit(f"transpose_{rows}x{cols}", matrix_words(t))
    rng = random.Random("transpose large")
    big = draw(rng, 333 * 257, SPECIALS + QUIET + SIGNALLING, 0.1)
    emit("transpose_333x257", matrix_words(M(floats(big), 333, 257).transpose()))


# Fit cases: shape, iterations, and the one NaN payload (if any) in x or y.
FIT_CASES = [
    ("plain", 37, 5, 3, None, None),
    ("plain", 200, 9, 3, None, None),
    ("plain", 1000, 4, 2, None, None),
    ("plain", 130, 17, 3, None, None),
    ("specials", 64, 8, 3, None, None),
    ("x_quiet", 100, 6, 3, QUIET[1], None),
    ("x_signalling", 100, 9, 3, SIGNALLING[1], None),
    ("y_signalling", 90, 3, 3, None, SIGNALLING[2]),
    ("y_quiet", 33, 16, 2, None, QUIET[0]),
]


def fit_inputs(name, rows, cols, x_nan, y_nan):
    """x and y of moderate magnitudes, so that the steps stay finite."""
    rng = random.Random(f"fit {name} {rows} {cols}")
    extra = SPECIALS[:5] if name == "specials" else ()
    x, y = draw(rng, rows * cols, extra, 0.1, spread=4), draw(rng, rows, spread=4)
    if x_nan is not None:
        for i in rng.sample(range(rows * cols), 3):
            x[i] = x_nan
    if y_nan is not None:
        for i in rng.sample(range(rows), 2):
            y[i] = y_nan
    return x, y


def fits(kestrix, emit, emit_bytes):
    """Training on this process's pool; its size is set by the caller."""
    for name, rows, cols, iters, x_nan, y_nan in FIT_CASES:
        x, y = fit_inputs(name, rows, cols, x_nan, y_nan)
        s = kestrix.KestrixSolver(0.01, iters)
        s.fit(kestrix.KestrixMatrix(floats(x), rows, cols), floats(y))
        state = s.__getstate__()
        label = f"fit_{name}_{rows}x{cols}"
        emit(label, words_of(state["weights"]) + list_words([state["bias"]]))
        emit_bytes(f"{label}_pickle", pickle.dumps(s, 5))
        rng = random.Random(f"predict {label}")
        px = draw(rng, 50 * cols, SPECIALS[:5] + ([x_nan] if x_nan else []), 0.1, spread=4)
        emit(f"{label}_predict", list_words(s.predict(kestrix.KestrixMatrix(floats(px), 50, cols))))


def states(kestrix, emit, emit_bytes):
    """Predictions from restored states whose weights hold NaNs (one payload
    each), and pickles of matrices with every kind of word."""
    for payload in (QUIET[2], SIGNALLING[0]):
        rng = random.Random(f"state {payload}")
        w = draw(rng, 12, [payload], 0.3)
        s = kestrix.KestrixSolver(0.5, 1)
        s.__setstate__({"version": 1, "lr": 0.5, "iters": 1, "weights": floats(w), "bias": 0.25})
        x = draw(rng, 40 * 12, SPECIALS[:5] + [payload], 0.1, spread=4)
        emit(f"predict_state_{payload:08x}",
             list_words(s.predict(kestrix.KestrixMatrix(floats(x), 40, 12))))
    rng = random.Random("pickles")
    m = kestrix.KestrixMatrix(floats(draw(rng, 6 * 11, SPECIALS + QUIET + SIGNALLING, 0.4)), 6, 11)
    for protocol in (2, 5):
        emit_bytes(f"matrix_pickle_{protocol}", pickle.dumps(m, protocol))


def main(argv):
    build = os.environ.get("KESTRIX_MODULE_DIR", str(ROOT / "build"))
    part = "all"
    args = list(argv)
    while args:
        flag = args.pop(0)
        if flag == "--build":
            build = args.pop(0)
        elif flag == "--fits":
            part = "fits"
        else:
            raise SystemExit(f"digests.py: unknown argument {flag}")
    sys.path.insert(0, str(Path(build).resolve()))
    import kestrix

    def emit(name, words):
        print(name, digest(words))

    def emit_bytes(name, data):
        print(name, hashlib.sha256(data).hexdigest())

    if part == "fits":
        fits(kestrix, emit, emit_bytes)
        return
    products(kestrix, emit)
    element_maps(kestrix, emit)
    states(kestrix, emit, emit_bytes)
    # Each worker count in a process of its own: the pool's size is fixed
    # by the first numeric call.
    for workers in WORKER_COUNTS:
        env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
        out = subprocess.run([sys.executable, __file__, "--build", build, "--fits"], env=env,
                             check=True, capture_output=True, text=True).stdout
        for line in out.splitlines():
            name, value = line.split()
            print(f"{name}_w{workers}", value)


if __name__ == "__main__":
    main(sys.argv[1:])
