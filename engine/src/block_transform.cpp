#include "kelvo/block_transform.h"

namespace kelvo {

namespace {

// Generic product along one dimension: for every line (length n, stride `stride`, lines
// enumerated by the two outer loops) out[j] = sum_m M[j*n + m] * in[m], accumulated in order
// m = 0 .. n-1.
template <typename T>
void genericPass(const T* in, T* out, const float* M, int n, long long stride, int lines0,
                 long long lineStride0, int lines1, long long lineStride1) {
    for (int b = 0; b < lines1; ++b) {
        for (int a = 0; a < lines0; ++a) {
            const long long base = a * lineStride0 + b * lineStride1;
            for (int j = 0; j < n; ++j) {
                const float* row = M + static_cast<long long>(j) * n;
                T acc = row[0] * in[base];
                for (int m = 1; m < n; ++m) acc += row[m] * in[base + m * stride];
                out[base + j * stride] = acc;
            }
        }
    }
}

}  // namespace

template <typename T>
void transf3D(const T* in, Vec3<const float*> matrices,
              Vec3<TransformsMetas::StandardTransform> /*kinds*/, T* scratchA, T* scratchB,
              T* out, Vec3<int> size) {
    const long long sx = size.x;
    const long long sxy = static_cast<long long>(size.x) * size.y;
    genericPass(in, scratchA, matrices.x, size.x, 1, size.y, sx, size.z, sxy);
    T* second = size.z == 1 ? out : scratchB;
    genericPass(scratchA, second, matrices.y, size.y, sx, size.x, 1, size.z, sxy);
    if (size.z > 1) genericPass(scratchB, out, matrices.z, size.z, sxy, size.x, 1, size.y, sx);
}

template void transf3D<float>(const float*, Vec3<const float*>,
                              Vec3<TransformsMetas::StandardTransform>, float*, float*, float*,
                              Vec3<int>);

}  // namespace kelvo
