// Block matching alone over one slice of references of a 181x217 volume, with the default
// volume profile's collection (every x and y position, split along z) and search windows:
// nanoseconds of thread CPU time per candidate for several orders of visiting the slice's
// references, run alternately, one search per call or in batches (getBlockMatchesBatch),
// against the same window repeated (its blocks stay in the caches). This separates what the
// walk costs in memory from what a candidate costs in arithmetic.
//
//   walk_bench [ROUNDS] [NOISY.raw PILOT.raw X Y Z]
//
// The volumes are float32 raw files, x fastest (by default a phantom made here); the slice
// matched is grid plane 5 (z = 15). Last, single searches and batches take turns batch by
// batch, alternating which goes first, so that both see the same machine: thread CPU time per
// candidate of each.
//
// Two cases: "ht" (noisy blocks, a noise offset subtracted from every distance, radius 4,
// groups of 16: the hard-thresholding search) and "wiener" (smooth blocks without offset,
// radius 5, groups of 32: the pilot's search).
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "dct4_matrix.h"
#include "kelvo/engine/block_collection.h"
#include "kelvo/engine/block_matching.h"
#include "kelvo/engine/thread_pool.h"

using namespace kelvo;

namespace {

Vec3<int> SIZE{181, 217, 40};
const Vec3<int> BLOCK{4, 4, 4};
const Vec3<TransformsMetas::StandardTransform> KINDS{
    TransformsMetas::DCT4_FWD, TransformsMetas::DCT4_FWD, TransformsMetas::DCT4_FWD};

double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Nested ellipsoids with a gradient (smooth) plus Gaussian noise of `sigma`, fixed seed.
std::vector<float> volume(float sigma) {
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0.f, sigma);
    std::vector<float> v(static_cast<std::size_t>(SIZE.x) * SIZE.y * SIZE.z);
    std::size_t i = 0;
    for (int z = 0; z < SIZE.z; ++z)
        for (int y = 0; y < SIZE.y; ++y)
            for (int x = 0; x < SIZE.x; ++x, ++i) {
                const double u = 2.0 * x / SIZE.x - 1, w = 2.0 * y / SIZE.y - 1;
                double s = 0.2 + 0.1 * u;
                if (u * u / 0.7 + w * w / 0.5 < 1) s = 0.5 + 0.1 * w + 0.05 * std::sin(0.3 * z);
                if ((u - 0.3) * (u - 0.3) + (w + 0.2) * (w + 0.2) < 0.06) s = 0.9;
                v[i] = static_cast<float>(s) + noise(rng);
            }
    return v;
}

struct Case {
    const char* name;
    float sigma;  // noise of the phantom made here
    int radius;
    int group;
    float offset;  // subtracted from every distance
    bool pilot;    // searched in the pilot volume (the second file)
};

// References of grid slice zi = 5 (z = 15) in the order named by `order`: "rows" (x fastest,
// as the stage loop walks), "tiles:W" (columns of W grid points, every row of a column
// before the next), "repeat" (the slice's middle reference, as often as the slice has
// references).
std::vector<Vec3<int>> references(const std::string& order) {
    const int lastX = SIZE.x - BLOCK.x, lastY = SIZE.y - BLOCK.y;
    const int nx = lastX / 3 + 1, ny = lastY / 3 + 1;
    std::vector<Vec3<int>> r;
    if (order == "repeat") {
        r.assign(static_cast<std::size_t>(nx) * ny, {3 * (nx / 2), 3 * (ny / 2), 15});
        return r;
    }
    const int w = order.rfind("tiles:", 0) == 0 ? std::atoi(order.c_str() + 6) : nx;
    for (int x0 = 0; x0 < nx; x0 += w)
        for (int yi = 0; yi < ny; ++yi)
            for (int xi = x0; xi < std::min(nx, x0 + w); ++xi) r.push_back({3 * xi, 3 * yi, 15});
    return r;
}

std::vector<float> readRaw(const char* path) {
    std::vector<float> v(static_cast<std::size_t>(SIZE.x) * SIZE.y * SIZE.z);
    FILE* f = std::fopen(path, "rb");
    if (!f || std::fread(v.data(), sizeof(float), v.size(), f) != v.size()) {
        std::fprintf(stderr, "cannot read %zu floats from %s\n", v.size(), path);
        std::exit(1);
    }
    std::fclose(f);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    const bool files = argc > 6;
    if (files) SIZE = {std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6])};
    const std::vector<float> m = dct4();
    const Case cases[] = {{"ht", 0.1f, 4, 16, 1.28f, false}, {"wiener", 0.02f, 5, 32, 0.0f, true}};
    const std::vector<std::string> orders = {"rows", "rows+batch", "tiles:4", "tiles:4+batch",
                                             "repeat"};
    THREAD_POOL.launchPool(1);
    for (const Case& k : cases) {
        const std::vector<float> v = files ? readRaw(argv[k.pilot ? 3 : 2]) : volume(k.sigma);
        const ImageData<float> image(v.data(), SIZE);
        Parameters p{};
        p.blockSize = BLOCK;
        p.fftSize = {8, 8, 8};
        p.maxGroupSize = k.group;
        p.varianceLimit = 2;
        TempMemory temp = createTempMemory<float>(p);
        const Vec3<int> radius{k.radius, k.radius, k.radius};
        BlockCollection<float> c;
        if (!c.allocate(SIZE, BLOCK, {SIZE.x + 1, SIZE.y + 1, k.radius + 1})) return 1;
        const Vec3<const float*> mats{m.data(), m.data(), m.data()};
        moveCollections<HARD_THRESHOLDING>({0, 0, 15}, radius, BLOCK, mats, KINDS, temp, image,
                                           nullptr, c, nullptr);
        const int side = 2 * k.radius + 1;
        std::vector<float> offsets(static_cast<std::size_t>(side) * side * side, k.offset);
        std::vector<BlockDistance<float>> matches(static_cast<std::size_t>(k.group));
        std::printf("%s (radius %d, groups of %d): ns per candidate\n", k.name, k.radius, k.group);
        // One timed pass over `refs`, in batches of `batch` consecutive references (one
        // getBlockMatches call each when batch is 1); returns the candidates examined.
        std::vector<BlockDistance<float>> batchMatches(
            static_cast<std::size_t>(MATCH_BATCH * k.group));
        const auto pass = [&](const std::vector<Vec3<int>>& refs, std::size_t begin,
                              std::size_t end, int batch, double& seconds) {
            long long candidates = 0;
            int counts[MATCH_BATCH];
            const double t0 = cpuSeconds();
            for (std::size_t i = begin; i < end; i += static_cast<std::size_t>(batch)) {
                const int n = static_cast<int>(std::min<std::size_t>(batch, end - i));
                if (batch == 1) {
                    Vec3<int> lo{}, hi{};
                    setSearchWindow(refs[i], radius, BLOCK, SIZE, lo, hi);
                    getBlockMatches<float>(c, offsets.data(), refs[i], BLOCK, radius, lo, hi,
                                           k.group, 2, 1e9f, matches.data(), counts[0]);
                } else {
                    getBlockMatchesBatch(c, offsets.data(), &refs[i], n, BLOCK, radius, SIZE,
                                         k.group, 2, 1e9f, batchMatches.data(), counts);
                }
            }
            seconds += cpuSeconds() - t0;
            for (std::size_t i = begin; i < end; ++i) {
                Vec3<int> lo{}, hi{};
                setSearchWindow(refs[i], radius, BLOCK, SIZE, lo, hi);
                candidates += static_cast<long long>(hi.x - lo.x + 1) * (hi.y - lo.y + 1) *
                                  (hi.z - lo.z + 1) -
                              1;
            }
            return candidates;
        };
        std::vector<std::vector<double>> ns(orders.size());
        for (int round = 0; round < rounds; ++round) {
            for (std::size_t o = 0; o < orders.size(); ++o) {
                const std::string order = orders[o];
                const bool batched = order.find("+batch") != std::string::npos;
                const std::vector<Vec3<int>> refs = references(order.substr(0, order.find('+')));
                double seconds = 0.0;
                const long long candidates =
                    pass(refs, 0, refs.size(), batched ? MATCH_BATCH : 1, seconds);
                ns[o].push_back(1e9 * seconds / static_cast<double>(candidates));
            }
        }
        for (std::size_t o = 0; o < orders.size(); ++o) {
            std::printf("  %-12s", orders[o].c_str());
            for (double x : ns[o]) std::printf(" %6.2f", x);
            std::printf("   best %6.2f\n", *std::min_element(ns[o].begin(), ns[o].end()));
        }
        // Single searches against batches, alternating batch by batch which goes first.
        const std::vector<Vec3<int>> refs = references("rows");
        double seconds[2] = {0, 0};
        long long candidates = 0;
        for (int round = 0; round < rounds; ++round) {
            for (std::size_t i = 0, b = 0; i < refs.size(); i += MATCH_BATCH, ++b) {
                const std::size_t end = std::min(refs.size(), i + MATCH_BATCH);
                for (int p = 0; p < 2; ++p) {
                    const int batched = static_cast<int>((b + round + p) % 2);
                    const long long n =
                        pass(refs, i, end, batched ? MATCH_BATCH : 1, seconds[batched]);
                    if (batched) candidates += n;
                }
            }
        }
        std::printf("  interleaved: single %6.2f, batches of %d %6.2f\n",
                    1e9 * seconds[0] / static_cast<double>(candidates), MATCH_BATCH,
                    1e9 * seconds[1] / static_cast<double>(candidates));
    }
    THREAD_POOL.clearPool();
    return 0;
}
