"""Generated calls against pure-Python models of the binding, the conversions
and the float32 arithmetic of every entry."""
import ctypes
import fractions
import math
import operator
from collections import namedtuple
from decimal import Decimal

from hypothesis import HealthCheck, assume, given, settings, strategies as st

from conftest import outcome
from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic
from reference import PANIC, Expected, f32, fit, key, matmul, predict, stress

SETTINGS = settings(max_examples=100, derandomize=True, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
Mat = namedtuple("Mat", "data rows cols")
_is_sequence = ctypes.pythonapi.PySequence_Check
_is_sequence.argtypes = [ctypes.py_object]


# ---- models of the conversions and the binding ---------------------------------

def display(obj):
    return str(obj).encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def converted(name, convert, obj):
    try:
        return convert(obj)
    except Exception as e:
        if type(e) is TypeError:
            raise Expected(TypeError, f"argument '{name}': {display(e)}") from None
        raise Expected(type(e), str(e)) from None


def as_float32(name, obj):
    # ldexp(x, 0) is x, read through the interpreter's own float conversion.
    return f32(converted(name, lambda o: math.ldexp(o, 0), obj))


def as_count(name, obj):
    v = converted(name, operator.index, obj)
    if v < 0:
        raise Expected(OverflowError, "can't convert negative int to unsigned")
    if v >= 2**64:
        raise Expected(OverflowError, "int too big to convert")
    return v


def as_floats(name, obj):
    if isinstance(obj, str):
        raise Expected(TypeError, f"argument '{name}': Can't extract `str` to `Vec`")
    if type(obj) is KestrixMatrix:
        return obj.to_list()
    if not _is_sequence(obj):
        raise Expected(TypeError, f"argument '{name}': '{type(obj).__qualname__}' object "
                                  "cannot be converted to 'Sequence'")
    return converted(name, lambda o: [f32(math.ldexp(v, 0)) for v in o], obj)


def as_matrix(name, obj):
    if type(obj) is not KestrixMatrix:
        raise Expected(TypeError, f"argument '{name}': '{type(obj).__qualname__}' object "
                                  "cannot be converted to 'KestrixMatrix'")
    return Mat(obj.to_list(), *obj.shape())


def bind(function, params, args, kwargs):
    """Surplus positionals first, then keywords in dictionary order, then gaps."""
    if len(args) > len(params):
        raise Expected(TypeError, f"{function} takes {len(params)} positional arguments but "
                                  f"{len(args)} {'was' if len(args) == 1 else 'were'} given")
    filled = [i < len(args) for i in range(len(params))]
    for name in kwargs:
        try:
            index = params.index(name.encode("utf-8").decode("utf-8"))
        except (UnicodeError, ValueError):
            raise Expected(TypeError, f"{function} got an unexpected keyword argument "
                                      f"'{display(name)}'") from None
        if filled[index]:
            raise Expected(TypeError, f"{function} got multiple values for argument '{name}'")
        filled[index] = True
    missing = [f"'{p}'" for p, f in zip(params, filled) if not f]
    if missing:
        names = (" and ".join(missing) if len(missing) < 3
                 else ", ".join(missing[:-1]) + ", and " + missing[-1])
        raise Expected(TypeError, f"{function} missing {len(missing)} required positional "
                                  f"argument{'s' if len(missing) > 1 else ''}: {names}")


def new_matrix(data, rows, cols):
    data = as_floats("data", data)
    rows, cols = as_count("rows", rows), as_count("cols", cols)
    if len(data) != rows * cols:
        raise Expected(PANIC, "Data length does not match rows * cols")
    return Mat(data, rows, cols)


def product(a, other):
    b = as_matrix("other", other)
    if a.cols != b.rows:
        raise Expected(ValueError, "Shape mismatch for matmul")
    if a.rows * b.cols > 2**61 - 1:
        raise Expected(PANIC, "capacity overflow")
    return Mat(matmul(a.data, b.data, a.rows, a.cols, b.cols), a.rows, b.cols)


# ---- strategies --------------------------------------------------------------

SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 1e-45, -1e-45, 1.1754942e-38,
           3.4028235e38, -3.4028235e38, 3.4028236e38, 1e39, 1e-46, 2.5e-45]
f32_values = st.one_of(st.sampled_from(SPECIAL), st.floats(width=32),
                       st.floats(allow_nan=True, allow_infinity=True))
small_ints = st.integers(-4, 4).map(float)


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class NoLen:
    """A sequence without a length: only iteration counts."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


@st.composite
def matrices(draw, shape=st.tuples(st.integers(0, 5), st.integers(0, 5)), values=f32_values):
    rows, cols = draw(shape)
    return KestrixMatrix(draw(st.lists(values, min_size=rows * cols, max_size=rows * cols)),
                         rows, cols)


some_matrix = st.sampled_from([(1, 1), (2, 3), (0, 2), (3, 0), (0, 0)]).map(
    lambda s: KestrixMatrix([float(k) for k in range(s[0] * s[1])], *s))
scalars = st.one_of(st.none(), st.booleans(), st.complex_numbers(max_magnitude=4),
                    st.integers(), st.sampled_from([2**1100, -2**1100]), f32_values,
                    st.fractions(max_denominator=9), st.sampled_from([Decimal("1.5"),
                    Decimal("nan"), Decimal("snan"), fractions.Fraction(1, 3)]),
                    st.builds(Floaty, st.one_of(f32_values, st.just("x"), st.just(2))),
                    st.builds(Indexy, st.one_of(st.integers(-3, 3), st.just(1.5))))
leaves = st.one_of(scalars, st.text(max_size=3), st.binary(max_size=3))
arbitrary = st.one_of(
    leaves, st.lists(f32_values, max_size=6), st.lists(leaves, max_size=4),
    st.tuples(scalars, scalars), st.builds(bytearray, st.binary(max_size=4)),
    st.dictionaries(st.integers(0, 3), st.floats(), max_size=2),
    st.frozensets(st.integers(0, 3), max_size=2), st.sets(st.integers(0, 3), max_size=2),
    st.builds(range, st.integers(0, 5)), st.builds(lambda xs: iter(xs), st.lists(st.floats())),
    st.builds(NoLen, st.lists(f32_values, max_size=4)), some_matrix,
    st.just(KestrixSolver(0.5, 1)), st.just(object()), st.just(KestrixMatrix))
counts = st.one_of(st.integers(0, 4), st.sampled_from([2**63, 2**64 - 1, 2**64, -1, -2**63]),
                   st.builds(Indexy, st.integers(0, 4)), arbitrary)


def either(valid):
    return st.one_of(valid, valid, arbitrary)


def mat(m):
    return Mat(m.to_list(), *m.shape())


# ---- arbitrary objects and values for every parameter of every entry ----------

@SETTINGS
@given(data=either(st.lists(f32_values, max_size=6)), rows=either(counts), cols=either(counts))
def test_constructor(data, rows, cols):
    assert outcome(lambda: KestrixMatrix(data, rows, cols), exact=True) == \
        outcome(lambda: new_matrix(data, rows, cols), exact=True)


@SETTINGS
@given(op=st.sampled_from(["add", "mul"]), m=matrices(), val=either(f32_values))
def test_scalar_ops(op, m, val):
    def model():
        v = as_float32("val", val)
        return Mat([f32(x + v) if op == "add" else f32(x * v) for x in m.to_list()], *m.shape())
    assert outcome(lambda: getattr(m, op)(val)) == outcome(model)


@SETTINGS
@given(m=matrices())
def test_transpose(m):
    def model():
        (rows, cols), data = m.shape(), m.to_list()
        return Mat([data[i * cols + j] for j in range(cols) for i in range(rows)], cols, rows)
    assert outcome(m.transpose, exact=True) == outcome(model, exact=True)


@SETTINGS
@given(a=matrices(), cols=st.integers(0, 5), data=st.data())
def test_matmul(a, cols, data):
    other = data.draw(either(matrices(shape=st.just((a.shape()[1], cols)))))
    assert outcome(lambda: a.matmul(other)) == outcome(lambda: product(mat(a), other))


@SETTINGS
@given(lr=either(f32_values), iters=either(counts))
def test_solver_constructor(lr, iters):
    # The stored rate and count are seen through one fit on a single sample.
    one = KestrixMatrix([1.0], 1, 1)

    def real():
        s = KestrixSolver(lr, iters)
        if as_count("iters", iters) > 3:
            return None
        s.fit(one, [2.0])
        return s.predict(one)

    def model():
        rate, n = as_float32("lr", lr), as_count("iters", iters)
        return predict(*fit([1.0], [2.0], 1, 1, rate, n), [1.0], 1, 1) if n <= 3 else None
    assert outcome(real) == outcome(model)


@SETTINGS
@given(X=either(matrices(shape=st.tuples(st.integers(0, 1), st.integers(0, 4)))),
       y=either(st.lists(f32_values, max_size=2)), lr=f32_values, iters=st.integers(0, 3),
       probe=either(matrices(shape=st.tuples(st.integers(0, 3), st.integers(0, 5)))))
def test_fit_and_predict(X, y, lr, iters, probe):
    # At most three samples: the split tree is the same on any pool.
    s = KestrixSolver(lr, iters)
    s.fit(KestrixMatrix([1.0, 2.0], 1, 2), [1.0])
    state = fit([1.0, 2.0], [1.0], 1, 2, lr, iters)

    def model():
        x = as_matrix("X", X)
        return fit(x.data, as_floats("y", y), x.rows, x.cols, lr, iters)
    want = outcome(model)
    got = outcome(lambda: s.fit(X, y))
    if want[0] == "ok":
        assert got == ("ok", None)
        state = want[1]
    else:
        assert got == want
        if want[1] == PANIC:   # a failed step leaves the reset model
            state = [0.0] * X.shape()[1], 0.0
    assert outcome(lambda: s.predict(probe)) == \
        outcome(lambda: predict(*state, *as_matrix("X", probe)))


@SETTINGS
@given(train=matrices(values=st.one_of(small_ints, small_ints, st.sampled_from(
           [math.inf, -math.inf, math.nan])), shape=st.tuples(st.integers(2, 40), st.integers(1, 3))),
       targets=st.data(), iters=st.integers(0, 1))
def test_many_sample_training_with_exact_sums(train, targets, iters):
    # Small integers sum exactly in any grouping, and infinities and NaN give
    # NaN or an infinity whatever the grouping.
    rows, cols = train.shape()
    y = targets.draw(st.lists(small_ints, min_size=rows, max_size=rows))
    s = KestrixSolver(0.25, iters)
    s.fit(train, y)
    probe = KestrixMatrix([1.0] * cols, 1, cols)
    assert outcome(lambda: s.predict(probe)) == \
        outcome(lambda: predict(*fit(train.to_list(), y, rows, cols, 0.25, iters), [1.0] * cols, 1, cols))


@SETTINGS
@given(data=either(st.lists(f32_values, max_size=1)), iterations=either(counts))
def test_stress(data, iterations):
    def model():
        xs, n = as_floats("data", data), as_count("iterations", iterations)
        assume(len(xs) <= 1 and (n <= 8 or not xs))   # one element: one grouping
        return stress(xs, n)
    want = outcome(model, exact=True)
    assert outcome(lambda: run_heavy_logic(data, iterations), exact=True) == want


@SETTINGS
@given(data=st.lists(st.one_of(small_ints, st.sampled_from([-0.0, math.inf, math.nan])),
                     min_size=2, max_size=60))
def test_stress_plain_sums_in_any_grouping(data):
    total = -0.0
    for v in data:
        total = f32(total + v)
    assert outcome(lambda: run_heavy_logic(data, 0)) == ("ok", key(total))


# ---- positional and keyword mixes ----------------------------------------------

M = KestrixMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
ONE = KestrixMatrix([1.0], 1, 1)


ENTRIES = {  # name: (parameters, good values, call that shows which value went where)
    "KestrixMatrix.__new__()": (("data", "rows", "cols"), ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 2, 3),
                                lambda *a, **k: KestrixMatrix(*a, **k)),
    "KestrixMatrix.add()": (("val",), (0.5,), M.add),
    "KestrixMatrix.matmul()": (("other",), (KestrixMatrix([2.0, 3.0], 2, 1),), M.matmul),
    "KestrixSolver.__new__()": (("lr", "iters"), (0.5, 2), lambda *a, **k: (
        lambda s: (s.fit(ONE, [1.0]), s.predict(ONE)))(KestrixSolver(*a, **k))),
    "KestrixSolver.fit()": (("X", "y"), (KestrixMatrix([1.0, 2.0], 1, 2), [3.0]), lambda *a, **k: (
        lambda s: (s.fit(*a, **k), s.predict(KestrixMatrix([1.0, 1.0], 1, 2))))(KestrixSolver(0.5, 1))),
    "KestrixSolver.predict()": (("X",), (KestrixMatrix([1.0, 2.0], 1, 2),), lambda *a, **k: (
        lambda s: (s.fit(KestrixMatrix([1.0, 2.0], 1, 2), [1.0]), s.predict(*a, **k)))(KestrixSolver(0.5, 1))),
    "run_heavy_logic()": (("data", "iterations"), ([0.5, 1.5], 0), run_heavy_logic),
}


@st.composite
def calls(draw):
    function = draw(st.sampled_from(sorted(ENTRIES)))
    params, values, _ = ENTRIES[function]
    n_pos = draw(st.integers(0, len(params) + 1))
    args = list(values[:n_pos]) + [7.0] * max(0, n_pos - len(params))
    names = draw(st.lists(st.sampled_from(list(params) + ["x", "Data", "\udcff", "v\u00e4l", "y"]),
                          unique=True, max_size=len(params) + 1))
    return function, tuple(args), {n: values[params.index(n)] if n in params else 1.0 for n in names}


@settings(SETTINGS, max_examples=300)
@given(call=calls())
def test_positional_and_keyword_mixes(call):
    function, args, kwargs = call
    params, values, entry = ENTRIES[function]

    def model():
        bind(function, params, args, kwargs)
        return entry(*values)
    assert repr(outcome(lambda: entry(*args, **kwargs))) == repr(outcome(model))
