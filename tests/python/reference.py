"""Float32 reference models of the numeric operations, written from their
definitions. Each step is done in double, where it is exact, and rounded to
float32 at once, which is what one float32 operation gives."""
import ctypes
import ctypes.util
import math


PANIC = "PanicException"
libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("sinf", "cosf", "tanf"):
    getattr(libm, _name).restype = ctypes.c_float
    getattr(libm, _name).argtypes = [ctypes.c_float]


class Expected(Exception):
    """A failure a model predicts: its type (or PANIC) and its exact text."""

    def __init__(self, kind, text):
        super().__init__(kind, text)
        self.kind, self.text = kind, text


def f32(x):
    """x narrowed as a C cast does it: overflow gives inf, NaN stays NaN."""
    return ctypes.c_float(x).value


def bits(x):
    return ctypes.c_uint32.from_buffer(ctypes.c_float(x)).value


def key(x):
    # Which NaN an operation on two NaNs returns is the processor's choice;
    # every other value counts with its sign.
    return "nan" if math.isnan(x) else bits(x)


def div32(a, b):
    import numpy as np  # imported on use: the valgrind run never loads numpy
    with np.errstate(all="ignore"):
        return float(np.float32(a) / np.float32(b))


def matmul(a, b, rows, inner, cols):
    """R = A[:, k] * B[k, :] + R for k ascending; numpy rounds each float32 step."""
    import numpy as np
    A = np.array(a, np.float32).reshape(rows, inner)
    B = np.array(b, np.float32).reshape(inner, cols)
    R = np.zeros((rows, cols), np.float32)
    with np.errstate(all="ignore"):
        for k in range(inner):
            R = A[:, k:k + 1] * B[k:k + 1, :] + R
    return R.reshape(-1).tolist()


def fixed_tree(n, workers=1):
    """The split tree reductions over n items follow on a pool of `workers`:
    the one where no half is stolen. Leaves are (lo, hi)."""
    def piece(lo, hi, budget, taken_over):
        if (hi - lo) // 2 < 1:
            return (lo, hi)
        if taken_over:
            budget = max(budget // 2, workers)
        elif budget == 0:
            return (lo, hi)
        else:
            budget //= 2
        mid = lo + (hi - lo) // 2
        return (piece(lo, mid, budget, False), piece(mid, hi, budget, False))
    if n // 2 < 1:
        return (0, n)
    # The caller splits once; both halves run taken over.
    return (piece(0, n // 2, workers // 2, True), piece(n // 2, n, workers // 2, True))


def leaves(tree):
    if isinstance(tree[0], int):
        return [tree]
    return leaves(tree[0]) + leaves(tree[1])


def reduce_tree(tree, leaf, combine):
    if isinstance(tree[0], int):
        return leaf(*tree)
    return combine(reduce_tree(tree[0], leaf, combine), reduce_tree(tree[1], leaf, combine))


def fit(x, y, rows, cols, lr, iters, workers=1):
    """Training on a pool of `workers`: (weights, bias)."""
    w, b, nf, lr = [0.0] * cols, 0.0, f32(rows), f32(lr)

    def leaf(lo, hi):
        g = [0.0] * (cols + 1)
        for i in range(lo, hi):
            if i >= len(y):
                raise Expected(PANIC, f"index out of bounds: the len is {len(y)} but the index is {i}")
            p = b
            for j in range(cols):
                p = f32(p + f32(w[j] * x[i * cols + j]))
            e = f32(p - y[i])
            for j in range(cols):
                g[j] = f32(g[j] + f32(e * x[i * cols + j]))
            g[cols] = f32(g[cols] + e)
        return [f32(0.0 + v) for v in g]

    for _ in range(iters):
        g = reduce_tree(fixed_tree(rows, workers), leaf, lambda l, r: [f32(p + q) for p, q in zip(l, r)])
        w = [f32(w[j] - f32(div32(g[j], nf) * lr)) for j in range(cols)]
        b = f32(b - f32(div32(g[cols], nf) * lr))
    return w, b


def predict(w, b, x, rows, cols):
    if rows and cols > len(w):
        raise Expected(PANIC, f"index out of bounds: the len is {len(w)} but the index is {len(w)}")
    out = []
    for r in range(rows):
        p = b
        for j in range(cols):
            p = f32(p + f32(w[j] * x[r * cols + j]))
        out.append(p)
    return out


def term(x, iterations):
    for _ in range(iterations):
        x = abs(libm.tanf(libm.cosf(libm.sinf(x))))
    return x


def stress(data, iterations, workers=1):
    """The stress kernel's sum on a pool of `workers`."""
    def leaf(lo, hi):
        s = -0.0
        for i in range(lo, hi):
            s = f32(s + term(data[i], iterations))
        return s
    return reduce_tree(fixed_tree(len(data), workers), leaf, lambda l, r: f32(l + r))
