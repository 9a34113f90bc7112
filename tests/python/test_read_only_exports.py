"""No export lets a consumer change a matrix: every route that shares its
memory says read-only, and the one that cannot say so (the plain DLPack
capsule) hands out a copy."""
import copy
import ctypes
import pickle

import numpy as np
import pytest

from conftest import SANITIZED
from dlpack_structs import Managed, ManagedVersioned, api, capsule_name
from kestrix import KestrixMatrix

VALUES = [0.5 * k - 1.0 for k in range(12)]


def fresh():
    m = KestrixMatrix(VALUES, 3, 4)
    return m, copy.copy(m), copy.deepcopy(m), pickle.loads(pickle.dumps(m))


def tensor_memory(capsule):
    name = capsule_name(capsule)
    kind = ManagedVersioned if name == "dltensor_versioned" else Managed
    managed = kind.from_address(api.PyCapsule_GetPointer(capsule, name.encode()))
    return managed, (ctypes.c_float * 12).from_address(managed.tensor.data)


def write_through_numpy_view(m):
    v = np.asarray(m)
    with pytest.raises(ValueError, match="read-only"):
        v[0, 0] = 7.0
    with pytest.raises(ValueError):
        v.setflags(write=True)


def write_through_plain_capsule(m):
    # A consumer of the plain capsule assumes it may write, and does.
    capsule = m.__dlpack__()
    managed, memory = tensor_memory(capsule)
    assert list(memory) == VALUES
    for i in range(12):
        memory[i] = 99.0


def write_through_versioned_capsule(m):
    capsule = m.__dlpack__(max_version=(1, 0))
    managed, memory = tensor_memory(capsule)
    # The memory is the matrix's own: the flag is all that keeps a consumer out.
    assert managed.flags & 1 and managed.tensor.data == np.asarray(m).ctypes.data


def write_through_copied_capsule(m):
    capsule = m.__dlpack__(max_version=(1, 0), copy=True)
    managed, memory = tensor_memory(capsule)
    assert not managed.flags & 1
    memory[0] = 99.0


def write_through_pickle_buffer(m):
    buffers = []
    pickle.dumps(m, protocol=5, buffer_callback=buffers.append)
    (buffer,) = buffers
    assert buffer.raw().readonly
    with pytest.raises(TypeError):
        buffer.raw()[0] = 1
    a = np.frombuffer(buffer, np.float32)
    assert not a.flags.writeable
    with pytest.raises(ValueError):
        a.setflags(write=True)


def write_through_numpy_from_dlpack(m):
    a = np.from_dlpack(m)
    if a.flags.writeable:
        a[...] = 99.0
    else:
        with pytest.raises(ValueError):
            a[0, 0] = 99.0


def write_through_torch(m):
    if SANITIZED:
        pytest.skip("torch under a sanitizer runtime")
    torch = pytest.importorskip("torch")
    t = torch.from_dlpack(m)
    t.mul_(10)
    assert t.flatten().tolist() == [10 * v for v in VALUES]


ROUTES = {f.__name__.removeprefix("write_through_"): f for f in (
    write_through_numpy_view, write_through_plain_capsule, write_through_versioned_capsule,
    write_through_copied_capsule, write_through_pickle_buffer, write_through_numpy_from_dlpack,
    write_through_torch)}


@pytest.mark.parametrize("route", sorted(ROUTES))
def test_no_write_reaches_a_matrix_or_its_copies(route):
    matrices = fresh()
    ROUTES[route](matrices[0])
    for m in matrices:
        assert m.to_list() == VALUES and np.asarray(m).tolist() == np.reshape(VALUES, (3, 4)).tolist()
