"""Float arrays and buffers read from memory give, value by value and bit by
bit, what the sequence path gives for the same elements; everything else still
takes the sequence path, with its errors and calls."""
import array
import struct

import numpy as np
import pytest

from conftest import assert_flat, outcome
from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic


def f32_from_bits(*words):
    return np.array(words, dtype=np.uint32).view(np.float32)


def f64_from_bits(*words):
    return np.array(words, dtype=np.uint64).view(np.float64)


# Zeros, the smallest and largest normals and subnormals, infinities, quiet
# and signalling NaNs of both signs with payloads.
SPECIAL_F32 = f32_from_bits(
    0x00000000, 0x80000000, 0x00000001, 0x807fffff, 0x00800000, 0x7f7fffff, 0xff7fffff,
    0x7f800000, 0xff800000, 0x7fc00000, 0xffc00001, 0x7fffffff, 0x7f800001, 0xff800001,
    0x7fa5a5a5, 0x7fbfffff, 0x3f800000, 0x3dcccccd)
# The same, plus values that narrowing rounds: ties to even, the edges of
# the float32 range and of overflow to infinity, float64 subnormals.
with np.errstate(invalid="ignore"):
    WIDENED = SPECIAL_F32.astype(np.float64)
SPECIAL_F64 = np.concatenate([WIDENED, f64_from_bits(
    0x7ff0000000000001, 0xfff0000000000001, 0x7ff4000000000000, 0x7ff8000000000001,
    0xfff800000000dead, 0x7ff7ffffe0000000, 0x0000000000000001, 0x8000000000000001,
    0x3ff0000010000000, 0x3ff0000030000000, 0x3ff0000010000001, 0x47efffffe0000000,
    0x47efffffdfffffff, 0x47efffffefffffff, 0x7fefffffffffffff, 0x36a0000000000000,
    0x3690000000000001, 0x3fb999999999999a), np.array([0.1, 1e300, -1e300, 3.0])])


def bits_of(values):
    """The exact bits of every float a call returned."""
    return [struct.pack("<d", v) for v in values]


def stored(data):
    """What a matrix built from data holds, as exact bits."""
    if isinstance(data, memoryview):
        count = data.nbytes // data.itemsize
    else:
        count = data.size if hasattr(data, "size") else len(data)
    m = KestrixMatrix(data, count, 1)
    return bits_of(m.to_list())


def through_sequences(a):
    """The elements of a as the sequence path meets them: numpy scalars."""
    return list(np.asarray(a).ravel())


@pytest.mark.parametrize("values", [SPECIAL_F32, SPECIAL_F64], ids=["float32", "float64"])
def test_special_values_match_the_sequence_path_bit_for_bit(values):
    assert stored(values) == stored(through_sequences(values))
    # And what both should give: float32 kept but signalling NaNs quieted
    # with their payload, float64 narrowed by the processor's own conversion.
    if values.dtype == np.float32:
        w = values.view(np.uint32)
        expected = np.where((w & 0x7FFFFFFF) > 0x7F800000, w | 0x00400000, w).view(np.float32)
    else:
        with np.errstate(invalid="ignore", over="ignore"):
            expected = values.astype(np.float32)
    assert stored(values) == bits_of([float(x) for x in expected])


@pytest.mark.parametrize("values", [SPECIAL_F32, SPECIAL_F64], ids=["float32", "float64"])
@pytest.mark.parametrize("wrap", ["array", "memoryview"])
def test_buffers_match_their_own_sequence_path(values, wrap):
    code = "f" if values.dtype == np.float32 else "d"
    buf = array.array(code, values.tobytes())
    data = buf if wrap == "array" else memoryview(buf)
    assert stored(data) == stored(list(data))


def views(a):
    """Views of a 3-D array in every layout: strided, reversed, transposed,
    Fortran order, broadcast, unaligned, and the degenerate shapes."""
    unaligned = np.frombuffer(b"\0" + a.tobytes(), dtype=a.dtype, offset=1).reshape(a.shape)
    return {
        "contiguous": a,
        "every other": a[:, ::2, :],
        "reversed": a[::-1, :, ::-1],
        "transposed": a.transpose(2, 0, 1),
        "fortran": np.asfortranarray(a),
        "inner strided": a[..., 1::2],
        "broadcast": np.broadcast_to(a[:1, :1, :], (3, 4, a.shape[2])),
        "unaligned": unaligned,
        "unaligned transposed": unaligned.T,
        "one row": a[1:2, 2:3, :],
        "one element": a[1, 2, 3:4],
        "empty": a[:, :0, :],
        "1-d": a.ravel()[3:40:3],
        "2-d": a[1],
        "4-d": a.reshape(3, 5, 2, 3)[:, ::2, :, ::-1],
    }


LAYOUTS = sorted(views(np.zeros((3, 5, 6), np.float32)))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_arrays_read_in_ravel_order_in_every_layout(dtype, layout):
    rng = np.random.default_rng(5)
    base = rng.standard_normal(90).astype(dtype)
    specials = SPECIAL_F32 if dtype == np.float32 else SPECIAL_F64
    base[::7] = specials[: len(base[::7])]
    a = views(base.reshape(3, 5, 6))[layout]
    if a.ndim == 0:
        a = np.asarray(a)
    assert stored(a) == stored(through_sequences(a))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_memoryviews_of_arrays_read_in_row_major_order(dtype):
    a = np.arange(60, dtype=dtype).reshape(3, 4, 5)[:, ::-2, 1:]
    view = memoryview(a)
    assert view.ndim == 3 and not view.c_contiguous
    assert stored(view) == stored(through_sequences(a))
    assert stored(memoryview(a.tobytes()).cast("f" if dtype == np.float32 else "d")) == \
        stored(through_sequences(a))


def test_two_dimensional_arrays_build_matrices_of_their_shape():
    a = np.arange(12, dtype=np.float64).reshape(3, 4) / 3
    m = KestrixMatrix(a, *a.shape)
    assert m.shape() == (3, 4)
    assert m.to_list() == [float(np.float32(x)) for x in a.ravel()]
    assert KestrixMatrix(a.T, *a.T.shape).to_list() == [float(np.float32(x)) for x in a.T.ravel()]
    assert KestrixMatrix(memoryview(a.astype(np.float32)), 4, 3).shape() == (4, 3)


def test_fit_targets_and_stress_data_take_the_same_path():
    x = KestrixMatrix([0.0, 1.0, 2.0, 3.0], 4, 1)
    for y in (np.array([1.0, 3.0, 5.0, 7.0]), np.array([1, 3, 5, 7], np.float32)[::-1][::-1],
              array.array("f", [1.0, 3.0, 5.0, 7.0])):
        fast, slow = KestrixSolver(0.25, 50), KestrixSolver(0.25, 50)
        fast.fit(x, y)
        slow.fit(X=x, y=[float(v) for v in y])
        assert bits_of(fast.predict(x)) == bits_of(slow.predict(x))
    data = np.array([[0.5, -1.25], [2.0, 4.0]], np.float32)
    assert run_heavy_logic(data, 0) == 5.25
    assert bits_of([run_heavy_logic(data.T, 2)]) == bits_of([run_heavy_logic([0.5, 2.0, -1.25, 4.0], 2)])


def test_the_source_is_left_as_it_was():
    a = SPECIAL_F32.copy()
    before = a.tobytes()
    KestrixMatrix(a, a.size, 1)
    assert a.tobytes() == before


class Recording(np.ndarray):
    """An ndarray subclass that logs the sequence protocol's calls."""
    calls: list = []

    def __len__(self):
        Recording.calls.append("__len__")
        return super().__len__()

    def __iter__(self):
        Recording.calls.append("__iter__")
        return super().__iter__()


class Imitation:
    """A sequence that also claims an array interface; only the sequence counts."""

    def __init__(self, values):
        self.values = values

    @property
    def __array_interface__(self):
        raise AssertionError("the interface of a foreign class was read")

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


def test_subclasses_and_imitations_take_the_sequence_path():
    Recording.calls.clear()
    a = np.arange(4, dtype=np.float32).view(Recording)
    assert KestrixMatrix(a, 2, 2).to_list() == [0.0, 1.0, 2.0, 3.0]
    assert Recording.calls == ["__len__", "__iter__"]
    assert KestrixMatrix(Imitation([1.0, 2.0]), 1, 2).to_list() == [1.0, 2.0]


def test_a_class_named_like_the_native_types_is_not_trusted():
    fake = type("ndarray", (Imitation,), {"__module__": "numpy"})([3.0])
    fake_array = type("array", (Imitation,), {"__module__": "array"})([4.0])
    assert KestrixMatrix(fake, 1, 1).to_list() == [3.0]
    assert KestrixMatrix(fake_array, 1, 1).to_list() == [4.0]


class Delegate:
    """The sequence protocol of another object, in a class of its own, which
    only the sequence path can read."""

    def __init__(self, o):
        self.o = o

    def __len__(self):
        return len(self.o)

    def __getitem__(self, i):
        return self.o[i]

    def __iter__(self):
        return iter(self.o)


OTHERS = {
    "int32": lambda: np.array([1, 2, 3], np.int32),
    "float16": lambda: np.array([1.5, 2.5, 3.5], np.float16),
    "big-endian f4": lambda: np.array([1.5, np.nan, 3.5], ">f4"),
    "big-endian f8": lambda: np.array([1.5, 1e300, 3.5], ">f8"),
    "object None": lambda: np.array([1.5, None, 3.5], object),
    "object str": lambda: np.array([1.5, "x", 3.5], object),
    "object rows": lambda: np.array([[1.0], [2.0], [3.0]], object),
    "complex": lambda: np.array([1 + 2j, 3, 4]),
    "structured": lambda: np.array([(1.0,), (2.0,), (3.0,)], [("v", "<f4")]),
    "longdouble": lambda: np.arange(3.0).astype(np.longdouble),
    "masked": lambda: np.ma.masked_array([1.0, 2.0, 3.0], [0, 1, 0]),
    "matrix": lambda: np.matrix([[1.0, 2.0, 3.0]], np.float32),
    "array i": lambda: array.array("i", [1, 2, 3]),
    "bytes view": lambda: memoryview(b"\x01\x02\x03"),
    "short view": lambda: memoryview(array.array("h", [1, 2, 3])),
    "big-endian view": lambda: memoryview(np.array([1.0, 2.0, 3.0], ">f4")),
}


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name", sorted(OTHERS))
def test_everything_else_gives_what_the_sequence_path_gives(name):
    make = OTHERS[name]
    assert outcome(lambda: KestrixMatrix(make(), 3, 1), exact=True) == \
        outcome(lambda: KestrixMatrix(Delegate(make()), 3, 1), exact=True)


def test_a_zero_dimensional_array_holds_one_element():
    assert KestrixMatrix(np.array(2.5, np.float32), 1, 1).to_list() == [2.5]
    assert KestrixMatrix(np.array(0.1), 1, 1).to_list() == [float(np.float32(0.1))]
    # A numpy scalar is no array: it stays a non-sequence.
    with pytest.raises(TypeError, match="'float32' object cannot be converted to 'Sequence'"):
        KestrixMatrix(np.float32(1.0), 1, 1)


def test_nested_lists_and_released_views_keep_their_errors():
    with pytest.raises(TypeError, match=r"^argument 'data': must be real number, not list$"):
        KestrixMatrix([[1.0, 2.0]], 1, 2)
    view = memoryview(array.array("f", [1.0]))
    view.release()
    with pytest.raises(ValueError, match="released memoryview"):
        KestrixMatrix(view, 1, 1)
    with pytest.raises(TypeError, match=r"^argument 'y': must be real number, not list$"):
        rows = np.empty(1, object)
        rows[0] = [1.0]
        KestrixSolver(0.1, 1).fit(KestrixMatrix([1.0], 1, 1), rows)


def test_a_length_mismatch_is_still_the_internal_failure(capfd):
    from conftest import panic_of
    err = panic_of(lambda: KestrixMatrix(np.zeros((2, 3), np.float32), 3, 3))
    assert err.args == ("Data length does not match rows * cols",)
    capfd.readouterr()


@pytest.mark.parametrize("source", [
    np.arange(64, dtype=np.float32).reshape(8, 8),
    np.arange(64, dtype=np.float64).reshape(8, 8).T,
    memoryview(np.arange(64, dtype=np.float32).reshape(8, 8)[::-1]),
    array.array("d", range(64)),
], ids=["float32", "float64 transposed", "memoryview", "array"])
def test_conversions_keep_references_and_memory_flat(source):
    assert_flat(lambda: KestrixMatrix(source, 8, 8), (source,))
    # An export still held would refuse to let the array grow.
    if isinstance(source, array.array):
        source.append(1.0)
        source.pop()
