"""Hostile conversion hooks: each gets its defined outcome and the module keeps
working afterwards."""
import pytest

from conftest import panic_of
from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic


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
    """An object whose conversion hooks run given functions."""

    def __init__(self, on_float=None, on_index=None, on_len=None, on_iter=None, items=(1.0,)):
        self.on_float, self.on_index, self.on_len, self.on_iter = on_float, on_index, on_len, on_iter
        self.items = list(items)

    def __float__(self):
        return self.on_float()

    def __index__(self):
        return self.on_index()

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return self.on_len() if self.on_len else len(self.items)

    def __iter__(self):
        return self.on_iter() if self.on_iter else iter(self.items)


def raise_(exc):
    def f():
        raise exc
    return f


@pytest.mark.parametrize("call, error, message", [
    (lambda: KestrixMatrix([1.0], 1, 1).add(Hook(on_float=raise_(TypeError("bad float")))),
     TypeError, "argument 'val': bad float"),
    (lambda: KestrixMatrix([1.0], 1, 1).add(Hook(on_float=raise_(KeyError("k")))), KeyError, "'k'"),
    (lambda: KestrixMatrix([Hook(on_float=lambda: "1.0")], 1, 1), TypeError,
     "argument 'data': Hook.__float__ returned non-float (type str)"),
    (lambda: KestrixSolver(Hook(on_float=lambda: 2**2000), 1), TypeError,
     "argument 'lr': Hook.__float__ returned non-float (type int)"),
    (lambda: KestrixSolver(0.1, Hook(on_index=raise_(TypeError("bad index")))), TypeError,
     "argument 'iters': bad index"),
    (lambda: KestrixSolver(0.1, Hook(on_index=raise_(ArithmeticError("a")))), ArithmeticError, "a"),
    (lambda: KestrixMatrix([], Hook(on_index=lambda: 1.5), 0), TypeError,
     "argument 'rows': __index__ returned non-int (type float)"),
    (lambda: run_heavy_logic([], Hook(on_index=lambda: -3)), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda: KestrixMatrix([], 0, Hook(on_index=lambda: 2**64)), OverflowError, "int too big to convert"),
    (lambda: run_heavy_logic(Hook(on_iter=raise_(TypeError("no iter"))), 0), TypeError,
     "argument 'data': no iter"),
    (lambda: KestrixSolver(0.1, 1).fit(KestrixMatrix([1.0], 1, 1), Hook(on_iter=raise_(ZeroDivisionError("zero")))),
     ZeroDivisionError, "zero"),
    (lambda: run_heavy_logic(Hook(on_iter=lambda: 5), 0), TypeError,
     "argument 'data': iter() returned non-iterator of type 'int'"),
    (lambda: run_heavy_logic(Hook(on_iter=lambda: (x if x < 3 else 1 / 0 for x in range(9))), 0),
     ZeroDivisionError, "division by zero"),
])
def test_hooks_that_raise_or_return_the_wrong_type(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == message


@pytest.mark.parametrize("length", [raise_(MemoryError()), raise_(TypeError("x")), lambda: 2**60,
                                    lambda: "three"])
def test_len_that_raises_or_lies_is_only_a_hint(length):
    assert KestrixMatrix(Hook(on_len=length, items=[1.0, 2.0]), 1, 2).to_list() == [1.0, 2.0]


def test_hooks_that_reenter_the_module():
    m = KestrixMatrix([1.0, 2.0], 1, 2)
    inner = []

    def reenter():
        inner.append(m.matmul(m.transpose()).to_list())
        inner.append(run_heavy_logic([0.5, 0.25], 0))
        s = KestrixSolver(0.5, 1)
        s.fit(m, [Hook(on_float=lambda: 3.0)])
        inner.append(s.predict(m))
        # A failure inside the hook is contained there.
        inner.append(panic_of(lambda: KestrixMatrix([1.0], 2, 2)).args)
        return 4.0
    assert m.add(Hook(on_float=reenter)).to_list() == [5.0, 6.0]
    assert KestrixMatrix([Hook(on_float=reenter)] * 2, 2, 1).to_list() == [4.0, 4.0]
    assert inner[:4] == [[5.0], 0.75, [9.0], ("Data length does not match rows * cols",)]
    assert len(inner) == 12


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
