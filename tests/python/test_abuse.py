"""Hostile Python objects, absurd sizes and overflowing values: each gets its
defined outcome and the module keeps working afterwards."""
import math

import pytest

from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value


@pytest.fixture(autouse=True)
def module_still_works():
    yield
    m = KestrixMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    assert m.matmul(m).to_list() == [7.0, 10.0, 15.0, 22.0]
    s = KestrixSolver(0.1, 1)
    s.fit(KestrixMatrix([1.0, 2.0], 2, 1), [2.0, 4.0])
    assert s.predict(KestrixMatrix([1.0], 1, 1)) == [0.800000011920929]
    assert run_heavy_logic([1.5, 2.25], 0) == 3.75


class Hook:
    """An object whose conversion hooks run a given function."""

    def __init__(self, on_float=None, on_index=None):
        self.on_float, self.on_index = on_float, on_index

    def __float__(self):
        return self.on_float()

    def __index__(self):
        return self.on_index()


def raise_(exc):
    def f():
        raise exc
    return f


@pytest.mark.parametrize("hook, error, message", [
    (Hook(on_float=raise_(TypeError("bad float"))), TypeError, "argument 'val': bad float"),
    (Hook(on_float=raise_(KeyError("k"))), KeyError, "'k'"),
    (Hook(on_float=lambda: "1.0"), TypeError,
     "argument 'val': Hook.__float__ returned non-float (type str)"),
    (Hook(on_float=lambda: 2**2000), TypeError,
     "argument 'val': Hook.__float__ returned non-float (type int)"),
])
def test_float_hooks(hook, error, message):
    m = KestrixMatrix([1.0], 1, 1)
    with pytest.raises(error) as info:
        m.add(hook)
    assert type(info.value) is error and str(info.value) == message
    assert m.to_list() == [1.0]


@pytest.mark.parametrize("hook, error, message", [
    (Hook(on_index=raise_(TypeError("bad index"))), TypeError, "argument 'iters': bad index"),
    (Hook(on_index=raise_(ArithmeticError("a"))), ArithmeticError, "a"),
    (Hook(on_index=lambda: 1.5), TypeError,
     "argument 'iters': __index__ returned non-int (type float)"),
    (Hook(on_index=lambda: -3), OverflowError, "can't convert negative int to unsigned"),
    (Hook(on_index=lambda: 2**64), OverflowError, "int too big to convert"),
])
def test_index_hooks(hook, error, message):
    with pytest.raises(error) as info:
        KestrixSolver(0.1, hook)
    assert type(info.value) is error and str(info.value) == message


class Seq:
    """A sequence whose __len__ and __iter__ are replaceable."""

    def __init__(self, items, length=None, iterate=None):
        self.items, self.length, self.iterate = items, length, iterate

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return self.length() if self.length else len(self.items)

    def __iter__(self):
        return self.iterate() if self.iterate else iter(self.items)


def test_len_that_raises_or_lies_is_only_a_hint():
    for length in (raise_(MemoryError()), raise_(TypeError("x")), lambda: 2**60, lambda: "three"):
        assert KestrixMatrix(Seq([1.0, 2.0], length=length), 1, 2).to_list() == [1.0, 2.0]


@pytest.mark.parametrize("iterate, error, message", [
    (raise_(TypeError("no iter")), TypeError, "argument 'data': no iter"),
    (raise_(ZeroDivisionError("zero")), ZeroDivisionError, "zero"),
    (lambda: 5, TypeError, "argument 'data': iter() returned non-iterator of type 'int'"),
    (lambda: (x if x < 3 else 1 / 0 for x in range(9)), ZeroDivisionError, "division by zero"),
])
def test_iter_hooks(iterate, error, message):
    with pytest.raises(error) as info:
        run_heavy_logic(Seq([1.0], iterate=iterate), 0)
    assert type(info.value) is error and str(info.value) == message


def test_hooks_that_reenter_the_module():
    m = KestrixMatrix([1.0, 2.0], 1, 2)
    inner = []

    def reenter():
        inner.append(m.matmul(m.transpose()).to_list())
        inner.append(run_heavy_logic([0.5, 0.25], 0))
        s = KestrixSolver(0.5, 1)
        s.fit(m, [Hook(on_float=lambda: 3.0)])
        inner.append(s.predict(m))
        return 4.0
    assert m.add(Hook(on_float=reenter)).to_list() == [5.0, 6.0]
    assert KestrixMatrix([Hook(on_float=reenter)] * 2, 2, 1).to_list() == [4.0, 4.0]
    assert inner[:3] == [[5.0], 0.75, [9.0]] and len(inner) == 9


def test_reentrant_panic_inside_a_conversion_is_contained():
    m = KestrixMatrix([1.0], 1, 1)
    seen = []

    def fail_inside():
        seen.append(panic_of(lambda: KestrixMatrix([], 0, 0).transpose()).args)
        return 2.0
    assert m.mul(Hook(on_float=fail_inside)).to_list() == [2.0]
    assert seen == [("chunk_size must not be zero",)]


def test_converted_list_mutated_while_converting():
    items = [1.0, 2.0, 3.0, 4.0]

    def clear():
        items.clear()
        return 9.0
    items[1] = Hook(on_float=clear)
    # Iteration stops where the list now ends: two items were read.
    assert KestrixMatrix(items, 1, 2).to_list() == [1.0, 9.0]
    items[:] = [Hook(on_float=lambda: items.extend([0.5] * 3) or 1.0)]
    assert KestrixMatrix(items, 2, 2).to_list() == [1.0, 0.5, 0.5, 0.5]


def test_reraised_panic_in_every_conversion_slot(capfd):
    caught = panic_of(lambda: KestrixMatrix([1.0], 2, 2))
    resurrect = Hook(on_float=raise_(caught), on_index=raise_(caught))
    m, s = KestrixMatrix([1.0], 1, 1), KestrixSolver(0.1, 1)
    for call in (lambda: m.add(resurrect), lambda: KestrixSolver(resurrect, 1),
                 lambda: KestrixSolver(0.1, resurrect), lambda: run_heavy_logic([resurrect], 0),
                 lambda: s.fit(m, [resurrect]), lambda: KestrixMatrix([], resurrect, 0)):
        exc = panic_of(call)
        assert exc is not caught and exc.args == caught.args
    err = capfd.readouterr().err
    assert err.count("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---") == 6
    # The solver refused before training: it was never fitted.
    assert panic_of(lambda: s.predict(m)).args == ("index out of bounds: the len is 0 but the index is 0",)


@pytest.mark.parametrize("rows, cols", [(2**63, 0), (0, 2**64 - 1), (2**64 - 1, 0)])
def test_huge_dimensions_with_empty_data(rows, cols):
    m = KestrixMatrix([], rows, cols)
    assert m.shape() == (rows, cols) and m.to_list() == []
    assert m.add(1.0).shape() == (rows, cols)
    assert m.mul(2.0).to_list() == []
    s = KestrixSolver(0.1, 0)
    if cols:
        # One weight per column cannot be allocated.
        assert panic_of(lambda: s.fit(m, [])).args == ("capacity overflow",)
    else:
        s.fit(m, [])                              # no step runs, so nothing is read
    if rows:
        assert m.transpose().shape() == (cols, rows)
        assert panic_of(lambda: s.predict(m)).args == ("chunk_size must not be zero",)
    else:
        assert panic_of(m.transpose).args == ("chunk_size must not be zero",)
        assert s.predict(m) == []


@pytest.mark.parametrize("rows, cols", [(2**32, 2**32), (2**63, 2), (2**64 - 1, 2**64 - 1)])
def test_dimension_products_beyond_64_bits_never_match(rows, cols):
    assert panic_of(lambda: KestrixMatrix([], rows, cols)).args == (
        "Data length does not match rows * cols",)


def test_huge_matmul_sizes():
    tall, wide = KestrixMatrix([], 2**62, 0), KestrixMatrix([], 0, 2**62)
    assert panic_of(lambda: tall.matmul(wide)).args == ("capacity overflow",)
    assert panic_of(lambda: KestrixMatrix([], 0, 2**62).matmul(
        KestrixMatrix([], 2**62, 0))).args == ("chunk_size must not be zero",)


def test_short_targets_on_a_huge_empty_design():
    s = KestrixSolver(0.1, 1)
    exc = panic_of(lambda: s.fit(KestrixMatrix([], 2**40, 0), [1.0, 2.0]))
    assert exc.args == ("index out of bounds: the len is 2 but the index is 2",)


@pytest.mark.parametrize("value, expected", [
    (1e300, math.inf), (-1e300, -math.inf), (3.4028235677973366e38, math.inf),
    (3.4028234663852886e38, 3.4028234663852886e38), (1e-50, 0.0), (-1e-50, -0.0),
    (2**128, math.inf), (-(2**128), -math.inf), (True, 1.0),
])
def test_values_that_overflow_float32(value, expected):
    got = KestrixMatrix([value], 1, 1).to_list()[0]
    assert got == expected and math.copysign(1, got) == math.copysign(1, expected)
    assert KestrixMatrix([1.0], 1, 1).mul(value).to_list() == [expected]


@pytest.mark.parametrize("value", [2**1024, -(2**1024), 10**400])
def test_ints_beyond_double_are_the_interpreters_overflow(value):
    with pytest.raises(OverflowError, match="^int too large to convert to float$"):
        KestrixMatrix([value], 1, 1)
    with pytest.raises(OverflowError):
        KestrixSolver(value, 1)


def test_arithmetic_overflow_propagates():
    big = KestrixMatrix([3e38, -3e38, 1e-45], 1, 3)
    assert big.add(3e38).to_list() == [math.inf, 0.0, 3.0000000054977558e38]
    assert big.mul(10.0).to_list()[:2] == [math.inf, -math.inf]
    assert big.mul(0.5).to_list()[2] == 0.0      # the smallest subnormal halves to zero
    assert run_heavy_logic([3e38, 3e38], 0) == math.inf
