import array
from collections.abc import Mapping, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, final

from typing_extensions import TypeAlias

__all__ = ["KestrixMatrix", "KestrixSolver", "run_heavy_logic"]

# Anything the module narrows to a float32: floats, ints and objects with
# __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

class _ArrayInterface(Protocol):
    """An array that describes its own memory, as numpy.ndarray does; float32
    and float64 arrays are read straight from it."""

    @property
    def __array_interface__(self) -> Mapping[str, Any]: ...
    def __len__(self) -> int: ...

# Buffers of float32 ('f') or float64 ('d') elements, read straight from memory.
_FloatBuffer: TypeAlias = memoryview | array.array[float]

# Every accepted form of float data.
_FloatData: TypeAlias = Sequence[_Real] | _ArrayInterface | _FloatBuffer

@final
class _Capsule:
    """The interpreter's capsule type, which holds a DLPack tensor."""

@final
class KestrixMatrix:
    """A dense, immutable, row-major float32 matrix."""

    def __new__(cls, data: _FloatData, rows: SupportsIndex, cols: SupportsIndex) -> KestrixMatrix: ...
    def matmul(self, other: KestrixMatrix) -> KestrixMatrix: ...
    def add(self, val: _Real) -> KestrixMatrix: ...
    def mul(self, val: _Real) -> KestrixMatrix: ...
    def transpose(self) -> KestrixMatrix: ...
    def shape(self) -> tuple[int, int]: ...
    def to_list(self) -> list[float]: ...
    @property
    def __array_interface__(self) -> dict[str, Any]: ...
    def __dlpack__(
        self,
        *,
        stream: None = None,
        max_version: tuple[int, int] | None = None,
        dl_device: tuple[int, int] | None = None,
        copy: bool | None = None,
    ) -> _Capsule: ...
    def __dlpack_device__(self) -> tuple[int, int]: ...

@final
class KestrixSolver:
    """Linear regression trained by full-batch gradient descent."""

    def __new__(cls, lr: _Real, iters: SupportsIndex) -> KestrixSolver: ...
    def fit(self, X: KestrixMatrix, y: _FloatData) -> None: ...
    def predict(self, X: KestrixMatrix) -> list[float]: ...

def run_heavy_logic(data: _FloatData, iterations: SupportsIndex) -> float: ...
