"""Argument binding, conversions and instance access, as a caller sees them."""
import math

import pytest

from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic
from reference import key

M = KestrixMatrix([1.0, 2.0], 1, 2)
S = KestrixSolver(0.1, 1)


@pytest.mark.parametrize("call, message", [
    (lambda: KestrixMatrix([1.0]),
     "KestrixMatrix.__new__() missing 2 required positional arguments: 'rows' and 'cols'"),
    (lambda: KestrixMatrix(),
     "KestrixMatrix.__new__() missing 3 required positional arguments: 'data', 'rows', and 'cols'"),
    (lambda: M.mul(), "KestrixMatrix.mul() missing 1 required positional argument: 'val'"),
    (lambda: S.fit(M), "KestrixSolver.fit() missing 1 required positional argument: 'y'"),
    (lambda: KestrixSolver(1, 2, 3),
     "KestrixSolver.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: M.add(1.0, 2.0, val=3.0),
     "KestrixMatrix.add() takes 1 positional arguments but 2 were given"),
    (lambda: M.add(1.0, val=2.0), "KestrixMatrix.add() got multiple values for argument 'val'"),
    (lambda: M.add(value=2.0), "KestrixMatrix.add() got an unexpected keyword argument 'value'"),
    (lambda: M.add(**{"first": 1, "val": 2, "second": 3}),
     "KestrixMatrix.add() got an unexpected keyword argument 'first'"),
    (lambda: M.add(1.0, **{"val": 2, "zzz": 3}),
     "KestrixMatrix.add() got multiple values for argument 'val'"),
    (lambda: M.add(**{"\udc80": 1}),
     "KestrixMatrix.add() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (lambda: M.add(**{"v\u00e4l": 1}), "KestrixMatrix.add() got an unexpected keyword argument 'v\u00e4l'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == message


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Lying(list):
    """A list whose length hint is absurd or broken."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length


@pytest.mark.parametrize("data, shape, expected", [
    ([1.0, 2.0], (1, 2), [1.0, 2.0]),
    ((1, 2), (2, 1), [1.0, 2.0]),
    (range(2), (1, 2), [0.0, 1.0]),
    (b"\x01\x02", (1, 2), [1.0, 2.0]),
    (bytearray(b"\x03\x04"), (1, 2), [3.0, 4.0]),
    ([True, 2**70, 16777217], (1, 3), [1.0, float(2**70), 16777216.0]),
    ([0.1, 1e300, -1e300], (3, 1), [0.10000000149011612, math.inf, -math.inf]),
    ([3.4028235677973366e38, 3.4028234663852886e38, 2**128], (1, 3),
     [math.inf, 3.4028234663852886e38, math.inf]),
    ([1e-50, -1e-50, -0.0, math.nan], (2, 2), [0.0, -0.0, -0.0, math.nan]),
    ([], (True, 0), []), ([], (2**64 - 1, 0), []), ([], (Index(3), 0), []), ([], (0, Index(2**63)), []),
    # The length is only a hint: absurd, zero or failing, iteration decides.
    (Lying([1.0, 2.0, 3.0], 2**40), (1, 3), [1.0, 2.0, 3.0]),
    (Lying([1.0, 2.0, 3.0], 2**62), (1, 3), [1.0, 2.0, 3.0]),
    (Lying([1.0, 2.0, 3.0], 0), (1, 3), [1.0, 2.0, 3.0]),
    (Lying([1.0, 2.0, 3.0], MemoryError()), (1, 3), [1.0, 2.0, 3.0]),
    (Lying([1.0, 2.0, 3.0], TypeError("no length")), (1, 3), [1.0, 2.0, 3.0]),
])
def test_conversions(data, shape, expected):
    m = KestrixMatrix(data, *shape)
    assert m.shape() == tuple(int(getattr(n, "v", n)) for n in shape)
    assert [key(v) for v in m.to_list()] == [key(v) for v in expected]


def gen():
    yield 1.0


@pytest.mark.parametrize("call, error, message", [
    (lambda: KestrixMatrix("ab", -1, "x"), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (lambda: KestrixMatrix({1: 2}, 1, 1), TypeError,
     "argument 'data': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: KestrixMatrix({1.0}, 1, 1), TypeError,
     "argument 'data': 'set' object cannot be converted to 'Sequence'"),
    (lambda: KestrixMatrix(gen(), 1, 1), TypeError,
     "argument 'data': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: KestrixMatrix([1.0, "x"], 1, 2), TypeError, "argument 'data': must be real number, not str"),
    (lambda: KestrixMatrix([None], -1, 1), TypeError, "argument 'data': must be real number, not NoneType"),
    (lambda: KestrixMatrix([], -1, 0), OverflowError, "can't convert negative int to unsigned"),
    (lambda: KestrixMatrix([], 2**64, 0), OverflowError, "int too big to convert"),
    (lambda: KestrixMatrix([], 1.0, 0), TypeError,
     "argument 'rows': 'float' object cannot be interpreted as an integer"),
    (lambda: KestrixMatrix([2**1024], 1, 1), OverflowError, "int too large to convert to float"),
    (lambda: M.add("2"), TypeError, "argument 'val': must be real number, not str"),
    (lambda: M.mul(2**2000), OverflowError, "int too large to convert to float"),
    (lambda: KestrixSolver("a", "not looked at"), TypeError, "argument 'lr': must be real number, not str"),
    (lambda: M.matmul(5), TypeError, "argument 'other': 'int' object cannot be converted to 'KestrixMatrix'"),
    (lambda: S.predict(S), TypeError,
     "argument 'X': 'KestrixSolver' object cannot be converted to 'KestrixMatrix'"),
    (lambda: run_heavy_logic([1.0], 1.5), TypeError,
     "argument 'iterations': 'float' object cannot be interpreted as an integer"),
])
def test_refusals(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == message
    assert info.value.__cause__ is None


def test_rewrapped_type_error_keeps_the_original_cause():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner
    with pytest.raises(TypeError) as info:
        KestrixMatrix([Bad()], 1, 1)
    assert str(info.value) == "argument 'data': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_nested_access_conflicts():
    s = KestrixSolver(0.1, 1)
    s.fit(M, [1.0])
    before, seen, nested = s.predict(M), [], []

    class Predicting:
        def __float__(self):
            s.predict(M)
            return 1.0

    class Refitting:
        def __float__(self):
            try:
                s.fit(M, [1.0])
            except RuntimeError as e:
                seen.append(str(e))
            return 1.0

    class Reading:
        def __float__(self):
            nested.append(M.to_list())
            return 1.0
    with pytest.raises(RuntimeError) as info:
        s.fit(M, [Predicting()])
    assert type(info.value) is RuntimeError and str(info.value) == "Already mutably borrowed"
    assert s.predict(M) == before
    s.fit(M, [Refitting()])
    assert seen == ["Already borrowed"]
    # Nested shared access to a matrix always works, even on the receiver itself.
    assert M.add(Reading()).to_list() == [2.0, 3.0] and nested == [[1.0, 2.0]]
