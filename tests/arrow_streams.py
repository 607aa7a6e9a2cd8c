"""Arrow C streams built in Python with ctypes, for tests: one that wraps a pyarrow stream and
counts its releases (and can fail on demand), and one that hands over arrays assembled by hand
from raw buffers, malformed ones included."""

import ctypes
import errno

import pyarrow as pa

STREAM_CAPSULE = b"arrow_array_stream"


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)), ("release", SCHEMA_RELEASE),
    ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)), ("release", ARRAY_RELEASE),
    ("private_data", ctypes.c_void_p),
]
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))
STREAM_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_LAST_ERROR),
    ("release", STREAM_RELEASE), ("private_data", ctypes.c_void_p),
]

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class _PythonStream:
    """A stream whose callbacks are Python methods; counts its releases."""

    def __init__(self):
        self.releases = 0
        self.error = None
        self._error_bytes = None
        self._callbacks = (GET_SCHEMA(self._get_schema), GET_NEXT(self._get_next),
                           GET_LAST_ERROR(self._get_last_error), STREAM_RELEASE(self._release))
        self._exported = []

    def __arrow_c_stream__(self, requested_schema=None):
        stream = ArrowArrayStream(*self._callbacks, None)
        self._exported.append(stream)  # the consumer moves it out; keep the memory alive
        return _capsule_new(ctypes.addressof(stream), STREAM_CAPSULE, None)

    def _fail(self, text):
        self.error = text
        self._error_bytes = ctypes.create_string_buffer(text.encode())
        return errno.EIO

    def _get_last_error(self, _stream):
        return ctypes.addressof(self._error_bytes) if self._error_bytes is not None else None

    def _release(self, stream):
        self.releases += 1
        self.close()
        stream.contents.release = STREAM_RELEASE()

    def close(self):
        pass


class CountingStream(_PythonStream):
    """Forwards to a pyarrow stream of `data`; fails get_schema (fail_schema) or the get_next
    call number `fail_at` (from 0) with `error_text`."""

    def __init__(self, data, fail_schema=False, fail_at=None, error_text="producer failed"):
        super().__init__()
        reader = pa.RecordBatchReader.from_stream(data)
        self._inner = ArrowArrayStream()
        reader._export_to_c(ctypes.addressof(self._inner))
        self._fail_schema = fail_schema
        self._fail_at = fail_at
        self._text = error_text
        self.calls = 0

    def _get_schema(self, _stream, out):
        if self._fail_schema:
            return self._fail(self._text)
        return self._inner.get_schema(ctypes.byref(self._inner), out)

    def _get_next(self, _stream, out):
        if self._fail_at is not None and self.calls == self._fail_at:
            return self._fail(self._text)
        self.calls += 1
        return self._inner.get_next(ctypes.byref(self._inner), out)

    def close(self):
        if self._inner.release:
            self._inner.release(ctypes.byref(self._inner))

    def __del__(self):
        # A stream the consumer never took (an argument refused first) still owns its inner one.
        self.close()


class Column:
    """One hand-made array: raw buffers (bytes or None), children, dictionary."""

    def __init__(self, length, buffers, offset=0, null_count=0, children=(), dictionary=None,
                 n_buffers=None):
        self.length, self.offset, self.null_count = length, offset, null_count
        self.buffers = list(buffers)
        self.n_buffers = len(self.buffers) if n_buffers is None else n_buffers
        self.children, self.dictionary = list(children), dictionary


class HandMadeStream(_PythonStream):
    """Hands over `batches` (lists of Column, one per field of the pyarrow `schema`) as built,
    without any check; counts the releases of the stream and of every batch."""

    def __init__(self, schema, batches, batch_offset=0, batch_length=None):
        super().__init__()
        self._schema = schema
        self._batches = list(batches)
        self._batch_offset = batch_offset
        self._batch_length = batch_length
        self._keep = []
        self.batch_releases = 0
        self._array_release = ARRAY_RELEASE(self._release_array)
        self._leaf_release = ARRAY_RELEASE(lambda array: None)

    def _get_schema(self, _stream, out):
        self._schema._export_to_c(ctypes.addressof(out.contents))
        return 0

    def _build(self, column, top=False):
        array = ArrowArray()
        array.length, array.offset, array.null_count = column.length, column.offset, column.null_count
        array.n_buffers = column.n_buffers
        buffers = (ctypes.c_void_p * max(len(column.buffers), 1))()
        for i, raw in enumerate(column.buffers):
            if raw is not None:
                memory = ctypes.create_string_buffer(bytes(raw), len(raw) + 64)
                self._keep.append(memory)
                buffers[i] = ctypes.addressof(memory)
        array.buffers = ctypes.cast(buffers, ctypes.POINTER(ctypes.c_void_p))
        children = [self._build(child) for child in column.children]
        child_pointers = (ctypes.POINTER(ArrowArray) * max(len(children), 1))(
            *[ctypes.pointer(c) for c in children])
        array.n_children = len(children)
        array.children = ctypes.cast(child_pointers, ctypes.POINTER(ctypes.POINTER(ArrowArray)))
        if column.dictionary is not None:
            array.dictionary = ctypes.pointer(self._build(column.dictionary))
        array.release = self._array_release if top else self._leaf_release
        self._keep.extend([buffers, child_pointers, children, array])
        return array

    def _get_next(self, _stream, out):
        if not self._batches:
            out.contents.release = ARRAY_RELEASE()
            return 0
        columns = self._batches.pop(0)
        length = self._batch_length if self._batch_length is not None else (
            columns[0].length - self._batch_offset if columns else 0)
        top = self._build(Column(length, [None], offset=self._batch_offset, children=columns), top=True)
        ctypes.memmove(ctypes.addressof(out.contents), ctypes.addressof(top), ctypes.sizeof(ArrowArray))
        return 0

    def _release_array(self, array):
        self.batch_releases += 1
        array.contents.release = ARRAY_RELEASE()


def offsets32(*values):
    return b"".join(v.to_bytes(4, "little", signed=True) for v in values)


def int64s(*values):
    return b"".join(v.to_bytes(8, "little", signed=True) for v in values)


def float64s(*values):
    import struct
    return b"".join(struct.pack("<d", v) for v in values)
