"""numpy arrays of every integer, bool and float dtype, in either byte order
and any layout, read from memory with exactly the bits their flat list
gives through the sequence path."""
import struct

import numpy as np
import pytest

from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic


def bits_of(values):
    return [struct.pack("<d", v) for v in values]


def stored(data, count):
    return bits_of(KestrixMatrix(data, count, 1).to_list())


def through_list(a):
    """What the sequence path makes of the same elements: a.ravel().tolist()."""
    return stored(np.asarray(a).ravel().tolist(), np.asarray(a).size)


def from_words(dtype, *words):
    width = np.dtype(dtype).itemsize
    return np.array(words, dtype=f"<u{width}").view(dtype)


# Each dtype's edges: its extremes, values a double rounds (above 2**53) and
# a float32 rounds (above 2**24, ties to even), and for floats the zeros,
# subnormals, infinities and quiet and signalling NaNs with payloads.
SPECIALS = {
    "i1": np.array([-128, -1, 0, 1, 127], "i1"),
    "u1": np.array([0, 1, 128, 255], "u1"),
    "i2": np.array([-32768, -1, 0, 32767], "i2"),
    "u2": np.array([0, 1, 65535], "u2"),
    "i4": np.array([-2**31, -1, 0, 2**24 + 1, 2**24 + 3, 2**31 - 1], "i4"),
    "u4": np.array([0, 2**24 + 1, 2**32 - 1, 2**32 - 2**7], "u4"),
    "i8": np.array([-2**63, -2**63 + 1, -1, 0, 2**53 + 1, 2**53 + 3, 2**62 + 2**38 + 1,
                    2**63 - 1, 3 * 2**39 + 2**15 + 1], "i8"),
    "u8": np.array([0, 2**53 + 1, 2**63, 2**64 - 1, 2**64 - 2**39, 2**64 - 2**39 - 1,
                    (2**23 + 1) * 2**40 + 2**38 + 1], "u8"),
    "b1": np.array([0, 1, 2, 255], "u1").view("b1"),
    "f2": from_words("f2", 0x0000, 0x8000, 0x0001, 0x83ff, 0x0400, 0x7bff, 0xfbff, 0x7c00,
                     0xfc00, 0x7e00, 0xfe01, 0x7c01, 0xfd55, 0x3c00, 0x2e66),
    "f4": from_words("f4", 0x00000000, 0x80000000, 0x00000001, 0x807fffff, 0x7f7fffff,
                     0x7f800000, 0xff800000, 0x7fc00000, 0xffc00001, 0x7f800001, 0x7fa5a5a5,
                     0x3dcccccd),
    "f8": from_words("f8", 0x7ff0000000000001, 0xfff800000000dead, 0x7ff4000000000000,
                     0x0000000000000001, 0x3ff0000010000000, 0x3ff0000030000000,
                     0x47efffffe0000000, 0x47efffffdfffffff, 0x7fefffffffffffff,
                     0x3fb999999999999a, 0x8000000000000000),
}
ORDERS = ["<", ">"]


def special_array(kind, order, n=60):
    """n elements of the dtype: its specials first, then ordinary values."""
    values = SPECIALS[kind]
    dtype = np.dtype(kind).newbyteorder(order) if np.dtype(kind).itemsize > 1 else np.dtype(kind)
    filler = (np.arange(n) * 37 % 101 - 50)
    if kind == "b1":
        filler = filler % 2
    if kind[0] == "u":
        filler = np.abs(filler)
    out = np.empty(n, dtype)
    out[:] = filler.astype(values.dtype)
    out[: len(values)] = values
    return out


def layouts(a):
    """The same 60 elements in several layouts: views with strides, reversed,
    transposed, broadcast, unaligned, 0-d and empty."""
    grid = a.reshape(3, 4, 5)
    unaligned = np.frombuffer(b"\0" + a.tobytes(), dtype=a.dtype, offset=1).reshape(3, 4, 5)
    return {
        "flat": a,
        "3-d": grid,
        "strided": grid[:, ::2, 1::2],
        "reversed": grid[::-1, :, ::-1],
        "transposed": grid.transpose(2, 0, 1),
        "fortran": np.asfortranarray(grid),
        "broadcast": np.broadcast_to(grid[:1, :1, :], (2, 3, 5)),
        "unaligned": unaligned.T,
        "0-d": np.asarray(a[7]),
        "empty": grid[:, :0],
    }


LAYOUT_NAMES = sorted(layouts(np.zeros(60)))


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("layout", LAYOUT_NAMES)
@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("kind", sorted(SPECIALS))
def test_every_dtype_reads_as_its_flat_list(kind, order, layout):
    a = layouts(special_array(kind, order))[layout]
    assert stored(a, a.size) == through_list(a)


@pytest.mark.parametrize("dtype", ["<i8", ">i8", "<u8", ">u8"])
def test_integers_round_to_a_double_before_a_float32(dtype):
    # Just above a float32 tie: rounded straight to float32 it would go up to
    # 2**62 + 2**39, but the double it first becomes is the tie itself, which
    # goes to the even 2**62.
    a = np.array([2**62 + 2**38 + 1] + ([] if dtype[1] == "u" else [-(2**62 + 2**38 + 1)]), dtype)
    assert KestrixMatrix(a, a.size, 1).to_list() == [2.0**62, -2.0**62][: a.size]


def test_the_issue_cases_build_the_matrix_they_describe():
    assert KestrixMatrix(np.array([[1, 2], [3, 4]]), 2, 2).to_list() == [1.0, 2.0, 3.0, 4.0]
    for dtype in ("i4", "u1", "?", "f2", ">f4", ">i8"):
        a = np.array([[1, 0], [1, 1]], dtype)
        assert KestrixMatrix(a, 2, 2).to_list() == [1.0, 0.0, 1.0, 1.0], dtype


def test_fit_targets_and_stress_data_read_integer_arrays():
    x = KestrixMatrix([0.0, 1.0, 2.0, 3.0], 4, 1)
    for y in (np.array([1, 3, 5, 7]), np.array([1, 3, 5, 7], ">u2"), np.array([[1, 3], [5, 7]])):
        fast, slow = KestrixSolver(0.25, 40), KestrixSolver(0.25, 40)
        fast.fit(x, y)
        slow.fit(x, y.ravel().tolist())
        assert bits_of(fast.predict(x)) == bits_of(slow.predict(x))
    grid = np.arange(12, dtype=np.int16).reshape(3, 4).T
    assert bits_of([run_heavy_logic(grid, 2)]) == bits_of([run_heavy_logic(grid.ravel().tolist(), 2)])


class Delegate:
    """The sequence protocol of another object, which only the sequence path reads."""

    def __init__(self, o):
        self.o = o

    def __len__(self):
        return len(self.o)

    def __iter__(self):
        return iter(self.o)

    def __getitem__(self, i):
        return self.o[i]


KEPT = {
    "complex 2-d": lambda: np.ones((2, 2), complex),
    "datetime": lambda: np.array(["2026-12-09", "2026-12-10"], "M8[D]"),
    "timedelta": lambda: np.array([1, 2], "m8[s]"),
    "datetime 2-d": lambda: np.array([["2026-12-09"], ["2026-12-10"]], "M8[D]"),
    "structured": lambda: np.zeros(2, [("a", "<i4"), ("b", "<f8")]),
    "object 2-d": lambda: np.array([[1, None], [2, 3]], object),
    "longdouble": lambda: np.ones(2, np.longdouble),
    "bytes": lambda: np.array([b"a", b"b"]),
}


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name", sorted(KEPT))
def test_other_kinds_keep_the_sequence_paths_outcome(name):
    def outcome(data):
        try:
            return "ok", KestrixMatrix(data, 2, 1).to_list()
        except Exception as e:
            return type(e), str(e)
    assert outcome(KEPT[name]()) == outcome(Delegate(KEPT[name]()))
