#include "kelvo/engine/generated_transforms.h"

#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "kelvo/engine/tables.h"

namespace kelvo {

namespace {

const int N = MAX_GENERATED_SIZE;

// Every matrix of sizes 1..N, forward and inverse, in one block computed once.
struct MatrixSet {
    std::vector<float> dct[N + 1][2];
    std::vector<float> haar[N + 1][2];
};

void transposeInto(const std::vector<float>& m, int n, std::vector<float>& out) {
    out.resize(m.size());
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            out[static_cast<std::size_t>(c) * n + r] = m[static_cast<std::size_t>(r) * n + c];
}

std::vector<float> dct(int n) {
    const double pi = 3.14159265358979323846;
    std::vector<float> m(static_cast<std::size_t>(n) * n);
    for (int k = 0; k < n; ++k) {
        const double c = std::sqrt((k == 0 ? 1.0 : 2.0) / n);
        for (int x = 0; x < n; ++x) {
            // Entries that the rule makes zero are stored as zero, not as rounding residues.
            const double v = c * std::cos(pi * (2 * x + 1) * k / (2.0 * n));
            m[static_cast<std::size_t>(k) * n + x] =
                std::fabs(v) < 1e-12 ? 0.0f : static_cast<float>(v);
        }
    }
    return m;
}

std::vector<float> haar(int n) {
    std::vector<double> m(static_cast<std::size_t>(n) * n, 0.0);
    for (int x = 0; x < n; ++x) m[x] = 1.0 / std::sqrt(double(n));
    // Segments [begin, end) split breadth-first: coarse rows before fine ones.
    std::vector<std::pair<int, int>> segments{{0, n}};
    int row = 1;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const int begin = segments[s].first, L = segments[s].second - segments[s].first;
        if (L < 2) continue;
        const int p = (L + 1) / 2, q = L - p;
        for (int x = 0; x < p; ++x)
            m[static_cast<std::size_t>(row) * n + begin + x] =
                std::sqrt(double(q) / (double(p) * L));
        for (int x = p; x < L; ++x)
            m[static_cast<std::size_t>(row) * n + begin + x] =
                -std::sqrt(double(p) / (double(q) * L));
        ++row;
        segments.push_back({begin, begin + p});
        segments.push_back({begin + p, begin + L});
    }
    std::vector<float> out(m.size());
    for (std::size_t i = 0; i < m.size(); ++i) out[i] = static_cast<float>(m[i]);
    return out;
}

const MatrixSet& matrices() {
    static const MatrixSet set = [] {
        MatrixSet s;
        for (int n = 1; n <= N; ++n) {
            s.dct[n][0] = dct(n);
            transposeInto(s.dct[n][0], n, s.dct[n][1]);
            if (n >= 2) {
                s.haar[n][0] = haar(n);
                transposeInto(s.haar[n][0], n, s.haar[n][1]);
            }
        }
        return s;
    }();
    return set;
}

double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 50; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

double kaiser(int x, int m) {
    if (m == 1) return 1.0;
    const double t = 2.0 * x / (m - 1) - 1.0;
    return besselI0(2.0 * std::sqrt(std::max(0.0, 1.0 - t * t))) / besselI0(2.0);
}

bool inRange(int n, int lo) { return n >= lo && n <= N; }

}  // namespace

const float* generatedDct(int n, bool inverse) {
    return inRange(n, 1) ? matrices().dct[n][inverse ? 1 : 0].data() : nullptr;
}

const float* generatedHaar(int n, bool inverse) {
    return inRange(n, 2) ? matrices().haar[n][inverse ? 1 : 0].data() : nullptr;
}

const float* generatedKaiserWindow(Vec3<int> n) {
    if (!inRange(n.x, 1) || !inRange(n.y, 1) || !inRange(n.z, 1)) return nullptr;
    // Windows are made on first use and kept: a stage asks once, and few sizes are ever used.
    static std::mutex mutex;
    static std::map<int, std::unique_ptr<float[]>> windows;
    const int key = (n.x * (N + 1) + n.y) * (N + 1) + n.z;
    std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<float[]>& w = windows[key];
    if (!w) {
        w.reset(new float[static_cast<std::size_t>(n.x) * n.y * n.z]);
        std::size_t i = 0;
        for (int z = 0; z < n.z; ++z)
            for (int y = 0; y < n.y; ++y)
                for (int x = 0; x < n.x; ++x, ++i) {
                    w[i] = static_cast<float>(kaiser(x, n.x) * kaiser(y, n.y) * kaiser(z, n.z));
                }
    }
    return w.get();
}

bool generatedTransforms(Vec3<int> blockSize, Transforms& out) {
    const float* window = generatedKaiserWindow(blockSize);
    if (!window) return false;
    Transforms t{};
    for (int d = 0; d < 3; ++d) {
        const int n = blockSize[d];
        t.fwd[d] = n == 1 ? &ONE : generatedDct(n, false);
        t.inv[d] = n == 1 ? &ONE : generatedDct(n, true);
    }
    t.groupFwd = HAAR_NL_FWD;
    t.groupInv = HAAR_NL_INV;
    t.window = window;
    out = t;
    return true;
}

}  // namespace kelvo
