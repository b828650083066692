// Both stages end to end on a 3-D phantom and a 2-D image, with 1 and 2 threads. Each
// configuration runs in its own child process so that its peak memory can be reported.
//
//   build/release/bench/stage_bench            # every configuration
//   build/release/bench/stage_bench 3d 2       # one: 3d|2d, thread count
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kelvo/interface.h"

using namespace kelvo;

namespace {

std::vector<float> phantom(Vec3<int> s) {
    std::vector<float> v(static_cast<std::size_t>(s.x) * s.y * s.z);
    for (int z = 0; z < s.z; ++z)
        for (int y = 0; y < s.y; ++y)
            for (int x = 0; x < s.x; ++x) {
                const double u = 2.0 * x / s.x - 1, w = 2.0 * y / s.y - 1,
                             t = s.z > 1 ? 2.0 * z / s.z - 1 : 0.0;
                double val = 0.2 + 0.1 * u;
                if (u * u / 0.7 + w * w / 0.5 + t * t / 0.8 < 1) val = 0.5 + 0.1 * w;
                if ((u - 0.3) * (u - 0.3) + (w + 0.2) * (w + 0.2) + t * t < 0.06) val = 0.9;
                v[static_cast<std::size_t>((z * s.y + y) * s.x + x)] = static_cast<float>(val);
            }
    return v;
}

Parameters parameters(Vec3<int> size, float sigma, bool wiener, int threads) {
    const bool vol = size.z > 1;
    Parameters p{};
    p.blockSize = vol ? Vec3<int>{4, 4, 4} : Vec3<int>{8, 8, 1};
    p.fftSize = vol ? Vec3<int>{8, 8, 8} : Vec3<int>{32, 32, 1};
    p.realFft = true;
    p.maxGroupSize = wiener ? 32 : 16;
    p.varianceLimit = 4;
    p.threshold = wiener ? 1.0f : 2.7f;
    p.thresholdSquared = p.threshold * p.threshold;
    p.secondThreshold = p.threshold;
    p.searchRadius = vol ? Vec3<int>{5, 5, 5} : Vec3<int>{12, 12, 0};
    p.imageSize = size;
    p.psdSize = {1, 1, 1};
    p.stepSize = vol ? Vec3<int>{3, 3, 3} : Vec3<int>{3, 3, 1};
    p.minGroupSize = 2;
    const float B = static_cast<float>(p.blockSize.x * p.blockSize.y * p.blockSize.z);
    p.matchThreshold = (wiener ? 0.4f : 2.0f) * 2.0f * B * sigma * sigma;
    p.splitComp[2] = vol;
    for (int d = 0; d < 3; ++d) p.shiftCount[d] = 1;
    p.sharpenAlpha = p.sharpenAlphaFirstSlice = 1.0f;
    p.numThreads = threads;
    return p;
}

double seconds(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

int runOne(bool volumetric, int threads) {
    const Vec3<int> size = volumetric ? Vec3<int>{128, 128, 128} : Vec3<int>{512, 512, 1};
    const float sigma = 0.1f;
    const std::vector<float> clean = phantom(size);
    std::vector<float> noisy(clean);
    std::mt19937 rng(42);
    std::normal_distribution<float> normal(0.0f, sigma);
    for (float& v : noisy) v += normal(rng);
    const std::vector<float> psd{sigma * sigma};
    const Transforms none{{nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr}, nullptr,
                          nullptr, nullptr};
    std::vector<float> pilot(noisy.size(), 0.0f), out(noisy.size(), 0.0f);

    auto t0 = std::chrono::steady_clock::now();
    kelvoInterfaceHT(noisy.data(), psd.data(), pilot.data(), nullptr,
                     parameters(size, sigma, false, threads), none);
    const double ht = seconds(t0);
    t0 = std::chrono::steady_clock::now();
    kelvoInterfaceWie(noisy.data(), psd.data(), pilot.data(), out.data(), nullptr,
                      parameters(size, sigma, true, threads), none);
    const double wie = seconds(t0);

    double se = 0, se0 = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        se += (out[i] - clean[i]) * double(out[i] - clean[i]);
        se0 += (noisy[i] - clean[i]) * double(noisy[i] - clean[i]);
    }
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const double n = static_cast<double>(out.size());
    std::printf("%-3s %dx%dx%d threads %d: HT %.2f s, Wiener %.2f s, total %.2f s, %.2f Mvoxel/s, "
                "peak %.0f MiB, PSNR %.2f -> %.2f dB\n",
                volumetric ? "3d" : "2d", size.x, size.y, size.z, threads, ht, wie, ht + wie,
                n / (ht + wie) / 1e6, ru.ru_maxrss / 1024.0, 10 * std::log10(n / se0),
                10 * std::log10(n / se));
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) return runOne(std::strcmp(argv[1], "3d") == 0, std::atoi(argv[2]));
    for (const char* kind : {"3d", "2d"}) {
        for (int threads : {1, 2}) {
            const pid_t pid = fork();
            if (pid == 0) _exit(runOne(std::strcmp(kind, "3d") == 0, threads));
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
    return 0;
}
