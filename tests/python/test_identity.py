"""What tools see of the module and its objects: classes found by name (so
pickle, cloudpickle and every process pool send them by reference), a repr
with the shape, sizes that count the elements, Dask tokens that depend on
the shape and bits only, and the release."""
import pickle
import struct
import sys
import tomllib

import pytest

import kestrix
from conftest import ROOT, SANITIZED
from kestrix import KestrixMatrix, KestrixSolver

# Pickles written by the build before the classes moved to the module
# "kestrix" (protocols 2 and 5): KestrixMatrix([1.5, -0.0, inf, 3.0, 0.25,
# -2.0], 2, 3) and KestrixSolver(0.25, 40) fitted to y = 2x + 1 on x = 0..3.
OLD = {
    2: (
        "8002636b6573747269780a5f6d61747269785f66726f6d5f73746174650a71007d7101285807000000766572"
        "73696f6e71024b015804000000726f777371034b025804000000636f6c7371044b0358040000006461746171"
        "05635f636f646563730a656e636f64650a7106581d0000000000c3803f000000c2800000c2807f0000404000"
        "00c2803e000000c380710758060000006c6174696e31710886710952710a7585710b52710c2e",
        "8002636b6573747269780a5f736f6c7665725f66726f6d5f73746174650a71007d7101285807000000766572"
        "73696f6e71024b0158020000006c727103635f636f646563730a656e636f64650a710458050000000000c280"
        "3e710558060000006c6174696e3171068671075271085805000000697465727371094b285807000000776569"
        "67687473710a6804580400000019120040710b680686710c52710d580400000062696173710e680458040000"
        "006f657f3f710f6806867110527111758571125271132e"),
    5: (
        "8005956a000000000000008c076b657374726978948c125f6d61747269785f66726f6d5f7374617465949394"
        "7d94288c0776657273696f6e944b018c04726f7773944b028c04636f6c73944b038c04646174619443180000"
        "c03f000000800000807f000040400000803e000000c09475859452942e",
        "8005956b000000000000008c076b657374726978948c125f736f6c7665725f66726f6d5f7374617465949394"
        "7d94288c0776657273696f6e944b018c026c729443040000803e948c056974657273944b288c077765696768"
        "747394430419120040948c04626961739443046f657f3f9475859452942e"),
}


def trained():
    s = KestrixSolver(0.25, 40)
    s.fit(KestrixMatrix([0.0, 1.0, 2.0, 3.0], 4, 1), [1.0, 3.0, 5.0, 7.0])
    return s


def test_classes_are_found_by_name():
    for cls in (KestrixMatrix, KestrixSolver):
        assert cls.__module__ == "kestrix" and getattr(kestrix, cls.__qualname__) is cls
        assert pickle.loads(pickle.dumps(cls)) is cls
    for method in (KestrixMatrix.transpose, KestrixMatrix.matmul, KestrixSolver.predict):
        assert pickle.loads(pickle.dumps(method)) is method
    m = KestrixMatrix([1.0, 2.0], 1, 2)
    assert pickle.loads(pickle.dumps(m.transpose))().to_list() == [1.0, 2.0]


def test_cloudpickle_sends_the_classes_by_reference():
    cloudpickle = pytest.importorskip("cloudpickle")
    for obj in (KestrixMatrix, KestrixSolver, KestrixMatrix.matmul):
        data = cloudpickle.dumps(obj)
        assert b"kestrix" in data and len(data) < 200, len(data)
        assert pickle.loads(data) is obj


@pytest.mark.parametrize("protocol", [2, 5])
def test_pickles_of_the_previous_build_still_load(protocol):
    matrix_hex, solver_hex = OLD[protocol]
    m = pickle.loads(bytes.fromhex(matrix_hex))
    assert m.shape() == (2, 3)
    assert m.to_list() == [1.5, -0.0, float("inf"), 3.0, 0.25, -2.0]
    s = pickle.loads(bytes.fromhex(solver_hex))
    assert s.__getstate__() == trained().__getstate__()


def test_version_is_the_packages():
    with open(ROOT / "pyproject.toml", "rb") as f:
        assert kestrix.__version__ == tomllib.load(f)["project"]["version"]
    assert kestrix.__doc__ == ""
    assert kestrix.__all__ == ["KestrixMatrix", "KestrixSolver", "run_heavy_logic"]


@pytest.mark.parametrize("obj, text", [
    (KestrixMatrix([1.0] * 6, 2, 3), "<kestrix.KestrixMatrix shape=(2, 3)>"),
    (KestrixMatrix([], 2**64 - 1, 0), f"<kestrix.KestrixMatrix shape=({2**64 - 1}, 0)>"),
    (KestrixSolver(0.25, 200), "<kestrix.KestrixSolver lr=0.25 iters=200 untrained>"),
    (KestrixSolver(0.1, 0), "<kestrix.KestrixSolver lr=0.10000000149011612 iters=0 untrained>"),
    (trained(), "<kestrix.KestrixSolver lr=0.25 iters=40 trained>"),
])
def test_repr_shows_class_and_shape(obj, text):
    assert repr(obj) == str(obj) == text


def test_sizes_count_the_elements():
    small, big = KestrixMatrix([0.0], 1, 1), KestrixMatrix([0.0] * 60000, 200, 300)
    assert sys.getsizeof(big) - sys.getsizeof(small) == 4 * (60000 - 1)
    assert sys.getsizeof(big) >= 240000
    s = trained()
    assert sys.getsizeof(s) - sys.getsizeof(KestrixSolver(0.1, 1)) == 4


def words(*values):
    return [struct.unpack("<f", struct.pack("<I", w))[0] for w in values]


@pytest.mark.parametrize("a, b, same", [
    (([1.0, 2.0], 1, 2), ([1.0, 2.0], 1, 2), True),
    (([1.0, 2.0], 1, 2), ([1.0, 2.0], 2, 1), False),
    (([], 0, 3), ([], 3, 0), False),
    (([0.0], 1, 1), ([-0.0], 1, 1), False),
    ((words(0x7FC00001), 1, 1), (words(0x7FC00002), 1, 1), False),
    ((words(0x7FC00001), 1, 1), (words(0x7FC00001), 1, 1), True),
    (([1.0, 2.0], 1, 2), ([1.0, 2.0000002], 1, 2), False),
])
def test_tokens_depend_on_shape_and_bits_only(a, b, same):
    ta, tb = KestrixMatrix(*a).__dask_tokenize__(), KestrixMatrix(*b).__dask_tokenize__()
    assert (ta == tb) == same
    assert ta == KestrixMatrix(*a).__dask_tokenize__()


@pytest.mark.skipif(SANITIZED, reason="Dask under a sanitizer runtime")
def test_dask_sizes_and_tokens():
    dask = pytest.importorskip("dask")
    from dask.sizeof import sizeof
    m = KestrixMatrix([0.5] * 60000, 200, 300)
    assert sizeof(m) >= 240000
    assert dask.base.tokenize(m) == dask.base.tokenize(KestrixMatrix([0.5] * 60000, 200, 300))
    assert dask.base.tokenize(m) != dask.base.tokenize(m.add(1.0))


def test_the_module_imports_none_of_its_test_dependencies(run_child):
    code = ("import sys, kestrix, pickle, copy\n"
            "m = kestrix.KestrixMatrix([1.0, 2.0], 1, 2)\n"
            "s = kestrix.KestrixSolver(0.1, 2); s.fit(m, [1.0])\n"
            "m.__dask_tokenize__(); sys.getsizeof(m); repr(m); repr(s)\n"
            "pickle.loads(pickle.dumps((m, s, kestrix.KestrixMatrix), 5)); m.__dlpack__()\n"
            "print(sorted(n for n in ('numpy', 'torch', 'dask', 'distributed', 'joblib', 'sklearn',"
            " 'cloudpickle') if n in sys.modules))\n")
    assert run_child(code).stdout.split() == ["[]"]
