// Both stages end to end. Each configuration runs in its own child process so that its peak
// memory (maximum resident set) is its own.
//
//   stage_bench                    # 128^3 phantom and 512x512 image, 1 and 2 threads
//   stage_bench 3d|2d T            # one of those with T threads
//   stage_bench big [T]            # 181x217x181, default volume profile, T threads (2)
//   stage_bench image [T]          # 512x512, default image profile, T threads (2)
//   stage_bench mid [T]            # 96^3, default volume profile, T threads (2)
//   stage_bench speedup [big|mid|image] [ROUNDS]  # that case with 1 and 2 threads, and the
//                                  # ratio; over ROUNDS alternated rounds (1), also the median
//   stage_bench counts [big|image] # the work the stages do (group sizes from a match record)
//   stage_bench raw IN OUT X Y Z SIGMA [T]  # both stages on a float32 raw volume (X fastest),
//                                  # default profile, white noise SIGMA; the estimate to OUT
//                                  # (used by bench/compare_nlm.py)
//
// The "big", "mid" and "image" cases take the default profile of the API (white noise of standard
// deviation 0.1 on a range of 1, flat PSD) and print per stage, and for the refinement pass
// that follows them, the wall and CPU seconds, Mvoxel/s and the peak memory of the process.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kelvo/engine/interface.h"
#include "kelvo/engine/reference_grid.h"
#include "kelvo/kelvo.h"
#include "kelvo/profile.h"
#include "kelvo/stage_records.h"

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
                v[static_cast<std::size_t>((static_cast<long long>(z) * s.y + y) * s.x + x)] =
                    static_cast<float>(val);
            }
    return v;
}

// The stage record of the API's default profile for white noise of standard deviation sigma,
// as kelvo::denoise builds it.
Parameters profileParameters(Vec3<int> size, float sigma, bool wiener, int threads) {
    Profile pr = Profile::defaults(size.z > 1);
    pr.numThreads = threads;
    return stageParameters(wiener ? WIENER : HARD_THRESHOLDING, pr, Size3{size.x, size.y, size.z},
                           Noise::white(sigma));
}

// The PSD that goes with profileParameters (constant on the profile's FFT grid).
std::vector<float> profilePsd(Vec3<int> size, float sigma) {
    return enginePsd(Noise::white(sigma), Profile::defaults(size.z > 1), nullptr);
}

// The record the older configurations used (search radius 5 in 3-D, 12 in 2-D).
Parameters legacyParameters(Vec3<int> size, float sigma, bool wiener, int threads) {
    Parameters p = profileParameters(size, sigma, wiener, threads);
    const bool vol = size.z > 1;
    p.searchRadius = vol ? Vec3<int>{5, 5, 5} : Vec3<int>{12, 12, 0};
    p.splitComp[0] = p.splitComp[1] = false;
    p.splitComp[2] = vol;
    return p;
}

double seconds(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           1e-6 * (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

double peakMiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024.0;
}

const Transforms NONE{
    {nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr}, nullptr, nullptr, nullptr};

struct Case {
    Vec3<int> size;
    std::vector<float> clean, noisy;
};

Case makeCase(Vec3<int> size, float sigma) {
    Case c{size, phantom(size), {}};
    c.noisy = c.clean;
    std::mt19937 rng(42);  // fixed seed
    std::normal_distribution<float> normal(0.0f, sigma);
    for (float& v : c.noisy) v += normal(rng);
    return c;
}

double psnr(const std::vector<float>& a, const std::vector<float>& b) {
    double se = 0;
    for (std::size_t i = 0; i < a.size(); ++i) se += (a[i] - b[i]) * double(a[i] - b[i]);
    return 10 * std::log10(static_cast<double>(a.size()) / se);
}

// Runs both stages; prints one line per stage and one for both. Returns the total seconds.
double runStages(const Case& c, Parameters (*record)(Vec3<int>, float, bool, int), int threads,
                 const char* label) {
    const float sigma = 0.1f;
    const std::vector<float> psd = profilePsd(c.size, sigma);
    std::vector<float> pilot(c.noisy.size(), 0.0f), out(c.noisy.size(), 0.0f);
    const double n = static_cast<double>(c.noisy.size());

    double cpu0 = cpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    kelvoInterfaceHT(c.noisy.data(), psd.data(), pilot.data(), nullptr,
                     record(c.size, sigma, false, threads), NONE);
    const double ht = seconds(t0), htCpu = cpuSeconds() - cpu0;
    const double htPeak = peakMiB();
    cpu0 = cpuSeconds();
    t0 = std::chrono::steady_clock::now();
    kelvoInterfaceWie(c.noisy.data(), psd.data(), pilot.data(), out.data(), nullptr,
                      record(c.size, sigma, true, threads), NONE);
    const double wie = seconds(t0), wieCpu = cpuSeconds() - cpu0;
    std::printf("%s %dx%dx%d threads %d\n", label, c.size.x, c.size.y, c.size.z, threads);
    std::printf("  HT      %7.2f s (cpu %7.2f s) %6.2f Mvoxel/s  peak %6.0f MiB  PSNR %.2f dB\n",
                ht, htCpu, n / ht / 1e6, htPeak, psnr(pilot, c.clean));
    std::printf("  Wiener  %7.2f s (cpu %7.2f s) %6.2f Mvoxel/s  peak %6.0f MiB  PSNR %.2f dB\n",
                wie, wieCpu, n / wie / 1e6, peakMiB(), psnr(out, c.clean));
    std::printf("  both    %7.2f s (cpu %7.2f s) %6.2f Mvoxel/s  noisy PSNR %.2f dB\n", ht + wie,
                htCpu + wieCpu, n / (ht + wie) / 1e6, psnr(c.noisy, c.clean));
    std::fflush(stdout);
    if (record != profileParameters) return ht + wie;

    // The default profile's refinement pass on the Wiener estimate, as kelvo::denoise runs it.
    Profile pr = Profile::defaults(c.size.z > 1);
    pr.numThreads = threads;
    const Size3 size{c.size.x, c.size.y, c.size.z};
    if (!refinementApplies(size, Noise::white(sigma), pr)) return ht + wie;
    cpu0 = cpuSeconds();
    t0 = std::chrono::steady_clock::now();
    refineEstimate(c.noisy.data(), out.data(), out.data(),
                   refinementParameters(pr, size, Noise::white(sigma)));
    const double refine = seconds(t0), refineCpu = cpuSeconds() - cpu0;
    std::printf("  refine  %7.2f s (cpu %7.2f s) %6.2f Mvoxel/s  peak %6.0f MiB  PSNR %.2f dB\n",
                refine, refineCpu, n / refine / 1e6, peakMiB(), psnr(out, c.clean));
    std::printf("  all     %7.2f s (cpu %7.2f s)\n", ht + wie + refine, htCpu + wieCpu + refineCpu);
    std::fflush(stdout);
    return ht + wie + refine;
}

Vec3<int> caseSize(const std::string& which) {
    if (which == "image") return {512, 512, 1};
    return which == "mid" ? Vec3<int>{96, 96, 96} : Vec3<int>{181, 217, 181};
}

// Runs `f` in a child process; the child writes one double back through a pipe.
template <typename F>
double inChild(F f) {
    int fd[2];
    if (pipe(fd) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fd[0]);
        const double r = f();
        if (write(fd[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(1);
        _exit(0);
    }
    close(fd[1]);
    double r = -1;
    if (read(fd[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) r = -1;
    close(fd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return r;
}

// Work counts of both stages on one case: the group sizes come from a match record.
int counts(const std::string& which) {
    const Vec3<int> size = caseSize(which);
    const Case c = makeCase(size, 0.1f);
    const float sigma = 0.1f;
    const std::vector<float> psd = profilePsd(size, sigma);
    std::vector<float> pilot(c.noisy.size(), 0.0f), out(c.noisy.size(), 0.0f);
    std::printf("work counts, %dx%dx%d, default profile, sigma 0.1\n", size.x, size.y, size.z);
    for (int stage = 0; stage < 2; ++stage) {
        const Parameters p = profileParameters(size, sigma, stage == 1, 2);
        const long long locations = ReferenceGrid(p).locationCount();
        std::vector<std::int32_t> sizes(static_cast<std::size_t>(locations));
        std::vector<std::int32_t> pos(static_cast<std::size_t>(locations * p.maxGroupSize * 3));
        std::vector<std::int32_t> sh(pos.size());
        BlockMatchStorage rec;
        rec.maxGroupSize = p.maxGroupSize;
        rec.groupSizes = sizes.data();
        rec.blockPositions = pos.data();
        rec.shiftedPositions = sh.data();
        if (stage == 0) {
            kelvoInterfaceHT(c.noisy.data(), psd.data(), pilot.data(), &rec, p, NONE);
        } else {
            kelvoInterfaceWie(c.noisy.data(), psd.data(), pilot.data(), out.data(), &rec, p, NONE);
        }
        // Reference locations actually filtered and the candidates their windows hold: the
        // walk of the stage loop (grid points past the last block position clamp to it).
        const Vec3<int> last{std::max(0, size.x - p.blockSize.x),
                             std::max(0, size.y - p.blockSize.y),
                             std::max(0, size.z - p.blockSize.z)};
        long long filtered = 0, candidates = 0;
        std::vector<int> axis[3];
        std::vector<long long> span[3];
        for (int d = 0; d < 3; ++d) {
            for (int g = 0; g < size[d] + p.stepSize[d]; g += p.stepSize[d]) {
                if (g >= last[d] + p.stepSize[d]) continue;
                const int q = std::min(g, last[d]);
                const int lo = std::max(0, q - p.searchRadius[d]);
                const int hi = std::min(q + p.searchRadius[d], last[d]);
                span[d].push_back(hi - lo + 1);
            }
        }
        for (long long a : span[2])
            for (long long b : span[1])
                for (long long e : span[0]) {
                    ++filtered;
                    candidates += a * b * e - 1;
                }
        long long members = 0;
        int histogram[65] = {};
        for (std::int32_t g : sizes) {
            members += g;
            if (g >= 0 && g <= 64) ++histogram[g];
        }
        const long long B = static_cast<long long>(p.blockSize.x) * p.blockSize.y * p.blockSize.z;
        const long long positions = static_cast<long long>(size.x - p.blockSize.x + 1) *
                                    (size.y - p.blockSize.y + 1) * (size.z - p.blockSize.z + 1);
        const int F0 = p.fftSize.x / 2 + 1;
        const long long m = static_cast<long long>(F0) * p.fftSize.y * p.fftSize.z;
        long long exact = 0;  // group components with the exact variance
        for (int g = 1; g <= 64; ++g)
            exact += static_cast<long long>(histogram[g]) * std::min(g, p.varianceLimit);
        std::printf(
            "%s: %lld locations, %lld group members (mean group %.2f; groups of 1/2/4/8/16/32: "
            "%d/%d/%d/%d/%d/%d)\n",
            stage == 0 ? "hard thresholding" : "Wiener", filtered, members,
            double(members) / filtered, histogram[1], histogram[2], histogram[4], histogram[8],
            histogram[16], histogram[32]);
        std::printf("  candidate block distances %lld (%lld floats each at most)\n", candidates, B);
        // One collection per stage (block positions); the Wiener stage also transforms the
        // noisy blocks of every group's members.
        std::printf("  forward block transforms  %lld (the collection's block positions)",
                    positions);
        if (stage == 0) {
            std::printf("\n");
        } else {
            std::printf(" + %lld (noisy members)\n", members);
        }
        std::printf("  inverse block transforms  %lld\n", members);
        std::printf(
            "  group transforms          %lld member-coefficients forward (x%d), %lld inverse\n",
            members * B, stage == 0 ? 1 : 2, members * B);
        std::printf(
            "  variance products         %lld multiply-adds (%lld exact components x %lld x "
            "%lld)\n",
            exact * m * B, exact, m, B);
        std::printf("  aggregation additions     %lld (numerator and weights)\n", 2 * members * B);
    }
    return 0;
}

// Both stages on a raw float32 volume; prints the seconds of each stage.
int rawFile(int argc, char** argv) {
    if (argc < 8) {
        std::fprintf(stderr, "usage: stage_bench raw IN OUT X Y Z SIGMA [THREADS]\n");
        return 2;
    }
    const Vec3<int> size{std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6])};
    const float sigma = static_cast<float>(std::atof(argv[7]));
    const int threads = argc > 8 ? std::atoi(argv[8]) : 2;
    std::vector<float> noisy(static_cast<std::size_t>(size.x) * size.y * size.z);
    FILE* in = std::fopen(argv[2], "rb");
    if (!in || std::fread(noisy.data(), sizeof(float), noisy.size(), in) != noisy.size()) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        if (in) std::fclose(in);
        return 1;
    }
    std::fclose(in);
    const std::vector<float> psd = profilePsd(size, sigma);
    std::vector<float> pilot(noisy.size(), 0.0f), out(noisy.size(), 0.0f);
    auto t0 = std::chrono::steady_clock::now();
    kelvoInterfaceHT(noisy.data(), psd.data(), pilot.data(), nullptr,
                     profileParameters(size, sigma, false, threads), NONE);
    const double ht = seconds(t0);
    t0 = std::chrono::steady_clock::now();
    kelvoInterfaceWie(noisy.data(), psd.data(), pilot.data(), out.data(), nullptr,
                      profileParameters(size, sigma, true, threads), NONE);
    const double wie = seconds(t0);
    FILE* o = std::fopen(argv[3], "wb");
    if (!o || std::fwrite(out.data(), sizeof(float), out.size(), o) != out.size()) {
        std::fprintf(stderr, "cannot write %s\n", argv[3]);
        if (o) std::fclose(o);
        return 1;
    }
    std::fclose(o);
    std::printf("HT %.3f s, Wiener %.3f s, both %.3f s, peak %.0f MiB\n", ht, wie, ht + wie,
                peakMiB());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "3d" || mode == "2d") {
        const Case c =
            makeCase(mode == "3d" ? Vec3<int>{128, 128, 128} : Vec3<int>{512, 512, 1}, 0.1f);
        runStages(c, legacyParameters, argc > 2 ? std::atoi(argv[2]) : 2, mode.c_str());
        return 0;
    }
    if (mode == "big" || mode == "mid" || mode == "image") {
        const Case c = makeCase(caseSize(mode), 0.1f);
        runStages(c, profileParameters, argc > 2 ? std::atoi(argv[2]) : 2, mode.c_str());
        return 0;
    }
    if (mode == "speedup") {
        const std::string which = argc > 2 ? argv[2] : "big";
        const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
        // Rounds alternate which thread count runs first, so that a change of the host's
        // speed during the benchmark falls on both.
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round) {
            double t[3] = {0, 0, 0};
            for (int threads : round % 2 == 0 ? std::vector<int>{1, 2} : std::vector<int>{2, 1}) {
                t[threads] = inChild([&] {
                    const Case c = makeCase(caseSize(which), 0.1f);
                    return runStages(c, profileParameters, threads, which.c_str());
                });
            }
            ratios.push_back(t[1] / t[2]);
            std::printf("speed-up 1 -> 2 threads: %.2fx (%.2f s -> %.2f s)\n", t[1] / t[2], t[1],
                        t[2]);
            std::fflush(stdout);  // before the next child inherits the buffer
        }
        if (rounds > 1) {
            std::sort(ratios.begin(), ratios.end());
            std::printf("median speed-up over %d rounds: %.2fx\n", rounds,
                        ratios[ratios.size() / 2]);
        }
        return 0;
    }
    if (mode == "counts") return counts(argc > 2 ? argv[2] : "big");
    if (mode == "raw") return rawFile(argc, argv);
    for (const char* kind : {"3d", "2d"}) {
        for (int threads : {1, 2}) {
            inChild([&] {
                const Case c = makeCase(std::strcmp(kind, "3d") == 0 ? Vec3<int>{128, 128, 128}
                                                                     : Vec3<int>{512, 512, 1},
                                        0.1f);
                return runStages(c, legacyParameters, threads, kind);
            });
        }
    }
    return 0;
}
