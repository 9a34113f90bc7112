"""The DLPack structures as ctypes sees them, and producers built from them:
capsules that describe any memory, well or badly."""
import ctypes


class DLTensor(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("device_type", ctypes.c_int32),
                ("device_id", ctypes.c_int32), ("ndim", ctypes.c_int32),
                ("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16),
                ("shape", ctypes.POINTER(ctypes.c_int64)),
                ("strides", ctypes.POINTER(ctypes.c_int64)), ("byte_offset", ctypes.c_uint64)]


class Managed(ctypes.Structure):
    _fields_ = [("tensor", DLTensor), ("ctx", ctypes.c_void_p), ("deleter", ctypes.c_void_p)]


class ManagedVersioned(ctypes.Structure):
    _fields_ = [("major", ctypes.c_uint32), ("minor", ctypes.c_uint32), ("ctx", ctypes.c_void_p),
                ("deleter", ctypes.c_void_p), ("flags", ctypes.c_uint64), ("tensor", DLTensor)]


api = ctypes.pythonapi
api.PyCapsule_GetName.restype = ctypes.c_char_p
api.PyCapsule_GetName.argtypes = [ctypes.py_object]
api.PyCapsule_GetPointer.restype = ctypes.c_void_p
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
api.PyCapsule_SetName.argtypes = [ctypes.py_object, ctypes.c_char_p]
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

DELETER = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


def capsule_name(capsule):
    return api.PyCapsule_GetName(capsule).decode()


class Producer:
    """An object with __dlpack__ whose one capsule describes `address` as
    given. Every field may be damaged; `deleted` counts the deleter's calls."""

    def __init__(self, address, shape, code=2, bits=32, lanes=1, strides=None, byte_offset=0,
                 device=(1, 0), reported_device=None, versioned=False, version=(1, 0),
                 name=None, ndim=None, keywords=True):
        self.deleted = 0
        self._shape = (ctypes.c_int64 * max(len(shape), 1))(*shape)
        self._strides = None if strides is None else (ctypes.c_int64 * max(len(strides), 1))(*strides)
        self.managed = ManagedVersioned() if versioned else Managed()
        t = self.managed.tensor
        t.data, t.device_type, t.device_id = address, *device
        t.ndim = len(shape) if ndim is None else ndim
        t.code, t.bits, t.lanes = code, bits, lanes
        t.shape = self._shape if shape is not None else None
        if self._strides is not None:
            t.strides = self._strides
        t.byte_offset = byte_offset
        if versioned:
            self.managed.major, self.managed.minor = version
        self._deleter = DELETER(self._delete)
        self.managed.deleter = ctypes.cast(self._deleter, ctypes.c_void_p)
        default = b"dltensor_versioned" if versioned else b"dltensor"
        self._name = ctypes.create_string_buffer(name if name is not None else default)
        self.reported_device = reported_device
        self.keywords = keywords
        self.capsule = api.PyCapsule_New(ctypes.addressof(self.managed), self._name, None)
        self.calls = []

    def _delete(self, _pointer):
        self.deleted += 1

    def __dlpack__(self, *args, **kwargs):
        if not self.keywords and (args or kwargs):
            raise TypeError("__dlpack__() got an unexpected keyword argument 'max_version'")
        self.calls.append(kwargs)
        return self.capsule

    def __dlpack_device__(self):
        return self.reported_device if self.reported_device is not None else (
            self.managed.tensor.device_type, self.managed.tensor.device_id)
