// kelvo::denoise called from several threads at once: every call finishes and gives the
// result it gives alone, bit for bit, and a call made from inside a running call is refused
// instead of waiting for ever.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kelvo/kelvo.h"
#include "kelvo/synthetic.h"

namespace kelvo {
namespace {

struct Job {
    Size3 size;
    std::vector<float> noisy;
    Profile profile;
    std::vector<float> alone;
};

Job makeJob(Size3 size, std::uint64_t seed) {
    Job j;
    j.size = size;
    j.noisy = makePhantom(size);
    const std::vector<float> noise = gaussianNoise(j.noisy.size(), seed);
    for (std::size_t i = 0; i < noise.size(); ++i) j.noisy[i] += 0.1f * noise[i];
    j.profile = Profile::defaults(size[2] > 1);
    j.profile.numThreads = 2;
    return j;
}

float maxAbsDifference(const std::vector<float>& a, const std::vector<float>& b) {
    float m = 0.0f;
    for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
    return m;
}

TEST(ConcurrentCalls, FinishAndMatchTheSameCallMadeAlone) {
    Job jobs[2] = {makeJob({56, 48, 1}, 11), makeJob({24, 20, 16}, 12)};
    for (Job& j : jobs) j.alone = denoise(j.noisy, j.size, Noise::white(0.1), j.profile);

    constexpr int ROUNDS = 6;
    std::vector<float> worst[2] = {std::vector<float>(ROUNDS, -1.0f),
                                   std::vector<float>(ROUNDS, -1.0f)};
    std::vector<std::future<void>> runs;
    for (int t = 0; t < 2; ++t) {
        runs.push_back(std::async(std::launch::async, [&, t] {
            for (int r = 0; r < ROUNDS; ++r) {
                const std::vector<float> out =
                    denoise(jobs[t].noisy, jobs[t].size, Noise::white(0.1), jobs[t].profile);
                worst[t][r] = maxAbsDifference(out, jobs[t].alone);
            }
        }));
    }
    // A deadlock would otherwise hang the suite: report it and stop the process.
    for (std::future<void>& f : runs) {
        if (f.wait_for(std::chrono::minutes(10)) != std::future_status::ready) {
            std::fprintf(stderr, "concurrent denoise calls did not finish: deadlock\n");
            std::fflush(stderr);
            std::_Exit(1);
        }
        f.get();
    }
    // The engine's threads add the samples they share in a fixed order, whatever their
    // timing: the same bits every time (these small volumes share most of their samples).
    for (int t = 0; t < 2; ++t) {
        std::printf("job %d: largest difference from the call alone %g\n", t,
                    *std::max_element(worst[t].begin(), worst[t].end()));
        for (int r = 0; r < ROUNDS; ++r)
            EXPECT_EQ(worst[t][r], 0.0f) << "job " << t << " round " << r;
    }
}

TEST(ConcurrentCalls, ACallFromAProgressCallbackIsRefused) {
    const Job j = makeJob({32, 32, 1}, 13);
    DenoiseOptions options;
    bool refused = false;
    options.progress = [&](int, float) {
        if (refused) return;
        try {
            denoise(j.noisy, j.size, Noise::white(0.1), j.profile);
        } catch (const std::logic_error&) {
            refused = true;
        }
    };
    const std::vector<float> out = denoise(j.noisy, j.size, Noise::white(0.1), j.profile, options);
    EXPECT_TRUE(refused);
    // The outer call is unharmed.
    EXPECT_LT(maxAbsDifference(out, denoise(j.noisy, j.size, Noise::white(0.1), j.profile)), 2e-6f);
}

}  // namespace
}  // namespace kelvo
