"""Construction, shape() and to_list() of KestrixMatrix."""
import pytest

from kestrix import KestrixMatrix


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value.args


@pytest.mark.parametrize("rows, cols", [(0, 0), (3, 0), (0, 3), (2**63, 0), (0, 2**64 - 1)])
def test_empty_shapes(rows, cols):
    m = KestrixMatrix([], rows, cols)
    assert m.shape() == (rows, cols)
    assert m.to_list() == []


@pytest.mark.parametrize("data, rows, cols", [
    ([1.0, 2.0, 3.0], 2, 2),
    ([], 2**32, 2**32),          # the product 2^64 wraps to 0 in 64 bits
    ([1.0], 2**64 - 1, 2**64 - 1),
    ([1.0] * 4, 2**63 + 2, 2),  # wraps to 4
])
def test_length_must_be_the_exact_product(data, rows, cols):
    assert panic_message(lambda: KestrixMatrix(data, rows, cols)) == (
        "Data length does not match rows * cols",)


def test_bad_rows_reported_before_the_length_check():
    with pytest.raises(OverflowError):
        KestrixMatrix([1.0], -1, 1)


def test_storage_order_and_repeated_reads():
    m = KestrixMatrix([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 2, 3)
    for _ in range(3):
        assert m.shape() == (2, 3)
        assert m.to_list() == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    assert m.to_list() is not m.to_list()


def test_stored_values_are_float32():
    assert KestrixMatrix([0.1], 1, 1).to_list() == [0.10000000149011612]
    assert KestrixMatrix([16777217], 1, 1).to_list() == [16777216.0]


def test_data_is_copied_not_shared():
    data = [1.0, 2.0]
    m = KestrixMatrix(data, 2, 1)
    data[0] = 5.0
    assert m.to_list() == [1.0, 2.0]


def test_large_round_trip():
    data = [float(i) * 0.5 for i in range(100_003)]
    assert KestrixMatrix(data, 100_003, 1).to_list() == data
