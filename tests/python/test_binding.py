"""Argument binding, conversions and instance access, as a caller sees them."""
import math

import pytest

from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic

M = KestrixMatrix([1.0, 2.0], 1, 2)
S = KestrixSolver(0.1, 1)


@pytest.mark.parametrize("call, message", [
    (lambda: KestrixMatrix([1.0]),
     "KestrixMatrix.__new__() missing 2 required positional arguments: 'rows' and 'cols'"),
    (lambda: KestrixMatrix(),
     "KestrixMatrix.__new__() missing 3 required positional arguments: 'data', 'rows', and 'cols'"),
    (lambda: KestrixMatrix(rows=1),
     "KestrixMatrix.__new__() missing 2 required positional arguments: 'data' and 'cols'"),
    (lambda: M.add(1.0, 2.0), "KestrixMatrix.add() takes 1 positional arguments but 2 were given"),
    (lambda: KestrixSolver(1, 2, 3),
     "KestrixSolver.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: M.add(1.0, val=2.0), "KestrixMatrix.add() got multiple values for argument 'val'"),
    (lambda: M.add(value=2.0), "KestrixMatrix.add() got an unexpected keyword argument 'value'"),
    (lambda: M.add(1.0, 2.0, val=3.0),
     "KestrixMatrix.add() takes 1 positional arguments but 2 were given"),
    (lambda: M.add(x=1, val=2), "KestrixMatrix.add() got an unexpected keyword argument 'x'"),
    (lambda: M.mul(), "KestrixMatrix.mul() missing 1 required positional argument: 'val'"),
    (lambda: M.matmul(), "KestrixMatrix.matmul() missing 1 required positional argument: 'other'"),
    (lambda: run_heavy_logic(),
     "run_heavy_logic() missing 2 required positional arguments: 'data' and 'iterations'"),
    (lambda: run_heavy_logic([], 1, 2), "run_heavy_logic() takes 2 positional arguments but 3 were given"),
    (lambda: S.fit(M), "KestrixSolver.fit() missing 1 required positional argument: 'y'"),
    (lambda: S.predict(), "KestrixSolver.predict() missing 1 required positional argument: 'X'"),
    (lambda: M.add(**{"\udc80": 1}), "KestrixMatrix.add() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (lambda: M.add(**{"v\u00e4l": 1}), "KestrixMatrix.add() got an unexpected keyword argument 'v\u00e4l'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_keywords_in_any_order_and_dictionary_order_of_checks():
    assert KestrixMatrix(cols=2, rows=1, data=[1.0, 2.0]).to_list() == [1.0, 2.0]
    with pytest.raises(TypeError, match="unexpected keyword argument 'first'"):
        M.add(**{"first": 1, "val": 2, "second": 3})
    with pytest.raises(TypeError, match="got multiple values for argument 'val'"):
        M.add(1.0, **{"val": 2, "zzz": 3})


@pytest.mark.parametrize("data, expected", [
    ([1.0, 2.0], [1.0, 2.0]),
    ((1, 2), [1.0, 2.0]),
    (range(2), [0.0, 1.0]),
    (b"\x01\x02", [1.0, 2.0]),
    (bytearray(b"\x03\x04"), [3.0, 4.0]),
    ([True, 2**70], [1.0, float(2**70)]),
    ([0.1, 1e300], [0.10000000149011612, math.inf]),
    ([-1e300, 1e-50, -0.0], [-math.inf, 0.0, -0.0]),
])
def test_float_sequences(data, expected):
    got = KestrixMatrix(data, 1, 2 if len(expected) == 2 else 3).to_list()
    assert got == expected
    assert [math.copysign(1, x) for x in got] == [math.copysign(1, x) for x in expected]


def test_nan_survives_narrowing():
    assert math.isnan(KestrixMatrix([math.nan], 1, 1).to_list()[0])


def gen():
    yield 1.0


@pytest.mark.parametrize("data, message", [
    ("ab", "argument 'data': Can't extract `str` to `Vec`"),
    ({1: 2}, "argument 'data': 'dict' object cannot be converted to 'Sequence'"),
    ({1.0}, "argument 'data': 'set' object cannot be converted to 'Sequence'"),
    (gen(), "argument 'data': 'generator' object cannot be converted to 'Sequence'"),
    (5, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    ([1.0, "x"], "argument 'data': must be real number, not str"),
    ([None], "argument 'data': must be real number, not NoneType"),
])
def test_float_sequence_refusals(data, message):
    with pytest.raises(TypeError) as info:
        KestrixMatrix(data, 1, 2)
    assert str(info.value) == message
    assert info.value.__cause__ is None and info.value.__suppress_context__


def test_str_refused_before_a_bad_count():
    with pytest.raises(TypeError, match="^argument 'data': Can't extract"):
        KestrixMatrix("ab", -1, "x")


@pytest.mark.parametrize("rows, error, prefix", [
    (-1, OverflowError, ""),
    (2**64, OverflowError, ""),
    (1.0, TypeError, "argument 'rows': "),
    ("1", TypeError, "argument 'rows': "),
])
def test_count_refusals(rows, error, prefix):
    with pytest.raises(error) as info:
        KestrixMatrix([], rows, 0)
    assert type(info.value) is error
    assert str(info.value).startswith(prefix)
    if not prefix:
        assert "argument" not in str(info.value)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("rows, cols", [(True, 0), (2**64 - 1, 0), (Index(3), 0), (0, Index(2**63))])
def test_counts_accepted(rows, cols):
    expected = (int(rows.v if isinstance(rows, Index) else rows),
                int(cols.v if isinstance(cols, Index) else cols))
    assert KestrixMatrix([], rows, cols).shape() == expected


def test_scalar_conversions():
    class Half:
        def __float__(self):
            return 0.5
    assert M.add(Half()).to_list() == [1.5, 2.5]
    assert M.add(val=2).to_list() == [3.0, 4.0]
    with pytest.raises(TypeError, match="^argument 'val': must be real number, not str$"):
        M.add("2")
    with pytest.raises(TypeError, match="^argument 'lr': "):
        KestrixSolver("a", "not looked at")
    with pytest.raises(OverflowError):
        M.mul(2**2000)


def test_other_and_x_must_be_matrices():
    with pytest.raises(TypeError) as info:
        M.matmul(5)
    assert str(info.value) == "argument 'other': 'int' object cannot be converted to 'KestrixMatrix'"
    with pytest.raises(TypeError, match="^argument 'other': 'list' object cannot be converted"):
        M.matmul(other=[1.0, 2.0])
    with pytest.raises(TypeError, match="^argument 'X': 'KestrixSolver' object cannot be converted "
                                        "to 'KestrixMatrix'$"):
        S.predict(S)


class Cause(TypeError):
    pass


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


def test_other_errors_pass_unwrapped():
    class Boom:
        def __float__(self):
            raise ValueError("boom")

    class SubTypeError:
        def __float__(self):
            raise Cause("sub")
    with pytest.raises(ValueError, match="^boom$"):
        KestrixMatrix([Boom()], 1, 1)
    with pytest.raises(Cause, match="^sub$"):
        KestrixMatrix([SubTypeError()], 1, 1)


class Lying(list):
    """A list whose length hint is absurd or broken."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length


@pytest.mark.parametrize("length", [2**40, 2**62, 0, RuntimeError("no length")])
def test_length_hint_is_only_a_hint(length):
    assert KestrixMatrix(Lying([1.0, 2.0, 3.0], length), 1, 3).to_list() == [1.0, 2.0, 3.0]


def test_list_changed_during_conversion_ends_where_iteration_would():
    items = [1.0, 2.0, 3.0]

    class Shrink:
        def __float__(self):
            del items[1:]
            return 9.0

    class Grow:
        def __float__(self):
            items.append(4.0)
            return 8.0
    items.insert(0, Shrink())
    assert KestrixMatrix(items, 1, 1).to_list() == [9.0]
    items[:] = [Grow(), 1.0]
    assert KestrixMatrix(items, 1, 3).to_list() == [8.0, 1.0, 4.0]


def test_iteration_errors_are_wrapped():
    class BadIter(list):
        def __iter__(self):
            raise TypeError("no iterating")
    with pytest.raises(TypeError, match="^argument 'y': no iterating$"):
        S.fit(M, BadIter([1.0]))


def test_nested_access_conflicts():
    s = KestrixSolver(0.1, 1)
    s.fit(M, [1.0])
    before = s.predict(M)
    seen = []

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
    with pytest.raises(RuntimeError) as info:
        s.fit(M, [Predicting()])
    assert type(info.value) is RuntimeError and str(info.value) == "Already mutably borrowed"
    assert s.predict(M) == before
    s.fit(M, [Refitting()])
    assert seen == ["Already borrowed"]
    # Nested shared access to a matrix always works, even on the receiver itself.
    nested = []

    class Reading:
        def __float__(self):
            nested.append(M.to_list())
            return 1.0
    assert M.add(Reading()).to_list() == [2.0, 3.0] and nested == [[1.0, 2.0]]
