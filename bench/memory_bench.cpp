// Peak memory of a whole denoising run: generates a noisy phantom of the given size, runs
// kelvo::denoise and prints the process's peak resident size next to the library's own
// estimate (estimateMemory plus the input and output the caller holds).
//
// usage: memory_bench NX NY NZ [ht|all] [THREADS]
//   memory_bench 4096 4096 1          # a large image, both stages
//   memory_bench 512 512 512 all 2    # a large volume, both stages, two threads
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kelvo/kelvo.h"
#include "kelvo/synthetic.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: memory_bench NX NY NZ [ht|all] [THREADS]\n");
        return 2;
    }
    const kelvo::Size3 size{std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3])};
    const bool both = argc < 5 || std::string(argv[4]) != "ht";
    kelvo::Profile profile = kelvo::Profile::defaults(size[2] > 1);
    profile.numThreads = argc > 5 ? std::atoi(argv[5]) : 0;

    // The input: a phantom with white noise of sigma 0.1 added in place (fixed seed), so that
    // no second volume-sized buffer inflates the peak.
    std::vector<float> volume = kelvo::makePhantom(size);
    std::mt19937 rng(1234);
    std::normal_distribution<float> normal(0.0f, 0.1f);
    for (float& v : volume) v += normal(rng);

    const kelvo::Noise noise = kelvo::Noise::white(0.1);
    kelvo::DenoiseOptions options;
    options.stages = both ? kelvo::Stages::Both : kelvo::Stages::HardThresholding;
    const double bytes = double(volume.size()) * sizeof(float);
    const double estimate =
        double(kelvo::estimateMemory(size, noise, profile, options)) + 2 * bytes;

    const auto start = std::chrono::steady_clock::now();
    std::vector<float> out = kelvo::denoise(volume, size, noise, profile, options);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double gib = 1024.0 * 1024.0 * 1024.0;
    std::printf(
        "%dx%dx%d, %s, %d threads: peak resident %.2f GiB, estimate %.2f GiB "
        "(input and output %.2f GiB), %.1f s\n",
        size[0], size[1], size[2], both ? "both stages" : "hard thresholding", profile.numThreads,
        double(usage.ru_maxrss) * 1024.0 / gib, estimate / gib, 2 * bytes / gib, seconds);
    return out.empty() ? 1 : 0;
}
