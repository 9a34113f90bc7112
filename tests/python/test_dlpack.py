"""DLPack producers as data: torch tensors of every real dtype and any
strides read with the bits of their flat list; producers on other devices
and capsules that do not describe readable memory refused, their tensor
left to them. The fuzz below runs under AddressSanitizer too."""
import random
import struct

import numpy as np
import pytest

from conftest import SANITIZED, assert_flat
from dlpack_structs import Producer, capsule_name
from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic

# torch keeps objects from its import until the process ends, which a
# sanitizer's leak check would blame on the run; the plain run covers torch,
# the fuzz below runs under both.
torch = None if SANITIZED else pytest.importorskip("torch")
needs_torch = pytest.mark.skipif(torch is None, reason="torch under a sanitizer runtime")


def bits_of(values):
    return [struct.pack("<d", v) for v in values]


def stored(data, count):
    return bits_of(KestrixMatrix(data, count, 1).to_list())


TORCH_DTYPES = ["int8", "uint8", "int16", "int32", "int64", "float16", "bfloat16", "float32",
                "float64"]
LAYOUTS = ["0-d", "3-d", "empty", "expanded", "flat", "flipped", "strided", "transposed"]


def torch_layouts(t):
    grid = t.reshape(3, 4, 5)
    return {
        "flat": t,
        "3-d": grid,
        "strided": grid[:, ::2, 1::2],
        "transposed": grid.permute(2, 0, 1),
        "flipped": grid.flip(0),  # a copy in torch, but another layout all the same
        "expanded": grid[:1, :1, :].expand(2, 3, 5),
        "0-d": t[7],
        "empty": grid[:, :0],
    }


def special_tensor(dtype):
    if dtype.is_floating_point:
        base = torch.tensor([0.0, -0.0, float("inf"), -float("inf"), float("nan"), 1e-8, 65504.0,
                             1e38, -3.5, 0.1], dtype=torch.float64).to(dtype)
    else:
        info = torch.iinfo(dtype)
        base = torch.tensor([info.min, info.max, 0, 1, info.max - 1], dtype=dtype)
    filler = (torch.arange(60) * 37 % 101 - 50).abs().to(dtype)
    filler[: len(base)] = base
    return filler


@needs_torch
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", TORCH_DTYPES)
def test_torch_tensors_read_as_their_flat_list(dtype, layout):
    t = torch_layouts(special_tensor(getattr(torch, dtype)))[layout]
    assert stored(t, t.numel()) == stored(t.flatten().tolist(), t.numel())


@needs_torch
def test_large_integers_round_as_python_ints_do():
    t = torch.tensor([2**62 + 2**38 + 1, 2**53 + 1, -(2**63)], dtype=torch.int64)
    assert KestrixMatrix(t, 3, 1).to_list() == KestrixMatrix(t.tolist(), 3, 1).to_list()
    assert KestrixMatrix(t, 3, 1).to_list()[0] == 2.0**62


@needs_torch
def test_fit_and_stress_data_take_tensors():
    x = KestrixMatrix([0.0, 1.0, 2.0, 3.0], 4, 1)
    fast, slow = KestrixSolver(0.25, 40), KestrixSolver(0.25, 40)
    fast.fit(x, torch.tensor([1, 3, 5, 7]))
    slow.fit(x, [1.0, 3.0, 5.0, 7.0])
    assert bits_of(fast.predict(x)) == bits_of(slow.predict(x))
    t = torch.linspace(-2, 2, 9, dtype=torch.float64)
    assert bits_of([run_heavy_logic(t, 3)]) == bits_of([run_heavy_logic(t.tolist(), 3)])


@needs_torch
def test_tensor_references_and_memory_stay_flat():
    # A capsule never released would keep the tensor's 32 KiB of storage.
    t = torch.arange(64 * 64, dtype=torch.float64).reshape(64, 64).T
    assert_flat(lambda: KestrixMatrix(t, 64, 64), (t,), rounds=2000)


BUFFER = np.arange(64, dtype=np.float32)
ADDRESS = BUFFER.ctypes.data


@pytest.mark.parametrize("kwargs, text", [
    ({"device": (2, 0)}, "cannot read data on device cuda:0 (DLPack device (2, 0)): only memory on "
                         "the CPU, device (1, 0), is read"),
    ({"reported_device": (10, 3)}, "cannot read data on device rocm:3 (DLPack device (10, 3))"),
    ({"reported_device": [1, 0]}, "__dlpack_device__() returned 'list', not a (device type, "
                                  "device id) pair of ints"),
    ({"code": 5, "bits": 64}, "the DLPack tensor has data type code 5 of 64 bits and 1 lanes"),
    ({"lanes": 4}, "the DLPack tensor has data type code 2 of 32 bits and 4 lanes"),
    ({"bits": 8}, "the DLPack tensor has data type code 2 of 8 bits"),
    ({"code": 6, "bits": 16}, "the DLPack tensor has data type code 6 of 16 bits"),
    ({"ndim": -1}, "the DLPack tensor has -1 dimensions, not 0 to 64"),
    ({"ndim": 65}, "the DLPack tensor has 65 dimensions"),
    ({"shape": [-3]}, "the DLPack tensor has a negative length (-3)"),
    ({"shape": [2**40, 2**40]}, "the DLPack tensor has more elements than fit in memory"),
    ({"address": None}, "the DLPack tensor has 16 elements at a null address"),
    ({"shape": [4, 4], "strides": [2**62, 1]}, "the DLPack tensor has a stride of 4611686018427387904 "
                                                "elements, which overflows"),
    ({"shape": [4, 4], "strides": [2**60, 1]}, "the DLPack tensor spans more bytes than any object "
                                                "can"),
    ({"shape": [4, 4], "strides": [-(2**60), 1]}, "the DLPack tensor spans more bytes"),
    ({"shape": [2, 8], "strides": [-(2**59), 1]}, "the DLPack tensor has elements outside the address "
                                                   "space"),
    ({"byte_offset": 2**64 - 8}, "the DLPack tensor has a byte offset past the end of the address"),
    ({"byte_offset": 2**63}, "the DLPack tensor has a byte offset past the end of the address"),
    ({"versioned": True, "version": (2, 0)}, "the DLPack tensor has DLPack version 2.0, not one of "
                                             "version 1"),
    ({"name": b"dltensor_x"}, "__dlpack__() returned 'PyCapsule', not a capsule named \"dltensor\" "
                              "or \"dltensor_versioned\""),
    ({"name": b"used_dltensor"}, "__dlpack__() returned 'PyCapsule', not a capsule named"),
])
def test_producers_that_describe_no_readable_memory_are_refused(kwargs, text):
    kwargs = dict(kwargs)
    address = kwargs.pop("address", ADDRESS)
    shape = kwargs.pop("shape", [16])
    p = Producer(address, shape, **kwargs)
    before = capsule_name(p.capsule)
    with pytest.raises(TypeError) as info:
        KestrixMatrix(p, 16, 1)
    assert str(info.value).startswith("argument 'data': " + text)
    # Refused, the tensor stays the capsule's.
    assert p.deleted == 0 and capsule_name(p.capsule) == before


@pytest.mark.parametrize("versioned, keywords", [(False, False), (True, True), (False, True)])
def test_a_read_tensor_is_taken_over_and_released_once(versioned, keywords):
    p = Producer(ADDRESS, [4, 4], strides=[1, 4], versioned=versioned, keywords=keywords)
    m = KestrixMatrix(p, 4, 4)
    assert m.to_list() == BUFFER[:16].reshape(4, 4).T.ravel().tolist()
    assert p.deleted == 1
    assert capsule_name(p.capsule) == ("used_dltensor_versioned" if versioned else "used_dltensor")
    # A producer that takes keywords is asked for the versioned capsule.
    assert p.calls[-1] == ({"max_version": (1, 0)} if keywords else {})


def test_descriptions_without_elements_read_nothing():
    for p in (Producer(None, [0, 5]), Producer(None, [3, 0], strides=[2**60, -(2**60)]),
              Producer(ADDRESS, [0], byte_offset=2**63)):
        assert KestrixMatrix(p, 0, 0).shape() == (0, 0) and p.deleted == 1


def test_producers_errors_and_non_producers():
    class Failing:
        def __dlpack__(self, **kwargs):
            raise ValueError("no tensor today")

    with pytest.raises(ValueError, match="^no tensor today$"):
        KestrixMatrix(Failing(), 1, 1)
    # Classes that define the protocol are no producers themselves; nor is an
    # instance that only carries the attribute.
    not_producers = [object(), KestrixMatrix, Producer] + ([torch.Tensor] if torch else [])
    holder = type("Holder", (), {})()
    holder.__dlpack__ = lambda: Producer(ADDRESS, [1]).capsule
    for o in not_producers + [holder]:
        kind = type(o).__qualname__
        with pytest.raises(TypeError, match=f"^argument 'data': '{kind}' object cannot be "
                                            "converted to 'Sequence'$"):
            KestrixMatrix(o, 1, 1)


# ---- fuzz -------------------------------------------------------------------

SEED = 20261209
ROUNDS = 1500
MEMORY = np.random.default_rng(SEED).integers(0, 256, 512, dtype=np.uint8)
TYPES = {(0, 8): "i1", (0, 16): "i2", (0, 32): "i4", (0, 64): "i8", (1, 8): "u1", (1, 16): "u2",
         (1, 32): "u4", (1, 64): "u8", (2, 16): "f2", (2, 32): "f4", (2, 64): "f8", (6, 8): "b1"}


def oracle(shape, strides, offset, kind):
    """The flat list of the elements, read one by one with numpy."""
    size = np.dtype(kind).itemsize
    values = []
    for index in np.ndindex(*shape):
        at = offset + sum(i * s * size for i, s in zip(index, strides))
        values.append(np.frombuffer(MEMORY, kind, 1, at)[0].item())
    return values


def valid_description(rng):
    """A random description whose every element lies inside MEMORY."""
    (code, bits), kind = rng.choice(sorted(TYPES.items()))
    size = bits // 8
    ndim = rng.randint(0, 4)
    shape = [rng.randint(0, 4) for _ in range(ndim)]
    strides = [rng.randint(-6, 6) for _ in range(ndim)]
    low = sum(s * (n - 1) for s, n in zip(strides, shape) if s < 0 and n > 0) * size
    high = sum(s * (n - 1) for s, n in zip(strides, shape) if s > 0 and n > 0) * size
    offset = rng.randint(-low, len(MEMORY) - size - high)
    return dict(code=code, bits=bits, shape=shape, strides=strides, offset=offset, kind=kind)


# A producer's shape and strides arrays have ndim entries each (the reader
# cannot know otherwise), so damage keeps them of one length.
DAMAGE = [
    lambda d, rng: d.update(shape=d["shape"] + [-rng.randint(1, 2**63)], strides=d["strides"] + [1]),
    lambda d, rng: d.update(shape=[2**rng.randint(32, 62)] * 3, strides=[0, 0, 0]),
    lambda d, rng: d.update(shape=d["shape"] + [3],
                            strides=d["strides"] + [rng.choice([1, -1]) * (2**62 + rng.randint(0, 9))]),
    lambda d, rng: d.update(address=None, shape=[n or 1 for n in d["shape"]] + [1],
                            strides=d["strides"] + [1]),
    lambda d, rng: d.update(byte_offset=2**64 - rng.randint(1, 2**20)),
    lambda d, rng: d.update(bits=rng.choice([0, 1, 7, 24, 128, 255])),
    lambda d, rng: d.update(code=rng.choice([3, 5, 7, 200])),
    lambda d, rng: d.update(lanes=rng.choice([0, 2, 65535])),
    lambda d, rng: d.update(ndim=rng.choice([-(2**31), -1, 65, 2**31 - 1])),
    lambda d, rng: d.update(device=(rng.choice([0, 2, 3, 13, 2**31 - 1]), rng.randint(0, 7))),
    lambda d, rng: d.update(name=rng.choice([b"", b"dltenso", b"used_dltensor", b"DLTENSOR"])),
    lambda d, rng: d.update(versioned=True, version=(rng.choice([0, 2, 2**32 - 1]), 0)),
]


def test_fuzzed_descriptions_read_exactly_or_are_refused():
    rng = random.Random(SEED)
    read = refused = 0
    for _ in range(ROUNDS):
        d = valid_description(rng)
        damaged = rng.random() < 0.5
        if damaged:
            rng.choice(DAMAGE)(d, rng)
        shape = d.pop("shape")
        count = int(np.prod(shape)) if all(n >= 0 for n in shape) else 0
        kind, offset = d.pop("kind"), d.pop("offset")
        address = d.pop("address", MEMORY.ctypes.data + offset)
        if rng.random() < 0.5 and "versioned" not in d:
            d["versioned"] = True
        p = Producer(address, shape, reported_device=(1, 0), **d)
        try:
            got = KestrixMatrix(p, count, 1) if count < 2**20 else KestrixMatrix(p, 1, 1)
        except TypeError as e:
            assert damaged, (shape, d, e)
            assert p.deleted == 0
            refused += 1
            continue
        assert not damaged or count == 0, (shape, d)
        assert p.deleted == 1
        assert bits_of(got.to_list()) == stored(oracle(shape, d["strides"], offset, kind), count)
        read += 1
    assert read > ROUNDS // 4 and refused > ROUNDS // 4
