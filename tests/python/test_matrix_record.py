"""Construction, shape() and to_list() of KestrixMatrix, down to absurd shapes."""
import pytest

from conftest import panic_of
from kestrix import KestrixMatrix, KestrixSolver


@pytest.mark.parametrize("data, rows, cols", [
    ([1.0, 2.0, 3.0], 2, 2),
    ([], 2**32, 2**32),          # the product 2^64 wraps to 0 in 64 bits
    ([1.0], 2**64 - 1, 2**64 - 1),
    ([1.0] * 4, 2**63 + 2, 2),   # wraps to 4
])
def test_length_must_be_the_exact_product(data, rows, cols):
    assert panic_of(lambda: KestrixMatrix(data, rows, cols)).args == (
        "Data length does not match rows * cols",)


@pytest.mark.parametrize("rows, cols", [(0, 0), (3, 0), (0, 3), (2**63, 0), (0, 2**64 - 1), (2**64 - 1, 0)])
def test_empty_shapes_of_any_size(rows, cols):
    m = KestrixMatrix([], rows, cols)
    assert m.shape() == (rows, cols) and m.to_list() == []
    assert m.add(1.0).shape() == (rows, cols) and m.mul(2.0).to_list() == []
    s = KestrixSolver(0.1, 0)
    if cols > 2**40:
        # One weight per column cannot exist.
        assert panic_of(lambda: s.fit(m, [])).args == ("capacity overflow",)
    else:
        s.fit(m, [])                              # no step runs, so nothing is read
    assert m.transpose().shape() == (cols, rows) and m.transpose().to_list() == []
    if cols:
        assert s.predict(m) == []                 # no rows: no weight is read
    elif rows > 2**40:
        # One prediction per row cannot exist.
        assert panic_of(lambda: s.predict(m)).args == ("capacity overflow",)
    else:
        assert s.predict(m) == [0.0] * rows       # the bias alone


def test_round_trip_copies_and_keeps_storage_order():
    data = [float(i) * 0.5 for i in range(100_003)]
    m = KestrixMatrix(data, 1, 100_003)
    data[0] = 5.0
    assert m.to_list()[0] == 0.0 and m.to_list()[1:] == data[1:]
    assert m.to_list() is not m.to_list()
    assert KestrixMatrix([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 2, 3).transpose().to_list() == [
        1.0, 4.0, 2.0, 5.0, 3.0, 6.0]
