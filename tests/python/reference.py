"""Float32 reference models of the numeric operations, written from their
definitions, with the arithmetic as a parameter: FLOAT32, where which NaN an
operation on two NaNs gives is the processor's, or FIRST_NAN, the operand-order
rule, where it is part of the answer. Each step is done in double, where it
is exact, and rounded to float32 at once, which is what one float32
operation gives."""
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
    if b != 0 and math.isfinite(a) and math.isfinite(b):
        return f32(a / b)
    # Zeros, infinities and NaNs as the processor divides them. Imported on
    # use: the valgrind run, which trains a model, never loads numpy.
    import numpy as np
    with np.errstate(all="ignore"):
        return float(np.float32(a) / np.float32(b))


def _rounded(x):
    # numpy's float32 arrays round every step themselves.
    return f32(x) if isinstance(x, float) else x


class FLOAT32:
    """One float32 operation each, on floats or on numpy float32 arrays."""
    add = staticmethod(lambda a, b: _rounded(a + b))
    sub = staticmethod(lambda a, b: _rounded(a - b))
    mul = staticmethod(lambda a, b: _rounded(a * b))
    div = staticmethod(div32)


QUIET = 0x00400000


def _first_nan(op):
    """op, except that of two operands the first NaN wins, quieted."""
    def rule(a, b):
        r = op(a, b)
        if isinstance(r, float):
            if a != a:
                return f32_of_bits(bits(a) | QUIET)
            return f32_of_bits(bits(b) | QUIET) if b != b else r
        import numpy as np
        a, b = np.broadcast_arrays(np.float32(a), np.float32(b))
        quiet = lambda v: (v.view(np.uint32) | QUIET).view(np.float32)  # noqa: E731
        return np.where(np.isnan(a), quiet(a), np.where(np.isnan(b), quiet(b), r))
    return staticmethod(rule)


class FIRST_NAN:
    """FLOAT32 with the operand-order rule every kernel follows."""
    add, sub, mul, div = (_first_nan(op) for op in (FLOAT32.add, FLOAT32.sub, FLOAT32.mul,
                                                    FLOAT32.div))


def f32_of_bits(u):
    return ctypes.c_float.from_buffer(ctypes.c_uint32(u)).value


def matmul(a, b, rows, inner, cols, ops=FLOAT32):
    """R = B[k, :] * A[:, k] + R for k ascending, a row of R at a time."""
    import numpy as np
    A = np.array(a, np.float32).reshape(rows, inner)
    B = np.array(b, np.float32).reshape(inner, cols)
    R = np.zeros((rows, cols), np.float32)
    with np.errstate(all="ignore"):
        for k in range(inner):
            R = ops.add(ops.mul(B[k:k + 1, :], A[:, k:k + 1]), R)
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


def fit(x, y, rows, cols, lr, iters, workers=1, ops=FLOAT32):
    """Training on a pool of `workers`: (weights, bias)."""
    w, b, nf, lr = [0.0] * cols, 0.0, f32(rows), f32(lr)
    add, sub, mul = ops.add, ops.sub, ops.mul

    def leaf(lo, hi):
        g = [0.0] * (cols + 1)
        for i in range(lo, hi):
            if i >= len(y):
                raise Expected(PANIC, f"index out of bounds: the len is {len(y)} but the index is {i}")
            p = b
            for j in range(cols):
                p = add(p, mul(w[j], x[i * cols + j]))
            e = sub(p, y[i])
            for j in range(cols):
                g[j] = add(g[j], mul(e, x[i * cols + j]))
            g[cols] = add(g[cols], e)
        return [add(0.0, v) for v in g]

    for _ in range(iters):
        g = reduce_tree(fixed_tree(rows, workers), leaf, lambda l, r: [add(p, q) for p, q in zip(l, r)])
        w = [sub(w[j], mul(ops.div(g[j], nf), lr)) for j in range(cols)]
        b = sub(b, mul(ops.div(g[cols], nf), lr))
    return w, b


def predict(w, b, x, rows, cols, ops=FLOAT32):
    if rows and cols > len(w):
        raise Expected(PANIC, f"index out of bounds: the len is {len(w)} but the index is {len(w)}")
    out = []
    for r in range(rows):
        p = b
        for j in range(cols):
            p = ops.add(p, ops.mul(w[j], x[r * cols + j]))
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
