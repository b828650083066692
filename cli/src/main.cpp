// The `kelvo` command-line tool: kelvo denoise IN OUT [options].
//
// Exit codes: 0 success, 1 failure (bad input, I/O, memory), 2 usage error, 130 interrupted.
// Every failure prints one line "kelvo: ..." on standard error; the output file appears only
// when it is complete (written to a temporary name in the same directory, then renamed).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "kelvo/kelvo.h"
#include "volume_io.h"

namespace {

using kelvo::Size3;
using kelvo::cli::IoError;

std::atomic<bool> interrupted{false};
extern "C" void onSignal(int) { interrupted = true; }

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char* USAGE =
    "usage: kelvo denoise IN OUT [options]\n"
    "  IN, OUT: .nii, .nii.gz, .tif/.tiff (multi-page stack) or .npy (same format family)\n"
    "noise (one of):\n"
    "  --sigma S          standard deviation of white noise, in the units of IN\n"
    "  --sigma auto       estimate it (per volume) from the finest wavelet details\n"
    "  --psd FILE         noise PSD, E|DFT|^2 on its own grid (.npy, .nii, .tif), dim 0 fastest\n"
    "  --psd auto         estimate a PSD (per volume) from flat patches\n"
    "options:\n"
    "  --stage ht|all     run hard thresholding only, or both stages (default all)\n"
    "  --threads N        worker threads (default: every core)\n"
    "  --threshold L      hard-thresholding multiplier lambda\n"
    "  --wiener-threshold W   multiplier of the noise variance in the Wiener gain\n"
    "  --search R[,R,R]   search radius per dimension (both stages)\n"
    "  --step S[,S,S]     reference step per dimension (both stages)\n"
    "  --block B[,B,B]    block size per dimension (both stages; 1 to 16, depth 1 on images;\n"
    "                     the noise grid grows to the block where it is smaller)\n"
    "  --group N[,M]      largest group, hard thresholding[,Wiener] (powers of two <= 64)\n"
    "  --match F[,G]      match threshold factor, hard thresholding[,Wiener]\n"
    "  --fft N[,N,N]      grid of the noise model (powers of two, 4..64)\n"
    "  --sharpen ALPHA    alpha rooting after hard thresholding\n"
    "  --float            write float32 samples instead of the input's data type\n"
    "  --quiet            no progress output\n"
    "  --help, --version\n";

std::vector<double> parseList(const std::string& opt, const std::string& text) {
    std::vector<double> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        char* end = nullptr;
        const double v = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || !std::isfinite(v))
            throw UsageError(opt + ": '" + text + "' is not a number or list of numbers");
        out.push_back(v);
    }
    if (out.empty()) throw UsageError(opt + " needs a value");
    return out;
}

double parseNumber(const std::string& opt, const std::string& text) {
    const std::vector<double> v = parseList(opt, text);
    if (v.size() != 1) throw UsageError(opt + " takes one number");
    return v[0];
}

int parseInt(const std::string& opt, double v) {
    if (v != std::floor(v) || v < 0 || v > 1e6) throw UsageError(opt + " needs whole numbers >= 0");
    return int(v);
}

std::array<int, 3> parseTriple(const std::string& opt, const std::string& text) {
    const std::vector<double> v = parseList(opt, text);
    if (v.size() != 1 && v.size() != 3) throw UsageError(opt + " takes 1 or 3 values");
    std::array<int, 3> out;
    for (int d = 0; d < 3; ++d) out[d] = parseInt(opt, v[v.size() == 1 ? 0 : d]);
    return out;
}

struct Options {
    std::string in, out;
    std::string sigma, psd;
    bool htOnly = false, quiet = false, asFloat = false;
    int threads = 0;
    std::vector<std::pair<std::string, std::string>> profileArgs;  // applied once dims known
};

Options parseArgs(int argc, char** argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw UsageError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("kelvo 0.1.0\n");
            std::exit(0);
        } else if (a == "--sigma") {
            o.sigma = value();
        } else if (a == "--psd") {
            o.psd = value();
        } else if (a == "--stage") {
            const std::string s = value();
            if (s != "ht" && s != "all") throw UsageError("--stage must be ht or all");
            o.htOnly = s == "ht";
        } else if (a == "--threads") {
            o.threads = parseInt(a, parseNumber(a, value()));
        } else if (a == "--quiet" || a == "-q") {
            o.quiet = true;
        } else if (a == "--float") {
            o.asFloat = true;
        } else if (a == "--threshold" || a == "--wiener-threshold" || a == "--search" ||
                   a == "--step" || a == "--block" || a == "--group" || a == "--match" || a == "--fft" ||
                   a == "--sharpen") {
            o.profileArgs.emplace_back(a, value());
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.empty() || positional[0] != "denoise")
        throw UsageError(positional.empty() ? "missing command (denoise)"
                                            : "unknown command '" + positional[0] + "'");
    if (positional.size() != 3) throw UsageError("denoise needs IN and OUT");
    o.in = positional[1];
    o.out = positional[2];
    if (o.sigma.empty() == o.psd.empty())
        throw UsageError("give exactly one of --sigma S, --sigma auto, --psd FILE, --psd auto");
    return o;
}

void applyProfileArgs(const Options& o, kelvo::Profile& p) {
    for (const auto& [opt, text] : o.profileArgs) {
        if (opt == "--threshold") {
            p.hardThreshold.threshold = float(parseNumber(opt, text));
        } else if (opt == "--wiener-threshold") {
            p.wiener.threshold = float(parseNumber(opt, text));
        } else if (opt == "--search") {
            p.hardThreshold.searchRadius = p.wiener.searchRadius = parseTriple(opt, text);
            if (p.hardThreshold.blockSize[2] == 1) p.hardThreshold.searchRadius[2] = p.wiener.searchRadius[2] = 0;
        } else if (opt == "--step") {
            p.hardThreshold.stepSize = p.wiener.stepSize = parseTriple(opt, text);
            if (p.hardThreshold.blockSize[2] == 1) p.hardThreshold.stepSize[2] = p.wiener.stepSize[2] = 1;
        } else if (opt == "--block") {
            const bool flat = p.hardThreshold.blockSize[2] == 1;
            p.hardThreshold.blockSize = p.wiener.blockSize = parseTriple(opt, text);
            if (flat) p.hardThreshold.blockSize[2] = p.wiener.blockSize[2] = 1;
            for (int d = 0; d < 3; ++d) {
                const int b = p.hardThreshold.blockSize[d];
                while (p.fftSize[d] > 1 && p.fftSize[d] < b) p.fftSize[d] *= 2;
            }
        } else if (opt == "--group" || opt == "--match") {
            const std::vector<double> v = parseList(opt, text);
            if (v.size() > 2) throw UsageError(opt + " takes 1 or 2 values");
            if (opt == "--group") {
                p.hardThreshold.maxGroupSize = parseInt(opt, v[0]);
                if (v.size() == 2) p.wiener.maxGroupSize = parseInt(opt, v[1]);
            } else {
                p.hardThreshold.matchThreshold = float(v[0]);
                if (v.size() == 2) p.wiener.matchThreshold = float(v[1]);
            }
        } else if (opt == "--fft") {
            p.fftSize = parseTriple(opt, text);
            if (p.hardThreshold.blockSize[2] == 1) p.fftSize[2] = 1;
        } else if (opt == "--sharpen") {
            p.sharpen = true;
            p.sharpenAlpha = p.sharpenAlphaFirstSlice = float(parseNumber(opt, text));
        }
    }
}

/// Progress display: a bar with stage, percentage and time left on a terminal, one plain
/// line per finished stage otherwise. Called from the engine's workers (serialised).
class Progress {
public:
    Progress(bool quiet, int volumes, int stages)
        : quiet_(quiet), tty_(isatty(STDERR_FILENO) == 1), volumes_(volumes), stages_(stages),
          start_(Clock::now()) {}

    void begin(int volume) {
        volume_ = volume;
        stageStart_ = Clock::now();
    }

    void update(int stage, float fraction) {
        if (quiet_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = Clock::now();
        if (stage != stage_) {
            stage_ = stage;
            stageStart_ = now;
        }
        const double done = (double(volume_ * stages_ + stage) + fraction) /
                            double(volumes_ * stages_);
        if (tty_) {
            if (fraction < 1.0f && now - lastDraw_ < std::chrono::milliseconds(100)) return;
            lastDraw_ = now;
            const double elapsed = seconds(now - start_);
            char left[32] = "--:--";
            if (done > 0.01) {
                const int s = int(elapsed / done * (1.0 - done) + 0.5);
                std::snprintf(left, sizeof left, "%d:%02d", s / 60, s % 60);
            }
            const int width = 24, filled = int(fraction * width);
            std::string bar(std::size_t(filled), '#');
            bar.append(std::size_t(width - filled), '.');
            std::fprintf(stderr, "\r%s%-18s [%s] %3d%%  %s left ", prefix().c_str(),
                         stageName(stage), bar.c_str(), int(fraction * 100.0f), left);
            std::fflush(stderr);
        } else if (fraction >= 1.0f && stage != lastLine_) {
            lastLine_ = stage;
            std::fprintf(stderr, "kelvo: %s%s done in %.1f s\n", prefix().c_str(),
                         stageName(stage), seconds(now - stageStart_));
        }
    }

    void endVolume() {
        lastLine_ = -1;
        stage_ = -1;
    }

    void finish() {
        if (!quiet_ && tty_) std::fprintf(stderr, "\n");
    }

    void note(const std::string& text) {
        if (quiet_) return;
        if (tty_) std::fprintf(stderr, "\r\033[K");
        std::fprintf(stderr, "kelvo: %s\n", text.c_str());
    }

private:
    using Clock = std::chrono::steady_clock;
    static double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
    static const char* stageName(int stage) {
        return stage == 0 ? "hard thresholding" : "Wiener filtering";
    }
    std::string prefix() const {
        return volumes_ > 1 ? "volume " + std::to_string(volume_ + 1) + "/" +
                                  std::to_string(volumes_) + " "
                            : std::string();
    }

    bool quiet_, tty_;
    int volumes_, stages_;
    int volume_ = 0, stage_ = -1, lastLine_ = -1;
    Clock::time_point start_, stageStart_, lastDraw_{};
    std::mutex mutex_;
};

/// A temporary file next to the final output, removed unless committed by rename.
class TempOutput {
public:
    explicit TempOutput(const std::string& finalPath) : final_(finalPath) {
        const std::size_t slash = finalPath.find_last_of('/');
        const std::string dir = slash == std::string::npos ? "" : finalPath.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
        // The extension stays last: the writers choose compression and format by it.
        temp_ = dir + ".kelvo-tmp-" + std::to_string(getpid()) + "-" + name;
    }
    ~TempOutput() {
        if (!committed_) std::remove(temp_.c_str());
    }
    const std::string& path() const { return temp_; }
    void commit() {
        if (std::rename(temp_.c_str(), final_.c_str()) != 0)
            throw IoError(final_ + ": cannot replace the output file (" + std::strerror(errno) + ")");
        committed_ = true;
    }

private:
    std::string final_, temp_;
    bool committed_ = false;
};

kelvo::Noise loadPsd(const std::string& path) {
    std::unique_ptr<kelvo::cli::VolumeFile> f = kelvo::cli::readVolume(path);
    if (f->dims[3] != 1) throw std::invalid_argument("PSD " + path + " must be 2-D or 3-D");
    for (int d = 0; d < 3; ++d)
        if (f->dims[d] > 1024)
            throw std::invalid_argument("PSD " + path + " is larger than 1024 along a dimension");
    try {
        return kelvo::Noise::spectrum(f->values, {int(f->dims[0]), int(f->dims[1]), int(f->dims[2])});
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("PSD " + path + ": " + e.what());
    }
}

int run(const Options& o) {
    const char* inFormat = kelvo::cli::formatOf(o.in);
    const char* outFormat = kelvo::cli::formatOf(o.out);
    if (!outFormat)
        throw UsageError(o.out + ": unsupported output type (use .nii, .nii.gz, .tif, .tiff or .npy)");
    if (inFormat && std::strcmp(inFormat, outFormat) != 0)
        throw UsageError(std::string("output must be a ") + inFormat + " file like the input");

    std::unique_ptr<kelvo::cli::VolumeFile> in = kelvo::cli::readVolume(o.in);
    for (int d = 0; d < 3; ++d)
        if (in->dims[d] > 1000000)
            throw std::invalid_argument(o.in + ": wrong dimensions (axis too long)");
    const Size3 size{int(in->dims[0]), int(in->dims[1]), int(in->dims[2])};
    const int volumes = int(in->dims[3]);
    const std::size_t count = std::size_t(size[0]) * size[1] * size[2];

    kelvo::Noise fixed = kelvo::Noise::white(1.0);
    const bool autoSigma = o.sigma == "auto", autoPsd = o.psd == "auto";
    if (!o.sigma.empty() && !autoSigma) {
        char* end = nullptr;
        const double s = std::strtod(o.sigma.c_str(), &end);
        if (*end != '\0') throw UsageError("--sigma: '" + o.sigma + "' is not a number");
        fixed = kelvo::Noise::white(s);  // rejects negative, zero, NaN
    } else if (!o.psd.empty() && !autoPsd) {
        fixed = loadPsd(o.psd);
    }
    // Correlated noise (a PSD file that is not flat, or an estimated PSD) has its own defaults.
    kelvo::Profile profile = kelvo::Profile::defaults(size[2] > 1, autoPsd || fixed.isCorrelated());
    applyProfileArgs(o, profile);
    profile.numThreads = o.threads;

    Progress progress(o.quiet, volumes, o.htOnly ? 1 : 2);
    std::atomic<bool>* cancel = &interrupted;
    kelvo::DenoiseOptions options;
    options.stages = o.htOnly ? kelvo::Stages::HardThresholding : kelvo::Stages::Both;
    options.cancel = cancel;
    options.progress = [&progress](int stage, float f) { progress.update(stage, f); };

    std::vector<float> out(in->values.size());
    for (int v = 0; v < volumes; ++v) {
        const float* volume = in->values.data() + std::size_t(v) * count;
        kelvo::Noise noise = fixed;
        if (autoSigma) {
            noise = kelvo::Noise::white(kelvo::estimateNoise(volume, size));
            char text[96];
            std::snprintf(text, sizeof text, "%sestimated sigma %.6g",
                          volumes > 1 ? ("volume " + std::to_string(v + 1) + ": ").c_str() : "",
                          noise.sigma());
            progress.note(text);
        } else if (autoPsd) {
            Size3 grid = profile.fftSize;
            for (int d = 0; d < 3; ++d) grid[d] = std::min(grid[d], 16);
            noise = kelvo::estimateNoisePsd(volume, size, grid);
            char text[96];
            std::snprintf(text, sizeof text, "estimated PSD on %dx%dx%d, sigma %.6g", grid[0],
                          grid[1], grid[2], noise.sigma());
            progress.note(text);
        }
        progress.begin(v);
        kelvo::denoise(volume, size, out.data() + std::size_t(v) * count, noise, profile, options);
        progress.endVolume();
    }
    progress.finish();

    TempOutput temp(o.out);
    in->write(temp.path(), out, o.asFloat);
    if (interrupted) throw kelvo::Cancelled();
    temp.commit();
    if (!o.quiet) std::fprintf(stderr, "kelvo: wrote %s\n", o.out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    try {
        return run(parseArgs(argc, argv));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kelvo: %s (see kelvo --help)\n", e.what());
        return 2;
    } catch (const kelvo::Cancelled&) {
        if (isatty(STDERR_FILENO) == 1) std::fprintf(stderr, "\r\033[K");
        std::fprintf(stderr, "kelvo: interrupted; no output written\n");
        return 130;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kelvo: out of memory\n");
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvo: %s\n", e.what());
        return 1;
    }
}
