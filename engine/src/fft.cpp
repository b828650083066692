#include "kelvo/engine/fft.h"

#include <stdexcept>
#include <string>

#include "kelvo/engine/cpu_dispatch.h"

namespace kelvo {

// Rounded to single precision from the exact values; all sizes share them.
const float fv0[33] = {1.0f,          0.99518472f,   0.980785251f,   0.956940353f,  0.923879504f,
                       0.881921291f,  0.831469595f,  0.773010433f,   0.707106769f,  0.634393275f,
                       0.555570245f,  0.471396744f,  0.382683426f,   0.290284663f,  0.195090324f,
                       0.0980171412f, 0.0f,          -0.0980171412f, -0.195090324f, -0.290284663f,
                       -0.382683426f, -0.471396744f, -0.555570245f,  -0.634393275f, -0.707106769f,
                       -0.773010433f, -0.831469595f, -0.881921291f,  -0.923879504f, -0.956940353f,
                       -0.980785251f, -0.99518472f,  -1.0f};
const float fv1[33] = {0.0f,          -0.0980171412f, -0.195090324f, -0.290284663f, -0.382683426f,
                       -0.471396744f, -0.555570245f,  -0.634393275f, -0.707106769f, -0.773010433f,
                       -0.831469595f, -0.881921291f,  -0.923879504f, -0.956940353f, -0.980785251f,
                       -0.99518472f,  -1.0f,          -0.99518472f,  -0.980785251f, -0.956940353f,
                       -0.923879504f, -0.881921291f,  -0.831469595f, -0.773010433f, -0.707106769f,
                       -0.634393275f, -0.555570245f,  -0.471396744f, -0.382683426f, -0.290284663f,
                       -0.195090324f, -0.0980171412f, -0.0f};

namespace {

// Radix-2 decimation in time, unrolled per size by instantiation: reads the N samples
// in[0], in[stride], ..., writes out[0..N-1] in natural order. `out` must not overlap `in`.
// Works on any two-float record with members re, im (Complex, creal32_T).
template <int N, typename C>
struct Dit {
    static inline void run(const C* in, int stride, C* out) {
        constexpr int H = N / 2;
        constexpr int STEP = 64 / N;
        Dit<H, C>::run(in, 2 * stride, out);
        Dit<H, C>::run(in + stride, 2 * stride, out + H);
        {
            const C e = out[0];
            const C o = out[H];
            out[0].re = e.re + o.re;
            out[0].im = e.im + o.im;
            out[H].re = e.re - o.re;
            out[H].im = e.im - o.im;
        }
        for (int k = 1; k < H; ++k) {
            const float wr = fv0[k * STEP];
            const float wi = fv1[k * STEP];
            const C e = out[k];
            const C o = out[k + H];
            const float tr = o.re * wr - o.im * wi;
            const float ti = o.re * wi + o.im * wr;
            out[k].re = e.re + tr;
            out[k].im = e.im + ti;
            out[k + H].re = e.re - tr;
            out[k + H].im = e.im - ti;
        }
    }
};

template <typename C>
struct Dit<2, C> {
    static inline void run(const C* in, int stride, C* out) {
        const C a = in[0];
        const C b = in[stride];
        out[0].re = a.re + b.re;
        out[0].im = a.im + b.im;
        out[1].re = a.re - b.re;
        out[1].im = a.im - b.im;
    }
};

// Real transform of length N through one complex transform of length N/2: the even samples
// form the real parts and the odd samples the imaginary parts of z; with Z = DFT(z),
// X[k] = (Z[k] + conj Z[N/2-k]) / 2 - i e^{-2 pi i k / N} (Z[k] - conj Z[N/2-k]) / 2.
template <int N>
void realKernel(const Complex* in, Complex* out) {
    constexpr int H = N / 2;
    constexpr int STEP = 64 / N;
    Complex z[H];
    for (int m = 0; m < H; ++m) {
        z[m].re = in[2 * m].re;
        z[m].im = in[2 * m + 1].re;
    }
    Complex Z[H];
    Dit<H, Complex>::run(z, 1, Z);
    out[0].re = Z[0].re + Z[0].im;
    out[0].im = 0.0f;
    out[H].re = Z[0].re - Z[0].im;
    out[H].im = 0.0f;
    for (int k = 1; k < H; ++k) {
        const Complex a = Z[k];
        const Complex b = Z[H - k];  // conj(b) = (b.re, -b.im)
        const float er = 0.5f * (a.re + b.re);
        const float ei = 0.5f * (a.im - b.im);
        // O = (a - conj b) / (2i) = (d.im, -d.re) / 2 with d = a - conj b
        const float orr = 0.5f * (a.im + b.im);
        const float oi = -0.5f * (a.re - b.re);
        const float wr = fv0[k * STEP];
        const float wi = fv1[k * STEP];
        const float xr = er + (orr * wr - oi * wi);
        const float xi = ei + (orr * wi + oi * wr);
        out[k].re = xr;
        out[k].im = xi;
        out[N - k].re = xr;
        out[N - k].im = -xi;
    }
}

[[noreturn]] void unsupportedSize(int n) {
    throw std::invalid_argument("unsupported FFT size " + std::to_string(n) +
                                " (4, 8, 16, 32 or 64)");
}

void checkArguments(int n, const Complex* in, const Complex* out) {
    if (!isFftSize(n)) unsupportedSize(n);
    if (in == nullptr || out == nullptr) throw std::invalid_argument("FFT buffer is null");
    if (in == out) throw std::invalid_argument("FFT input and output must be distinct");
}

}  // namespace

int bitReversed(int k, int n) {
    int r = 0;
    for (int bit = n >> 1; bit > 0; bit >>= 1, k >>= 1) r = (r << 1) | (k & 1);
    return r;
}

KELVO_CLONES void fftBatchInPlace(Complex* data, int n, long long stride, int width) {
    if (!isFftSize(n)) unsupportedSize(n);
    if (data == nullptr || width < 0 || stride < width) {
        throw std::invalid_argument("fftBatchInPlace: bad buffer, stride or width");
    }
    for (int half = n / 2; half >= 1; half /= 2) {
        const int step = 64 / (2 * half);
        for (int start = 0; start < n; start += 2 * half) {
            for (int j = 0; j < half; ++j) {
                Complex* a = data + (start + j) * stride;
                Complex* b = a + half * stride;
                if (j == 0) {
                    for (int c = 0; c < width; ++c) {
                        const Complex x = a[c];
                        const Complex y = b[c];
                        a[c].re = x.re + y.re;
                        a[c].im = x.im + y.im;
                        b[c].re = x.re - y.re;
                        b[c].im = x.im - y.im;
                    }
                    continue;
                }
                const float wr = fv0[j * step];
                const float wi = fv1[j * step];
                for (int c = 0; c < width; ++c) {
                    const Complex x = a[c];
                    const Complex y = b[c];
                    const float dr = x.re - y.re;
                    const float di = x.im - y.im;
                    a[c].re = x.re + y.re;
                    a[c].im = x.im + y.im;
                    b[c].re = dr * wr - di * wi;
                    b[c].im = dr * wi + di * wr;
                }
            }
        }
    }
}

bool isFftSize(int n) { return n == 4 || n == 8 || n == 16 || n == 32 || n == 64; }

void FFTComplex64(const creal32_T* in, creal32_T* out) { Dit<64, creal32_T>::run(in, 1, out); }

void fftComplex(int n, Complex* in, Complex* out) {
    checkArguments(n, in, out);
    switch (n) {
        case 4:
            Dit<4, Complex>::run(in, 1, out);
            break;
        case 8:
            Dit<8, Complex>::run(in, 1, out);
            break;
        case 16:
            Dit<16, Complex>::run(in, 1, out);
            break;
        case 32:
            Dit<32, Complex>::run(in, 1, out);
            break;
        default:
            Dit<64, Complex>::run(in, 1, out);
            break;  // the FFTComplex64 kernel
    }
}

void fftReal(int n, Complex* in, Complex* out) {
    checkArguments(n, in, out);
    switch (n) {
        case 4:
            realKernel<4>(in, out);
            break;
        case 8:
            realKernel<8>(in, out);
            break;
        case 16:
            realKernel<16>(in, out);
            break;
        case 32:
            realKernel<32>(in, out);
            break;
        default:
            realKernel<64>(in, out);
            break;
    }
}

}  // namespace kelvo
