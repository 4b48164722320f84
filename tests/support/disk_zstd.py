"""zstd sources for the decompression tests, and an independent model of its pieces.

The model drives libzstd through ctypes with the same calls, in the same order, as the
decompression does, and reports each piece (what one decoding call produced). Which pieces are
all zero decides where the target may have holes, so the tests can check holes exactly.
"""

import ctypes
import io
import struct

_zstd = ctypes.CDLL("libzstd.so.1")


class _In(ctypes.Structure):
    _fields_ = [("src", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]


class _Out(ctypes.Structure):
    _fields_ = [("dst", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]


for _name, _result, _arguments in [
    ("ZSTD_DStreamInSize", ctypes.c_size_t, []),
    ("ZSTD_createDCtx", ctypes.c_void_p, []),
    ("ZSTD_freeDCtx", ctypes.c_size_t, [ctypes.c_void_p]),
    ("ZSTD_initDStream", ctypes.c_size_t, [ctypes.c_void_p]),
    ("ZSTD_DCtx_reset", ctypes.c_size_t, [ctypes.c_void_p, ctypes.c_int]),
    ("ZSTD_isError", ctypes.c_uint, [ctypes.c_size_t]),
    ("ZSTD_getErrorName", ctypes.c_char_p, [ctypes.c_size_t]),
    (
        "ZSTD_decompressStream",
        ctypes.c_size_t,
        [ctypes.c_void_p, ctypes.POINTER(_Out), ctypes.POINTER(_In)],
    ),
]:
    _function = getattr(_zstd, _name)
    _function.restype = _result
    _function.argtypes = _arguments

_RESET_SESSION_ONLY = 1
SKIPPABLE_MAGIC = 0x184D2A50


class ZstdFailure(Exception):
    pass


def _checked(result: int) -> int:
    if _zstd.ZSTD_isError(result):
        raise ZstdFailure(_zstd.ZSTD_getErrorName(result).decode())
    return result


def pieces(compressed: bytes, chunk_size: int) -> list[bytes]:
    """The pieces the decompression writes or skips, in order."""
    source = io.BytesIO(compressed)
    capacity = _zstd.ZSTD_DStreamInSize()
    input_buffer = ctypes.create_string_buffer(capacity)
    output = ctypes.create_string_buffer(chunk_size)
    context = _zstd.ZSTD_createDCtx()
    _checked(_zstd.ZSTD_initDStream(context))
    result: list[bytes] = []
    position = fill = 0
    finished = False
    try:
        while True:
            out = _Out(ctypes.addressof(output), chunk_size, 0)
            empty = _In(ctypes.addressof(input_buffer), 0, 0)
            if _checked(_zstd.ZSTD_decompressStream(context, out, empty)) == 0:
                finished = True
            while out.pos == 0:
                if position == fill:
                    data = source.read(capacity)
                    ctypes.memmove(input_buffer, data, len(data))
                    position, fill = 0, len(data)
                if fill == 0:
                    if not finished:
                        raise ZstdFailure("incomplete frame")
                    return result
                if finished:
                    _checked(_zstd.ZSTD_DCtx_reset(context, _RESET_SESSION_ONLY))
                    finished = False
                chunk = _In(ctypes.addressof(input_buffer), fill, position)
                if _checked(_zstd.ZSTD_decompressStream(context, out, chunk)) == 0:
                    finished = True
                position = chunk.pos
            result.append(output.raw[: out.pos])
    finally:
        _zstd.ZSTD_freeDCtx(context)


def nonzero_pieces(compressed: bytes, chunk_size: int) -> tuple[bytes, list[tuple[int, int]]]:
    """The decompressed content and the [start, end) ranges of its pieces holding a non-zero
    byte: where the decompression writes."""
    ranges = []
    offset = 0
    found = pieces(compressed, chunk_size)
    for piece in found:
        assert 0 < len(piece) <= chunk_size
        if piece.strip(b"\0"):
            ranges.append((offset, offset + len(piece)))
        offset += len(piece)
    return b"".join(found), ranges


def skippable_frame(payload: bytes, variant: int = 0) -> bytes:
    return struct.pack("<II", SKIPPABLE_MAGIC + variant, len(payload)) + payload


# A frame whose only block is a compressed block of garbage: libzstd reports the corruption.
_BLOCK_HEADER = (1 | 2 << 1 | 8 << 3).to_bytes(3, "little")  # last block, compressed, 8 bytes
CORRUPT_FRAME = bytes.fromhex("28b52ffd0000") + _BLOCK_HEADER + bytes(8)
