"""Matrices handed to numpy and other DLPack consumers without a copy: read-only
views that keep their matrix alive, and capsules released exactly once from
any thread."""
import ctypes
import gc
import sys
import threading

import numpy as np
import pytest

from conftest import assert_flat
from dlpack_structs import Managed, ManagedVersioned, api, capsule_name
from kestrix import KestrixMatrix

USED_NAMES = {"dltensor": b"used_dltensor", "dltensor_versioned": b"used_dltensor_versioned"}


def managed_of(capsule):
    name = capsule_name(capsule)
    kind = ManagedVersioned if name == "dltensor_versioned" else Managed
    return kind.from_address(api.PyCapsule_GetPointer(capsule, name.encode()))


def interface_address(m):
    return m.__array_interface__["data"][0]


def matrix(rows=3, cols=4):
    return KestrixMatrix([0.5 * k - 1.0 for k in range(rows * cols)], rows, cols)


def test_array_interface_describes_the_buffer_itself():
    m = matrix()
    iface = m.__array_interface__
    assert iface == {"version": 3, "typestr": "<f4", "shape": (3, 4),
                     "data": (interface_address(m), True), "strides": None}
    assert interface_address(m) % 64 == 0 and interface_address(m) == interface_address(m)


@pytest.mark.parametrize("rows, cols", [(0, 0), (3, 0), (0, 3), (1, 1), (2, 3), (17, 5),
                                        (2**40, 0)])
def test_asarray_is_a_read_only_view_of_any_shape(rows, cols):
    m = KestrixMatrix([float(k) for k in range(rows * cols)], rows, cols)
    v = np.asarray(m)
    assert v.dtype == np.float32 and v.shape == (rows, cols) and v.base is m
    assert v.ravel().tolist() == m.to_list()
    assert not v.flags.writeable
    if v.size:
        assert v.ctypes.data == interface_address(m)


def test_writing_to_a_view_fails():
    m = matrix()
    before = m.to_list()
    for v in (np.asarray(m), np.from_dlpack(m)):
        with pytest.raises(ValueError, match="read-only"):
            v[0, 0] = 7.0
        with pytest.raises(ValueError):
            v.flags.writeable = True
        with pytest.raises(ValueError, match="read-only"):
            np.add(v, 1, out=v)
    assert m.to_list() == before


@pytest.mark.parametrize("export", [np.asarray, np.from_dlpack, lambda m: np.asarray(m)[1:, ::2]])
def test_a_view_outlives_its_matrix(export):
    values = [float(k) for k in range(64 * 64)]
    view = export(KestrixMatrix(values, 64, 64))
    gc.collect()
    # New buffers of the same size would take the old one's place if it had been freed.
    churn = [KestrixMatrix(values[::-1], 64, 64).add(1.0) for _ in range(8)]
    expected = np.array(values, np.float32).reshape(64, 64)
    if view.shape != (64, 64):
        expected = expected[1:, ::2]
    assert np.array_equal(view, expected)
    del churn


def test_round_trip_through_numpy_keeps_every_bit():
    rng = np.random.default_rng(3)
    words = rng.integers(0, 2**32, size=(37, 23), dtype=np.uint64).astype(np.uint32)
    a = words.view(np.float32)
    back = np.asarray(KestrixMatrix(a, *a.shape)).view(np.uint32)
    nan = (words & 0x7FFFFFFF) > 0x7F800000
    # Signalling NaNs come back quiet, as through a Python float; nothing else changes.
    assert np.array_equal(back, np.where(nan, words | 0x00400000, words))


def test_products_between_numpy_inputs_and_outputs():
    a = np.arange(12, dtype=np.float32).reshape(3, 4)
    b = np.arange(8, dtype=np.float64).reshape(4, 2)
    c = np.asarray(KestrixMatrix(a, *a.shape).matmul(KestrixMatrix(b, *b.shape)))
    assert c.tolist() == (a @ b.astype(np.float32)).tolist()


# Only the versioned capsule can say read-only, so only it shares the memory.
@pytest.mark.parametrize("kwargs, name, version", [
    ({}, "dltensor", None),
    ({"max_version": None, "stream": None, "dl_device": None, "copy": None}, "dltensor", None),
    ({"max_version": (0, 8)}, "dltensor", None),
    ({"max_version": (1, 0)}, "dltensor_versioned", (1, 0)),
    ({"max_version": (2, 3), "dl_device": (1, 0), "copy": False}, "dltensor_versioned", (1, 0)),
])
def test_dlpack_capsules(kwargs, name, version):
    m = matrix(3, 5)
    capsule = m.__dlpack__(**kwargs)
    assert capsule_name(capsule) == name
    managed = managed_of(capsule)
    t = managed.tensor
    shared = version is not None
    assert (t.data == interface_address(m)) == shared
    assert list((ctypes.c_float * 15).from_address(t.data)) == m.to_list()
    assert (t.device_type, t.device_id, t.ndim) == (1, 0, 2)
    assert (t.code, t.bits, t.lanes, t.byte_offset) == (2, 32, 1, 0)
    assert (t.shape[0], t.shape[1], t.strides[0], t.strides[1]) == (3, 5, 5, 1)
    if version:
        assert (managed.major, managed.minor, managed.flags) == (*version, 1)  # read-only
    assert m.__dlpack_device__() == (1, 0)


def test_dlpack_copy_is_a_writable_matrix_of_its_own():
    m = matrix(2, 2)
    refs = sys.getrefcount(m)
    capsule = m.__dlpack__(max_version=(1, 0), copy=True)
    managed = managed_of(capsule)
    assert managed.flags == 2  # copied, not read-only
    assert managed.tensor.data != interface_address(m)
    assert sys.getrefcount(m) == refs
    copy = (ctypes.c_float * 4).from_address(managed.tensor.data)
    assert list(copy) == m.to_list()


@pytest.mark.parametrize("call, kind, text", [
    (lambda m: m.__dlpack__(None), TypeError,
     "KestrixMatrix.__dlpack__() takes 0 positional arguments but 1 was given"),
    (lambda m: m.__dlpack__(device=(1, 0)), TypeError,
     "KestrixMatrix.__dlpack__() got an unexpected keyword argument 'device'"),
    (lambda m: m.__dlpack__(stream=0), BufferError, "stream must be None for data on the CPU"),
    (lambda m: m.__dlpack__(dl_device=(2, 0)), BufferError,
     "a KestrixMatrix can only be exported to the CPU, device (1, 0)"),
    (lambda m: m.__dlpack__(max_version=1), TypeError,
     "max_version must be None or a tuple of two ints"),
    (lambda m: m.__dlpack__(dl_device=[1, 0]), TypeError,
     "dl_device must be None or a tuple of two ints"),
    (lambda m: m.__dlpack__(copy=1), TypeError, "copy must be None, True or False"),
    (lambda m: m.__dlpack__(copy=False), BufferError,
     "a KestrixMatrix shares its memory only read-only, through a versioned capsule: ask for "
     "max_version (1, 0) or later, or allow a copy"),
    (lambda m: KestrixMatrix([], 2**63, 0).__dlpack__(), BufferError,
     "the matrix's shape does not fit DLPack's signed 64-bit dimensions"),
])
def test_dlpack_refusals(call, kind, text):
    m = matrix()
    refs = sys.getrefcount(m)
    with pytest.raises(kind) as info:
        call(m)
    assert type(info.value) is kind and str(info.value) == text
    del info  # its traceback holds the frame that holds m
    assert sys.getrefcount(m) == refs


def owner_of(capsule):
    """The matrix that owns a capsule's memory (a new reference)."""
    return ctypes.cast(managed_of(capsule).ctx, ctypes.py_object).value


def test_an_unused_capsule_releases_its_matrix_when_collected():
    m = matrix()
    refs = sys.getrefcount(m)
    capsules = [m.__dlpack__(), m.__dlpack__(max_version=(1, 0))]
    # The plain capsule owns a copy of its own.
    copy = owner_of(capsules[0])
    assert copy is not m and copy.to_list() == m.to_list()
    copy_refs = sys.getrefcount(copy)
    assert sys.getrefcount(m) == refs + 1
    del capsules
    assert sys.getrefcount(m) == refs and sys.getrefcount(copy) == copy_refs - 1


def call_holding_the_lock(deleter, pointer):
    ctypes.PYFUNCTYPE(None, ctypes.c_void_p)(deleter)(pointer)


def call_on_a_python_thread(deleter, pointer):
    # A ctypes call of a C function type releases the interpreter lock.
    t = threading.Thread(target=ctypes.CFUNCTYPE(None, ctypes.c_void_p)(deleter), args=(pointer,))
    t.start()
    t.join()


def call_on_a_native_thread(deleter, pointer):
    # A thread the interpreter has never seen, started and joined by the C library.
    libc = ctypes.CDLL(None)
    thread = ctypes.c_ulong()
    assert libc.pthread_create(ctypes.byref(thread), None, ctypes.c_void_p(deleter),
                               ctypes.c_void_p(pointer)) == 0
    assert libc.pthread_join(thread, None) == 0


@pytest.mark.parametrize("versioned", [False, True])
@pytest.mark.parametrize("call_deleter", [call_holding_the_lock, call_on_a_python_thread,
                                          call_on_a_native_thread])
def test_a_consumer_releases_the_matrix_exactly_once_from_any_thread(versioned, call_deleter):
    m = matrix()
    refs = sys.getrefcount(m)
    capsule = m.__dlpack__(max_version=(1, 0) if versioned else None)
    name = capsule_name(capsule)
    pointer = api.PyCapsule_GetPointer(capsule, name.encode())
    managed = managed_of(capsule)
    owner = owner_of(capsule)
    assert (owner is m) == versioned
    owner_refs = sys.getrefcount(owner)
    # What a consumer does: rename, then call the deleter when done. The
    # capsule keeps the name's address, so the name must outlive it.
    assert api.PyCapsule_SetName(capsule, USED_NAMES[name]) == 0
    call_deleter(managed.deleter, pointer)
    assert sys.getrefcount(owner) == owner_refs - 1
    del capsule, managed, owner
    gc.collect()
    assert sys.getrefcount(m) == refs
    assert m.to_list()[:3] == [-1.0, -0.5, 0.0]


def test_numpy_takes_the_capsule_and_releases_it_with_its_array():
    m = matrix()
    refs = sys.getrefcount(m)
    # numpy 1.24 asks for the plain capsule, which holds a copy.
    a = np.from_dlpack(m)
    assert a.ctypes.data != interface_address(m) and a.tolist() == np.asarray(m).tolist()
    del a
    assert sys.getrefcount(m) == refs


EXPORTS = {
    "asarray": np.asarray,
    "interface": lambda m: m.__array_interface__,
    "from_dlpack": np.from_dlpack,
    "unused capsule": lambda m: m.__dlpack__(),
    "unused versioned capsule": lambda m: m.__dlpack__(max_version=(1, 0)),
    "copied capsule": lambda m: m.__dlpack__(max_version=(1, 0), copy=True),
    "device": lambda m: m.__dlpack_device__(),
    "refused": lambda m: pytest.raises(BufferError, m.__dlpack__, stream=1),
    "numpy in": lambda m: KestrixMatrix(np.asarray(m).T, 64, 32),
}


@pytest.mark.parametrize("name", sorted(EXPORTS))
def test_many_exports_keep_references_and_memory_flat(name):
    export = EXPORTS[name]
    m = matrix(32, 64)
    # A lost 8 KiB matrix per export would be 80 MiB a round here.
    assert_flat(lambda: export(m), (m, KestrixMatrix, np.ndarray))
