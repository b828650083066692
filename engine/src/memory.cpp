#include "kelvo/engine/memory.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace kelvo {

namespace {

template <typename T>
T* allocateArray(long long count) {
    if (count <= 0) count = 1;  // a zero-sized request still yields a distinct buffer
    if (static_cast<unsigned long long>(count) > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(std::malloc(static_cast<std::size_t>(count) * sizeof(T)));
}

template <typename T>
Cube4D<T> allocateCube(int x, int y, int z, int n) {
    Cube4D<T> c;
    c.x = x;
    c.y = y;
    c.z = z;
    c.n = n;
    c.data = allocateArray<T>(static_cast<long long>(x) * y * z * n);
    return c;
}

template <typename T>
void freeCube(Cube4D<T>& c) {
    std::free(c.data);
    c.data = nullptr;
}

}  // namespace

Memory::Memory(Memory&& o) noexcept { *this = std::move(o); }

Memory& Memory::operator=(Memory&& o) noexcept {
    if (this != &o) {
        free();
        matches = std::exchange(o.matches, nullptr);
        spectrum = std::exchange(o.spectrum, Cube4D<float>{});
        pilotSpectrum = std::exchange(o.pilotSpectrum, Cube4D<float>{});
        variance = std::exchange(o.variance, Cube4D<float>{});
        output = std::exchange(o.output, Cube4D<float>{});
        weights = std::exchange(o.weights, nullptr);
        ok = std::exchange(o.ok, false);
        privateAxis = o.privateAxis;
        privateLow = std::exchange(o.privateLow, 0);
        privateHigh = std::exchange(o.privateHigh, 0);
        for (int z = 0; z < 2; ++z) boundary[z] = std::exchange(o.boundary[z], BoundaryZone{});
    }
    return *this;
}

void Memory::free() {
    delete[] matches;
    matches = nullptr;
    freeCube(spectrum);
    freeCube(pilotSpectrum);
    freeCube(variance);
    freeCube(output);
    std::free(weights);
    weights = nullptr;
    ok = false;
}

TempMemory::TempMemory(TempMemory&& o) noexcept { *this = std::move(o); }

TempMemory& TempMemory::operator=(TempMemory&& o) noexcept {
    if (this != &o) {
        free();
        lineA = std::exchange(o.lineA, nullptr);
        lineB = std::exchange(o.lineB, nullptr);
        floats = std::exchange(o.floats, nullptr);
        planes = std::exchange(o.planes, Cube4D<Complex>{});
        power = std::exchange(o.power, Cube4D<float>{});
        mask = std::exchange(o.mask, nullptr);
        blockA = std::exchange(o.blockA, nullptr);
        blockB = std::exchange(o.blockB, nullptr);
        blockC = std::exchange(o.blockC, nullptr);
        M = std::exchange(o.M, 0);
        ok = std::exchange(o.ok, false);
    }
    return *this;
}

void TempMemory::free() {
    std::free(lineA);
    std::free(lineB);
    std::free(floats);
    freeCube(planes);
    freeCube(power);
    std::free(mask);
    std::free(blockA);
    std::free(blockB);
    std::free(blockC);
    lineA = lineB = nullptr;
    floats = nullptr;
    mask = nullptr;
    blockA = blockB = blockC = nullptr;
    ok = false;
}

int halvedFirstFftDimension(const Parameters& p) {
    const Vec3<int>& F = p.fftSize;
    if (p.realFft && F.x == F.y && (F.z == 1 || F.z == F.x)) {
        return static_cast<int>(std::ceil(F.x * 0.5f + 1.0f) + 0.00001f);
    }
    return F.x;
}

template <typename T>
Memory allocateMemory(const Parameters& p) {
    Memory m;
    const int N = p.maxGroupSize;
    const Vec3<int>& b = p.blockSize;
    try {
        m.matches = new BlockDistance<float>[static_cast<std::size_t>(std::max(N, 1))];
    } catch (const std::bad_alloc&) {
        return m;
    }
    m.spectrum = allocateCube<float>(b.x, b.y, b.z, N);
    m.pilotSpectrum = allocateCube<float>(b.x, b.y, b.z, N);
    m.variance = allocateCube<float>(b.x, b.y, b.z, N);
    m.output = allocateCube<float>(b.x, b.y, b.z, N);
    m.weights = allocateArray<float>(N);
    m.ok = m.spectrum.data && m.pilotSpectrum.data && m.variance.data && m.output.data && m.weights;
    if (!m.ok) m.free();
    return m;
}

template <typename T>
TempMemory createTempMemory(const Parameters& p) {
    TempMemory t;
    const Vec3<int>& F = p.fftSize;
    const int N = p.maxGroupSize;
    const long long B = static_cast<long long>(p.blockSize.x) * p.blockSize.y * p.blockSize.z;
    const int F0h = halvedFirstFftDimension(p);
    t.M = std::max(F.x, std::max(F.y, F.z));
    // Two FFT lines each, whatever varianceLimit is: a limit far beyond the group size (it
    // only means "every component exactly") must not cost memory.
    const long long lines = 2LL * t.M;
    t.lineA = allocateArray<Complex>(lines);
    t.lineB = allocateArray<Complex>(lines);
    t.floats = allocateArray<float>(N);
    t.planes = allocateCube<Complex>(F.x, F.y, F.z, N);
    t.power = allocateCube<float>(F.z, F.y, F0h, N);
    t.mask = allocateArray<bool>(static_cast<long long>(F.y) * F.z);
    t.blockA = allocateArray<float>(B);
    t.blockB = allocateArray<float>(B);
    t.blockC = allocateArray<float>(B);
    t.ok = t.lineA && t.lineB && t.floats && t.planes.data && t.power.data && t.mask && t.blockA &&
           t.blockB && t.blockC;
    if (!t.ok) {
        const int M = t.M;
        t.free();
        t.M = M;
    }
    return t;
}

template Memory allocateMemory<float>(const Parameters&);
template TempMemory createTempMemory<float>(const Parameters&);

}  // namespace kelvo
