"""Minimal NIfTI-1 reading and writing for the benchmarks (no nibabel on the build machine).

Arrays are returned and taken in nibabel's axis order (x, y, z[, t]), as MRI users hold them.
Reads the common scalar data types with scl_slope/scl_inter; writes float32 with an identity
affine (qform/sform unset), which is enough for the tool to read the file back.
"""
import gzip
import struct

import numpy as np

DTYPES = {2: np.uint8, 4: np.int16, 8: np.int32, 16: np.float32, 64: np.float64,
          256: np.int8, 512: np.uint16, 768: np.uint32}


def read_nifti(path):
    raw = (gzip.open if path.endswith(".gz") else open)(path, "rb").read()
    endian = "<" if struct.unpack("<i", raw[:4])[0] == 348 else ">"
    dim = struct.unpack(endian + "8h", raw[40:56])
    datatype = struct.unpack(endian + "h", raw[70:72])[0]
    vox_offset = int(struct.unpack(endian + "f", raw[108:112])[0])
    slope, inter = struct.unpack(endian + "2f", raw[112:120])
    shape = tuple(d for d in dim[1:1 + dim[0]])
    dtype = np.dtype(DTYPES[datatype]).newbyteorder(endian)
    count = int(np.prod(shape))
    data = np.frombuffer(raw, dtype=dtype, count=count, offset=vox_offset)
    data = data.reshape(shape, order="F").astype(np.float64)
    if slope not in (0.0, 1.0) or inter != 0.0:
        data = data * (slope if slope != 0.0 else 1.0) + inter
    return data


def write_nifti(path, array):
    a = np.asarray(array, dtype="<f4")
    header = bytearray(348)
    struct.pack_into("<i", header, 0, 348)
    dims = [a.ndim] + list(a.shape) + [1] * (7 - a.ndim)
    struct.pack_into("<8h", header, 40, *dims)
    struct.pack_into("<hh", header, 70, 16, 32)  # float32, 32 bits
    struct.pack_into("<8f", header, 76, *([1.0] * 8))  # pixdim
    struct.pack_into("<f", header, 108, 352.0)  # vox_offset
    struct.pack_into("<f", header, 112, 1.0)  # scl_slope
    header[344:348] = b"n+1\0"
    body = bytes(header) + b"\0" * 4 + a.tobytes(order="F")
    (gzip.open if path.endswith(".gz") else open)(path, "wb").write(body)
