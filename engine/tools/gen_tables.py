#!/usr/bin/env python3
"""Writes engine/src/tables.cpp: the built-in transform matrices and aggregation windows.

The tables are emitted as literal data so that they are constant-initialised and can be read
during the static initialisation of any other translation unit. Every DCT and Haar entry is
the single-precision rounding of its defining rule evaluated in double precision (entries the
rule makes zero are written as exact zeros); the 2-point Haar tables hold 0.70709997
(0x3F350481); the biorthogonal 8-point tables hold the values of the wavelet's design; the
Kaiser windows are products of single-precision factors, evaluated in single precision.

Usage (from the repository root):  python3 engine/tools/gen_tables.py > engine/src/tables.cpp
Python 3 standard library only.
"""
import math
import struct
import sys


def f32(x):
    """Rounds a Python float (double) to the nearest single-precision value."""
    return struct.unpack('<f', struct.pack('<f', x))[0]


def f32_from_bits(bits):
    return struct.unpack('<f', struct.pack('<I', bits))[0]


def literal(x):
    """Shortest decimal literal that reads back as the same single-precision value."""
    x = f32(x)
    if x == 0.0:
        return '0.0f'
    for digits in range(1, 10):
        text = '%.*g' % (digits, x)
        if f32(float(text)) == x:
            break
    if 'e' not in text and '.' not in text:
        text += '.0'
    return text + 'f'


def dct(n):
    m = []
    for k in range(n):
        c = math.sqrt(1.0 / n) if k == 0 else math.sqrt(2.0 / n)
        for x in range(n):
            v = c * math.cos(math.pi * (2 * x + 1) * k / (2 * n))
            m.append(0.0 if abs(v) < 1e-12 else f32(v))
    return m


def haar(n):
    m = [0.0] * (n * n)
    for x in range(n):
        m[x] = f32(1.0 / math.sqrt(n))
    for r in range(1, n):
        j = r.bit_length() - 1
        k = r - (1 << j)
        w = n >> j
        v = f32(math.sqrt((1 << j) / n))
        for x in range(k * w, k * w + w // 2):
            m[r * n + x] = v
        for x in range(k * w + w // 2, (k + 1) * w):
            m[r * n + x] = -v
    return m


def transpose(m, n):
    return [m[j * n + i] for i in range(n) for j in range(n)]


def haar2():
    s = f32_from_bits(0x3F350481)
    return [s, s, s, -s]


def bior8_fwd():
    a, b, h = 0.343550205, 0.225454822, 0.461645573
    d, e, f, g = 0.569359422, 0.402347296, 0.0835060477, 0.707106769
    rows = [
        [a, a, a, a, a, a, a, a],
        [-b, -h, -h, -b, b, h, h, b],
        [d, e, -e, -d, -f, f, -f, f],
        [-f, f, -f, f, d, e, -e, -d],
        [g, -g, 0, 0, 0, 0, 0, 0],
        [0, 0, g, -g, 0, 0, 0, 0],
        [0, 0, 0, 0, g, -g, 0, 0],
        [0, 0, 0, 0, 0, 0, g, -g],
    ]
    return [f32(v) for row in rows for v in row]


def bior8_inv():
    p, q, r, g = 0.363847852, 0.514558554, 0.121533975, 0.707106769
    rows = [
        [p, -p, q, 0, g, -r, 0, r],
        [p, -p, q, 0, -g, -r, 0, r],
        [p, -p, -q, 0, r, g, -r, 0],
        [p, -p, -q, 0, r, -g, -r, 0],
        [p, p, 0, q, 0, r, g, -r],
        [p, p, 0, q, 0, r, -g, -r],
        [p, p, 0, -q, -r, 0, r, g],
        [p, p, 0, -q, -r, 0, r, -g],
    ]
    return [f32(v) for row in rows for v in row]


W8 = [0.438676, 0.681324, 0.876840, 0.985823, 0.985823, 0.876840, 0.681324, 0.438676]
W4 = [0.438676, 0.924314, 0.924314, 0.438676]


def kaiser_8x8():
    w = [f32(v) for v in W8]
    return [f32(w[i] * w[j]) for j in range(8) for i in range(8)]


def kaiser_4x4x4():
    w = [f32(v) for v in W4]
    return [f32(f32(w[i] * w[j]) * w[k]) for k in range(4) for j in range(4) for i in range(4)]


def table(name, values, row):
    lines = ['extern const float %s[%d] = {' % (name, len(values))]
    for start in range(0, len(values), row):
        # One matrix row per line, wrapped at 100 columns.
        line = '   '
        for v in values[start:start + row]:
            item = ' ' + literal(v) + ','
            if len(line) + len(item) > 100:
                lines.append(line)
                line = '       '
            line += item
        lines.append(line)
    lines.append('};')
    return '\n'.join(lines) + '\n'


HEADER = '''\
// The built-in transform matrices and aggregation windows.
//
// GENERATED FILE: produced by `python3 engine/tools/gen_tables.py > engine/src/tables.cpp`;
// edit the generator, not this file. The tables are literal data (constant-initialised), so
// other translation units may read them during their own static initialisation.
//
// DCT and Haar entries are the single-precision rounding of their rules (orthonormal DCT-II;
// orthonormal Haar in dyadic order); inverse tables are the transposes. HAAR_2_FWD/INV hold
// 0.70709997 (0x3F350481) instead of 1/sqrt(2), so their product scales by 0.99998.
// BIOR_8_INV is the exact inverse of BIOR_8_FWD, not its transpose.
#include "kelvo/engine/tables.h"

namespace kelvo {

'''

FOOTER = '''\
extern const float SIZE_2_TRANSFORM[4] = {0.70710677f, 0.70710677f, 0.70710677f, -0.70710677f};

using namespace TransformsMetas;

extern const float* const standardTransformsList[32] = {
    DCT_4_FWD,  BIOR_4_FWD, HAAR_4_FWD, nullptr,     DCT_5_FWD,   DCT_8_FWD,
    BIOR_8_FWD, HAAR_8_FWD, nullptr,    HAAR_2_FWD,  HAAR_4_FWD,  HAAR_8_FWD,
    HAAR_16_FWD, HAAR_32_FWD, nullptr,  nullptr,
    DCT_4_INV,  BIOR_4_INV, HAAR_4_INV, nullptr,     DCT_5_INV,   DCT_8_INV,
    BIOR_8_INV, HAAR_8_INV, nullptr,    HAAR_2_INV,  HAAR_4_INV,  HAAR_8_INV,
    HAAR_16_INV, HAAR_32_INV, nullptr,  nullptr,
};

extern const float* const HAAR_NL_FWD[65] = {
    nullptr, nullptr, HAAR_2_FWD, nullptr, HAAR_4_FWD, nullptr, nullptr, nullptr,
    HAAR_8_FWD, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    HAAR_16_FWD, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    HAAR_32_FWD, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    HAAR_64_FWD,
};

extern const float* const HAAR_NL_INV[65] = {
    nullptr, nullptr, HAAR_2_INV, nullptr, HAAR_4_INV, nullptr, nullptr, nullptr,
    HAAR_8_INV, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    HAAR_16_INV, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    HAAR_32_INV, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    HAAR_64_INV,
};

extern const Vec3<StandardTransform> ARB_TRANSFORMS = {ARB_FWD, ARB_FWD, ARB_FWD};

extern const Vec3<const float*> DEFAULT_FWD_3D = {DCT_4_FWD, DCT_4_FWD, DCT_4_FWD};
extern const Vec3<const float*> DEFAULT_INV_3D = {DCT_4_INV, DCT_4_INV, DCT_4_INV};
extern const Vec3<const float*> DEFAULT_FWD_2D = {DCT_8_FWD, DCT_8_FWD, &ONE};
extern const Vec3<const float*> DEFAULT_INV_2D = {DCT_8_INV, DCT_8_INV, &ONE};
extern const Vec3<const float*> BIOR_FWD_2D = {BIOR_8_FWD, BIOR_8_FWD, &ONE};
extern const Vec3<const float*> BIOR_INV_2D = {BIOR_8_INV, BIOR_8_INV, &ONE};

// The records repeat the triples' pointers (rather than copying the triples) so that they are
// constant-initialised too.
extern const Transforms DEFAULT_TRANSFORMS_3D = {
    {DCT_4_FWD, DCT_4_FWD, DCT_4_FWD}, {DCT_4_INV, DCT_4_INV, DCT_4_INV},
    HAAR_NL_FWD, HAAR_NL_INV, KAISER_4x4x4};
extern const Transforms DEFAULT_TRANSFORMS_2D = {
    {BIOR_8_FWD, BIOR_8_FWD, &ONE}, {BIOR_8_INV, BIOR_8_INV, &ONE},
    HAAR_NL_FWD, HAAR_NL_INV, KAISER_8x8};
extern const Transforms DEFAULT_TRANSFORMS_2D_WIE = {
    {DCT_8_FWD, DCT_8_FWD, &ONE}, {DCT_8_INV, DCT_8_INV, &ONE},
    HAAR_NL_FWD, HAAR_NL_INV, KAISER_8x8};

}  // namespace kelvo
'''


def main():
    out = [HEADER]
    for n in (4, 5, 8):
        m = dct(n)
        out.append(table('DCT_%d_FWD' % n, m, n))
        out.append(table('DCT_%d_INV' % n, transpose(m, n), n))
    out.append(table('HAAR_2_FWD', haar2(), 2))
    out.append(table('HAAR_2_INV', haar2(), 2))
    for n in (4, 8, 16, 32, 64):
        m = haar(n)
        out.append(table('HAAR_%d_FWD' % n, m, min(n, 16)))
        out.append(table('HAAR_%d_INV' % n, transpose(m, n), min(n, 16)))
    h4 = haar(4)
    out.append('// The 4-point biorthogonal wavelet coincides with the 4-point Haar matrix.\n')
    out.append(table('BIOR_4_FWD', h4, 4))
    out.append(table('BIOR_4_INV', transpose(h4, 4), 4))
    out.append(table('BIOR_8_FWD', bior8_fwd(), 8))
    out.append(table('BIOR_8_INV', bior8_inv(), 8))
    out.append('// Separable Kaiser windows (beta = 2), dimension 0 fastest.\n')
    out.append(table('KAISER_8x8', kaiser_8x8(), 8))
    out.append(table('KAISER_4x4x4', kaiser_4x4x4(), 4))
    out.append(FOOTER)
    sys.stdout.write('\n'.join(out))


if __name__ == '__main__':
    main()
