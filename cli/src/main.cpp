// The `kelvo` command-line tool: kelvo denoise IN OUT [options].
//
// Exit codes: 0 success, 1 failure (bad input, I/O, memory), 2 usage error, 130 interrupted.
// Every failure prints one line "kelvo: ..." on standard error; the output file appears only
// when it is complete (written to a temporary name in the same directory, then renamed).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#endif

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
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
    "  IN, OUT: .nii, .nii.gz, .tif/.tiff (multi-page stack, or an RGB image) or .npy (same\n"
    "  format family)\n"
    "noise (one of):\n"
    "  --sigma S          standard deviation of white noise, in the units of IN\n"
    "  --sigma auto       estimate it (per volume) from the finest wavelet details\n"
    "  --psd FILE         noise PSD, E|DFT|^2 on its own grid (.npy, .nii, .tif), dim 0 fastest\n"
    "  --psd auto         estimate a PSD (per volume) from flat patches\n"
    "  --noise gaussian|rician  noise model (default gaussian); rician: IN holds magnitudes\n"
    "                     and S (or the PSD) is the noise of each real/imaginary channel\n"
    "  --coils N          rician: magnitudes of N receiver channels (noncentral chi; default 1)\n"
    "  --mask FILE        non-zero = inside (same size as IN); outside samples are copied\n"
    "                     unchanged and left out of the noise estimate\n"
    "  A .npy PSD or mask is read in the axis order of the input: (x, y, z) as nibabel\n"
    "  returns it for NIfTI, the array's own axes for .npy, (z, y, x) as tifffile for TIFF.\n"
    "  NaN/Inf samples are 'no data': left out of estimates and kept as they are.\n"
    "  --channels first|last  IN is a 2-D image whose first or last axis (in the axis order\n"
    "                     above) holds its channels, such as .npy (H, W, 3) RGB: last.\n"
    "                     Channels that share their structure are decorrelated (for RGB the\n"
    "                     opponent colour transform), and each is denoised as an image;\n"
    "                     --sigma auto estimates each channel's sigma; --psd FILE is 2-D,\n"
    "                     every channel's noise.\n"
    "                     An RGB TIFF (one page) is a colour image without the option.\n"
    "options:\n"
    "  --stage ht|all     run hard thresholding only, or both stages (default all)\n"
    "  --threads N        worker threads (default: every core)\n"
    "  --threshold L      hard-thresholding multiplier lambda\n"
    "  --wiener-threshold W   multiplier of the noise variance in the Wiener gain (see\n"
    "                     --adaptive-wiener)\n"
    "  --search R[,R,R]   search radius per dimension (both stages)\n"
    "  --step S[,S,S]     reference step per dimension, 1 to the block size (both stages)\n"
    "  --block B[,B,B]    block size per dimension (both stages; 1 to 16, depth 1 on images;\n"
    "                     the noise grid grows to the block where it is smaller; blocks\n"
    "                     shrink to a volume thinner than them, such as two slices)\n"
    "  --group N[,M]      largest group, hard thresholding[,Wiener] (powers of two <= 64)\n"
    "  --match F[,G]      match threshold factor, hard thresholding[,Wiener]\n"
    "  --min-group N[,M]  smallest group, hard thresholding[,Wiener]: the nearest blocks fill\n"
    "                     it beyond the match threshold (powers of two <= 64; 2 adds only one)\n"
    "  --fft N[,N,N]      grid of the noise model (powers of two, 4..64)\n"
    "  --sharpen ALPHA    alpha rooting after hard thresholding\n"
    "  --multiscale on|off  correlated noise (--psd) and 2-D images: also denoise a copy\n"
    "                     binned by 2 and take the low frequencies from it (default on)\n"
    "  --coarse-noise-ratio R  volumes under white noise take that copy too where sigma is\n"
    "                     at least R times the data's own deviation (default 0.5; 0: every\n"
    "                     volume, inf: none)\n"
    "  --adaptive-wiener on|off  volumes: each Wiener group chooses a multiple of the Wiener\n"
    "                     threshold by the error it estimates (4/9 to 2 under white or\n"
    "                     nearly white noise, 0.77 to 1.54 under other correlated noise;\n"
    "                     default on; off: as given)\n"
    "  --refine on|off    a last pass re-estimates groups of blocks matched on the Wiener\n"
    "                     estimate, with each group's own signal covariance and the\n"
    "                     noise's (white or from the PSD) (default on)\n"
    "  --refine-group N   blocks per group of that pass (2 to 64; default 8 for volumes,\n"
    "                     12 for images, 16 under correlated noise)\n"
    "  --refine-step S[,S,S]  reference step of that pass, 1 to its block size (default\n"
    "                     2 for volumes, 3 under correlated noise, 6 for images); a\n"
    "                     smaller step gives every sample more estimates, for more time\n"
    "  --refine-block B[,B,B]  block size of that pass (1 to 16, depth 1 on images;\n"
    "                     default 3,3,2 for volumes, 3 under correlated noise, 8 for\n"
    "                     images; a default step beyond the block becomes the block)\n"
    "  --float            write float32 samples instead of the input's data type\n"
    "  --max-memory SIZE  refuse runs estimated to need more (e.g. 4G, 512M; default: the\n"
    "                     machine's memory)\n"
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

/// "4G", "512M", "1.5G", "800K" or a plain number of bytes.
double parseByteSize(const std::string& opt, const std::string& text) {
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    const std::string unit = end ? end : "";
    const double scale = unit.empty()                 ? 1.0
                         : unit == "K" || unit == "k" ? 1024.0
                         : unit == "M" || unit == "m" ? 1024.0 * 1024.0
                         : unit == "G" || unit == "g" ? 1024.0 * 1024.0 * 1024.0
                         : unit == "T" || unit == "t" ? 1024.0 * 1024.0 * 1024.0 * 1024.0
                                                      : -1.0;
    if (text.empty() || end == text.c_str() || scale < 0 || !std::isfinite(v) || v <= 0)
        throw UsageError(opt + ": '" + text + "' is not a size (e.g. 4G, 512M)");
    return v * scale;
}

/// Memory of this machine: the physical memory, or the limit of the control group the
/// process runs in when that is smaller. 0 when unknown.
double machineMemory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? double(status.ullTotalPhys) : 0.0;
#else
    double bytes = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE));
    if (!(bytes > 0)) bytes = 0;
    for (const char* path :
         {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        if (FILE* f = std::fopen(path, "r")) {
            double limit = 0;
            if (std::fscanf(f, "%lf", &limit) == 1 && limit > 0 && (bytes == 0 || limit < bytes))
                bytes = limit;
            std::fclose(f);
        }
    }
    return bytes;
#endif
}

std::string gibText(double bytes) {
    const double mib = bytes / (1024.0 * 1024.0);
    char text[32];
    if (mib < 0.1) {
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    } else if (mib < 1024.0) {
        std::snprintf(text, sizeof text, "%.1f MiB", mib);
    } else {
        std::snprintf(text, sizeof text, "%.2f GiB", mib / 1024.0);
    }
    return text;
}

struct Options {
    std::string in, out;
    std::string sigma, psd, mask;
    std::string channels;  // "", "first" or "last"
    bool rician = false;
    int coils = 0;  // 0: not given
    bool htOnly = false, quiet = false, asFloat = false;
    int threads = 0;
    double maxMemory = 0.0;                                        // bytes; 0: the machine's memory
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
        } else if (a == "--mask") {
            o.mask = value();
        } else if (a == "--channels") {
            o.channels = value();
            if (o.channels != "first" && o.channels != "last")
                throw UsageError("--channels must be first or last (got '" + o.channels + "')");
        } else if (a == "--noise") {
            const std::string n = value();
            if (n != "gaussian" && n != "rician")
                throw UsageError("--noise must be gaussian or rician (got '" + n + "')");
            o.rician = n == "rician";
        } else if (a == "--coils") {
            const double c = parseNumber(a, value());
            if (c != std::floor(c) || c < 1 || c > 64)
                throw UsageError("--coils needs a whole number of receiver channels from 1 to 64");
            o.coils = int(c);
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
        } else if (a == "--max-memory") {
            o.maxMemory = parseByteSize(a, value());
        } else if (a == "--threshold" || a == "--wiener-threshold" || a == "--search" ||
                   a == "--step" || a == "--block" || a == "--group" || a == "--match" ||
                   a == "--min-group" || a == "--fft" || a == "--sharpen" || a == "--multiscale" ||
                   a == "--coarse-noise-ratio" || a == "--adaptive-wiener" || a == "--refine" ||
                   a == "--refine-group" || a == "--refine-step" || a == "--refine-block") {
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
    if (o.coils > 0 && !o.rician) throw UsageError("--coils needs --noise rician");
    if (o.coils == 0) o.coils = 1;
    return o;
}

/// A step beyond the block leaves samples that no block covers: refused along every dimension.
void checkSteps(const std::string& opt, const std::string& text, const std::array<int, 3>& steps,
                const std::array<int, 3>& blocks, const std::string& blockName) {
    for (int d = 0; d < 3; ++d)
        if (steps[d] < 1 || steps[d] > blocks[d])
            throw UsageError(opt + " " + text + ": the step must be between 1 and the " +
                             blockName + " " + std::to_string(blocks[d]) + " (dimension " +
                             std::to_string(d) + " got " + std::to_string(steps[d]) + ")");
}

void applyProfileArgs(const Options& o, kelvo::Profile& p) {
    bool refineStepGiven = false;
    for (const auto& [opt, text] : o.profileArgs) {
        if (opt == "--threshold") {
            p.hardThreshold.threshold = float(parseNumber(opt, text));
        } else if (opt == "--wiener-threshold") {
            p.wiener.threshold = float(parseNumber(opt, text));
        } else if (opt == "--search") {
            p.hardThreshold.searchRadius = p.wiener.searchRadius = parseTriple(opt, text);
            if (p.hardThreshold.blockSize[2] == 1)
                p.hardThreshold.searchRadius[2] = p.wiener.searchRadius[2] = 0;
        } else if (opt == "--step") {
            p.hardThreshold.stepSize = p.wiener.stepSize = parseTriple(opt, text);
            if (p.hardThreshold.blockSize[2] == 1)
                p.hardThreshold.stepSize[2] = p.wiener.stepSize[2] = 1;
            std::array<int, 3> blocks;
            for (int d = 0; d < 3; ++d)
                blocks[d] = std::min(p.hardThreshold.blockSize[d], p.wiener.blockSize[d]);
            checkSteps(opt, text, p.hardThreshold.stepSize, blocks, "block size");
        } else if (opt == "--block") {
            const bool flat = p.hardThreshold.blockSize[2] == 1;
            p.hardThreshold.blockSize = p.wiener.blockSize = parseTriple(opt, text);
            if (flat) p.hardThreshold.blockSize[2] = p.wiener.blockSize[2] = 1;
            for (int d = 0; d < 3; ++d) {
                const int b = p.hardThreshold.blockSize[d];
                while (p.fftSize[d] > 1 && p.fftSize[d] < b) p.fftSize[d] *= 2;
            }
        } else if (opt == "--group" || opt == "--match" || opt == "--min-group") {
            const std::vector<double> v = parseList(opt, text);
            if (v.size() > 2) throw UsageError(opt + " takes 1 or 2 values");
            if (opt == "--group") {
                p.hardThreshold.maxGroupSize = parseInt(opt, v[0]);
                if (v.size() == 2) p.wiener.maxGroupSize = parseInt(opt, v[1]);
            } else if (opt == "--min-group") {
                p.hardThreshold.minGroupSize = parseInt(opt, v[0]);
                if (v.size() == 2) p.wiener.minGroupSize = parseInt(opt, v[1]);
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
        } else if (opt == "--multiscale") {
            if (text != "on" && text != "off")
                throw UsageError("--multiscale must be on or off (got '" + text + "')");
            p.multiscale = text == "on";
        } else if (opt == "--coarse-noise-ratio") {
            const double r =
                text == "inf" ? std::numeric_limits<double>::infinity() : parseNumber(opt, text);
            if (!(r >= 0.0))
                throw UsageError("--coarse-noise-ratio must be 0 or more, or inf (got '" + text +
                                 "')");
            p.coarseNoiseRatio = float(r);
        } else if (opt == "--adaptive-wiener") {
            if (text != "on" && text != "off")
                throw UsageError("--adaptive-wiener must be on or off (got '" + text + "')");
            p.adaptiveWiener = text == "on";
        } else if (opt == "--refine") {
            if (text != "on" && text != "off")
                throw UsageError("--refine must be on or off (got '" + text + "')");
            p.refinement.enabled = text == "on";
        } else if (opt == "--refine-group") {
            p.refinement.groupSize = parseInt(opt, parseNumber(opt, text));
        } else if (opt == "--refine-step") {
            p.refinement.stepSize = parseTriple(opt, text);
            if (p.refinement.blockSize[2] == 1) p.refinement.stepSize[2] = 1;
            checkSteps(opt, text, p.refinement.stepSize, p.refinement.blockSize,
                       "refinement block size");
            refineStepGiven = true;
        } else if (opt == "--refine-block") {
            const bool flat = p.refinement.blockSize[2] == 1;
            p.refinement.blockSize = parseTriple(opt, text);
            if (flat) p.refinement.blockSize[2] = 1;
            for (int d = 0; d < 3; ++d) {
                const int b = p.refinement.blockSize[d];
                if (b < 1 || b > 16)
                    throw UsageError(opt + " " + text +
                                     ": the block must hold 1 to 16 samples "
                                     "(dimension " +
                                     std::to_string(d) + " got " + std::to_string(b) + ")");
            }
            // A step given earlier must still fit; the profile's own steps shrink with it.
            if (refineStepGiven) {
                checkSteps(opt, text, p.refinement.stepSize, p.refinement.blockSize,
                           "refinement block size");
            } else {
                for (int d = 0; d < 3; ++d)
                    p.refinement.stepSize[d] =
                        std::min(p.refinement.stepSize[d], p.refinement.blockSize[d]);
            }
        }
    }
}

/// Progress display: a bar with stage, percentage and time left on a terminal, one plain
/// line per finished stage otherwise. Called from the engine's workers (serialised).
class Progress {
public:
    Progress(bool quiet, int volumes, int stages)
        : quiet_(quiet),
          tty_(isatty(STDERR_FILENO) == 1),
          volumes_(volumes),
          stages_(stages),
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
        const double done =
            (double(volume_ * stages_ + stage) + fraction) / double(volumes_ * stages_);
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
            std::fprintf(stderr, "kelvo: %s%s done in %.1f s\n", prefix().c_str(), stageName(stage),
                         seconds(now - stageStart_));
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
        return volumes_ > 1
                   ? "volume " + std::to_string(volume_ + 1) + "/" + std::to_string(volumes_) + " "
                   : std::string();
    }

    bool quiet_, tty_;
    int volumes_, stages_;
    int volume_ = 0, stage_ = -1, lastLine_ = -1;
    Clock::time_point start_, stageStart_, lastDraw_{};
    std::mutex mutex_;
};

/// Position of the last folder separator in `path`, or npos.
std::size_t lastSeparator(const std::string& path) {
#if defined(_WIN32)
    return path.find_last_of("/\\:");
#else
    return path.find_last_of('/');
#endif
}

/// Whether two existing paths name the same file (through links, "./" or another spelling).
bool sameFile(const std::string& a, const std::string& b) {
#if defined(_WIN32)
    // Windows' stat() has no inode numbers (st_ino is always 0): compare the volume serial
    // number and file index of open handles instead.
    struct Identity {
        bool known = false;
        BY_HANDLE_FILE_INFORMATION info{};
    };
    const auto identify = [](const std::string& path) {
        Identity id;
        const HANDLE h =
            CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return id;
        id.known = GetFileInformationByHandle(h, &id.info) != 0;
        CloseHandle(h);
        return id;
    };
    const Identity x = identify(a), y = identify(b);
    return x.known && y.known && x.info.dwVolumeSerialNumber == y.info.dwVolumeSerialNumber &&
           x.info.nFileIndexHigh == y.info.nFileIndexHigh &&
           x.info.nFileIndexLow == y.info.nFileIndexLow;
#else
    struct stat x, y;
    return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
#endif
}

/// A temporary file next to the final output, removed unless committed by rename. It is
/// created at once, so that a folder where no file can be made is reported before any work.
class TempOutput {
public:
    explicit TempOutput(const std::string& finalPath) : final_(finalPath) {
        const std::size_t slash = lastSeparator(finalPath);
        const std::string dir = slash == std::string::npos ? "" : finalPath.substr(0, slash + 1);
        const std::string name =
            slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
        // The extension stays last: the writers choose compression and format by it.
        temp_ = dir + ".kelvo-tmp-" + std::to_string(getpid()) + "-" + name;
        const int fd = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd < 0)
            throw IoError(finalPath + ": cannot write the output in the folder " +
                          (dir.empty() ? std::string("./") : dir) + " (" + std::strerror(errno) +
                          ")");
        close(fd);
    }
    ~TempOutput() {
        if (!committed_) std::remove(temp_.c_str());
    }
    const std::string& path() const { return temp_; }
    void commit() {
#if defined(_WIN32)
        // rename() of the C run time refuses to replace an existing file on Windows.
        if (!MoveFileExA(temp_.c_str(), final_.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            throw IoError(final_ + ": cannot replace the output file (Windows error " +
                          std::to_string(GetLastError()) + ")");
#else
        if (std::rename(temp_.c_str(), final_.c_str()) != 0)
            throw IoError(final_ + ": cannot replace the output file (" + std::strerror(errno) +
                          ")");
#endif
        committed_ = true;
    }

private:
    std::string final_, temp_;
    bool committed_ = false;
};

/// Refuses, before anything is read or computed, an output that would replace an input file
/// (the same file under another name, through "./", a link or a symbolic link) and an output
/// folder that is missing or not writable.
void checkOutputPath(const Options& o) {
    struct stat outInfo;
    if (stat(o.out.c_str(), &outInfo) == 0) {
        if (S_ISDIR(outInfo.st_mode))
            throw IoError(o.out + ": is a folder; give an output file name");
        std::vector<std::pair<std::string, const char*>> inputs{{o.in, "the input"}};
        if (!o.psd.empty() && o.psd != "auto") inputs.emplace_back(o.psd, "the PSD file");
        if (!o.mask.empty()) inputs.emplace_back(o.mask, "the mask file");
        for (const auto& [path, what] : inputs) {
            if (sameFile(path, o.out))
                throw UsageError("OUT " + o.out + " is " + what + " " + path +
                                 "; write to another file, the input must not be overwritten");
        }
    }
    const std::size_t slash = lastSeparator(o.out);
    std::string dir = slash == std::string::npos ? "." : o.out.substr(0, slash + 1);
#if defined(_WIN32)
    // Windows' stat() fails on a folder name ending in a separator, except a drive's root.
    if (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\') && dir[dir.size() - 2] != ':')
        dir.pop_back();
#endif
    struct stat dirInfo;
    if (stat(dir.c_str(), &dirInfo) != 0 || !S_ISDIR(dirInfo.st_mode))
        throw IoError(o.out + ": cannot write the output: the folder " + dir + " does not exist");
}

std::string shapeText(const std::vector<std::int64_t>& shape) {
    std::string t = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) t += (i ? ", " : "") + std::to_string(shape[i]);
    return t + (shape.size() == 1 ? ",)" : ")");
}

/// How the input's user holds the volume: whether the axes of the user's arrays run from the
/// slowest dimension to the fastest (NumPy C order, tifffile's (z, y, x)) or from dimension 0
/// on (nibabel's (x, y, z), NumPy Fortran order).
struct AxisOrder {
    bool slowestFirst;
    const char* name;
};

AxisOrder axisOrderOf(const kelvo::cli::VolumeFile& in) {
    const std::string format = in.format();
    if (format == "NIfTI") return {false, "(x, y, z) as nibabel returns a NIfTI volume"};
    if (format == "TIFF") return {true, "(z, y, x) as tifffile returns a TIFF stack"};
    return {!in.fortranOrder, "the input array's own axes"};
}

/// The shape in the user's axis order of `rank` dims (dimension 0 fastest).
std::vector<std::int64_t> userShape(const std::array<std::int64_t, 4>& dims, int rank,
                                    const AxisOrder& order) {
    std::vector<std::int64_t> shape(dims.begin(), dims.begin() + rank);
    if (order.slowestFirst) std::reverse(shape.begin(), shape.end());
    return shape;
}

/// Reads a PSD or mask file into the input's layout (dimension 0 fastest). NIfTI and TIFF
/// files are read as the input is; a .npy array is taken in the axis order in which the user
/// holds the input (AxisOrder), so its axes are reversed when its storage order says
/// otherwise. Up to 3 dimensions.
std::unique_ptr<kelvo::cli::VolumeFile> readAligned(const std::string& path, const char* what,
                                                    const AxisOrder& order) {
    std::unique_ptr<kelvo::cli::VolumeFile> f = kelvo::cli::readVolume(path);
    if (f->dims[3] != 1)
        throw std::invalid_argument(std::string(what) + " " + path + " must be 2-D or 3-D");
    if (std::string(f->format()) != "NumPy") return f;
    // Stored C order means the shape runs slowest first; reverse the axes when the user's
    // order differs from the array's storage.
    if (order.slowestFirst == !f->fortranOrder) return f;
    const int rank = f->dims[2] > 1 ? 3 : 2;
    const std::array<std::int64_t, 4> d = f->dims;
    std::vector<float> t(f->values.size());
    std::size_t i = 0;
    for (std::int64_t z = 0; z < d[2]; ++z)
        for (std::int64_t y = 0; y < d[1]; ++y)
            for (std::int64_t x = 0; x < d[0]; ++x, ++i) {
                // new layout: dims reversed over the rank
                const std::size_t j =
                    rank == 3 ? std::size_t(z + d[2] * (y + d[1] * x)) : std::size_t(y + d[1] * x);
                t[j] = f->values[i];
            }
    f->values.swap(t);
    f->dims = rank == 3 ? std::array<std::int64_t, 4>{d[2], d[1], d[0], 1}
                        : std::array<std::int64_t, 4>{d[1], d[0], 1, 1};
    return f;
}

kelvo::Noise loadPsd(const std::string& path, const kelvo::cli::VolumeFile& in) {
    const AxisOrder order = axisOrderOf(in);
    std::unique_ptr<kelvo::cli::VolumeFile> f = readAligned(path, "PSD", order);
    for (int d = 0; d < 3; ++d)
        if (f->dims[d] > 1024)
            throw std::invalid_argument("PSD " + path + " is larger than 1024 along a dimension");
    // A PSD of the volume's full size that fits only with its axes reversed was almost
    // certainly saved in the other axis order: refuse it rather than filter with a
    // transposed spectrum.
    const int rank = in.dims[2] > 1 ? 3 : 2;
    bool same = true, reversed = true;
    for (int d = 0; d < rank; ++d) {
        same = same && f->dims[d] == in.dims[d];
        reversed = reversed && f->dims[d] == in.dims[rank - 1 - d];
    }
    if (reversed && !same && f->dims[2] == (rank == 3 ? in.dims[0] : 1))
        throw std::invalid_argument(
            "PSD " + path + " has shape " + shapeText(userShape(f->dims, rank, order)) +
            " but the volume's shape is " + shapeText(userShape(in.dims, rank, order)) + " in " +
            order.name + "; the PSD's axes are reversed: save it in the volume's axis order");
    try {
        return kelvo::Noise::spectrum(f->values,
                                      {int(f->dims[0]), int(f->dims[1]), int(f->dims[2])});
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("PSD " + path + ": " + e.what());
    }
}

/// The mask as one byte per sample of one volume, or of every volume of a series.
std::vector<std::uint8_t> loadMask(const std::string& path, const kelvo::cli::VolumeFile& in) {
    const AxisOrder order = axisOrderOf(in);
    std::unique_ptr<kelvo::cli::VolumeFile> f = kelvo::cli::readVolume(path);
    const bool series = f->dims[3] > 1;
    if (series) {
        // A mask per volume of a series: in the input's own layout (a .npy mask only for a
        // .npy input of the same storage order).
        const bool npyMask = std::string(f->format()) == "NumPy";
        const bool npyInput = std::string(in.format()) == "NumPy";
        if (f->dims != in.dims || (npyMask && (!npyInput || f->fortranOrder != in.fortranOrder)))
            throw std::invalid_argument("mask " + path + " has " + std::to_string(f->dims[3]) +
                                        " volumes but does not match the input's shape and "
                                        "layout (give a mask of one volume, or one of the "
                                        "input's shape in its format)");
    } else {
        f = readAligned(path, "mask", order);
    }
    const int rank = in.dims[2] > 1 ? 3 : 2;
    for (int d = 0; d < 3; ++d)
        if (f->dims[d] != in.dims[d])
            throw std::invalid_argument(
                "mask " + path + " has shape " + shapeText(userShape(f->dims, rank, order)) +
                " but the volume's shape is " + shapeText(userShape(in.dims, rank, order)) +
                " in " + order.name);
    std::vector<std::uint8_t> mask(f->values.size());
    std::size_t inside = 0;
    for (std::size_t i = 0; i < mask.size(); ++i) {
        mask[i] = f->values[i] != 0.0f && !std::isnan(f->values[i]);
        inside += mask[i];
    }
    if (inside == 0)
        throw std::invalid_argument("mask " + path + ": no sample inside the mask (all zero)");
    return mask;
}

/// The dimension that --channels names in the input's axis order.
int colourOption(const Options& o, const kelvo::cli::VolumeFile& in) {
    const AxisOrder order = axisOrderOf(in);
    if (in.dims[2] == 1)
        throw UsageError("--channels " + o.channels + ": " + o.in + " has shape " +
                         shapeText(userShape(in.dims, 2, order)) + " in " + order.name +
                         ", but an image with channels has 3 axes, such as (H, W, 3)");
    const bool first = o.channels == "first";
    return first == order.slowestFirst ? 2 : 0;
}

/// The dimension that holds a colour image's channels: the one --channels names, else the
/// one the file declares (a TIFF of several samples per pixel), else -1.
int channelDimension(const Options& o, const kelvo::cli::VolumeFile& in) {
    const int dim = o.channels.empty() ? in.channelDim : colourOption(o, in);
    const std::string what = o.channels.empty()
                                 ? o.in + " is a colour image (samples of a pixel): it"
                                 : "--channels " + o.channels;
    if (dim >= 0 && o.rician)
        throw UsageError(what +
                         " cannot be combined with --noise rician: magnitude noise is "
                         "not additive, so denoise each channel on its own");
    if (dim >= 0 && o.psd == "auto")
        throw UsageError(what + " takes --sigma S, --sigma auto or --psd FILE, not --psd auto");
    return dim;
}

// The noise the options give, white of standard deviation 1 when it is to be estimated.
kelvo::Noise fixedNoise(const Options& o, const kelvo::cli::VolumeFile& in) {
    if (!o.sigma.empty() && o.sigma != "auto") {
        char* end = nullptr;
        const double s = std::strtod(o.sigma.c_str(), &end);
        if (*end != '\0') throw UsageError("--sigma: '" + o.sigma + "' is not a number");
        return kelvo::Noise::white(s);  // rejects negative, zero, NaN
    }
    if (!o.psd.empty() && o.psd != "auto") return loadPsd(o.psd, in);
    return kelvo::Noise::white(1.0);
}

// Refuses early a run that cannot fit: the samples read and the estimate written are held
// throughout; the larger of the denoising (one volume at a time) and the writing (the
// encoded samples and, for NIfTI, their check read-back) comes on top.
void checkMemory(const Options& o, const kelvo::cli::VolumeFile& in, Size3 size,
                 const kelvo::Profile& profile, const kelvo::Noise& noise,
                 const std::vector<std::uint8_t>& mask) {
    kelvo::DenoiseOptions plan;
    plan.stages = o.htOnly ? kelvo::Stages::HardThresholding : kelvo::Stages::Both;
    plan.distribution =
        o.rician ? kelvo::NoiseDistribution::Rician : kelvo::NoiseDistribution::Gaussian;
    plan.mask = mask.empty() ? nullptr : mask.data();
    const bool withoutData =
        std::any_of(in.values.begin(), in.values.end(), [](float v) { return !std::isfinite(v); });
    const double values = double(in.values.size()) * sizeof(float);
    const double engine = double(kelvo::estimateMemory(size, noise, profile, plan, withoutData));
    const double need = 2 * values + std::max(engine, 2 * values);
    const double limit = o.maxMemory > 0 ? o.maxMemory : machineMemory();
    if (limit > 0 && need > limit)
        throw IoError(o.in + ": denoising it needs about " + gibText(need) +
                      " of memory, more than " +
                      (o.maxMemory > 0 ? "--max-memory " : "this machine's ") + gibText(limit) +
                      "; denoise it in pieces (e.g. kelvo.dask in Python) or on a larger machine");
}

int run(const Options& o) {
    const char* inFormat = kelvo::cli::formatOf(o.in);
    const char* outFormat = kelvo::cli::formatOf(o.out);
    if (!outFormat)
        throw UsageError(o.out +
                         ": unsupported output type (use .nii, .nii.gz, .tif, .tiff or .npy)");
    if (inFormat && std::strcmp(inFormat, outFormat) != 0)
        throw UsageError(std::string("output must be a ") + inFormat + " file like the input");
    checkOutputPath(o);
    TempOutput temp(o.out);

    std::unique_ptr<kelvo::cli::VolumeFile> in = kelvo::cli::readVolume(o.in);
    for (int d = 0; d < 3; ++d)
        if (in->dims[d] > 1000000)
            throw std::invalid_argument(o.in + ": wrong dimensions (axis too long)");
    const Size3 size{int(in->dims[0]), int(in->dims[1]), int(in->dims[2])};
    const int volumes = int(in->dims[3]);
    const std::size_t count = std::size_t(size[0]) * size[1] * size[2];

    const bool autoSigma = o.sigma == "auto", autoPsd = o.psd == "auto";
    const kelvo::Noise fixed = fixedNoise(o, *in);
    const std::vector<std::uint8_t> mask =
        o.mask.empty() ? std::vector<std::uint8_t>() : loadMask(o.mask, *in);
    const bool maskPerVolume = !mask.empty() && mask.size() > count;
    // An image with channels is denoised one 2-D image at a time: its channel dimension.
    const int channelDim = channelDimension(o, *in);
    Size3 engineSize = size;
    if (channelDim >= 0) {
        engineSize = {size[channelDim == 0 ? 1 : 0], size[channelDim == 2 ? 1 : 2], 1};
    }
    // Correlated noise (a PSD file that is not flat, or an estimated PSD) has its own defaults.
    kelvo::Profile profile =
        kelvo::Profile::defaults(engineSize[2] > 1, autoPsd || fixed.isCorrelated());
    applyProfileArgs(o, profile);
    profile.numThreads = o.threads;
    checkMemory(o, *in, engineSize, profile,
                autoSigma || autoPsd ? kelvo::Noise::white(1.0) : fixed,
                channelDim >= 0 ? std::vector<std::uint8_t>() : mask);

    Progress progress(o.quiet, volumes, o.htOnly ? 1 : 2);
    std::atomic<bool>* cancel = &interrupted;
    kelvo::DenoiseOptions options;
    options.stages = o.htOnly ? kelvo::Stages::HardThresholding : kelvo::Stages::Both;
    options.distribution =
        o.rician ? kelvo::NoiseDistribution::Rician : kelvo::NoiseDistribution::Gaussian;
    options.coils = o.coils;
    kelvo::NoiseEstimateOptions estimate;
    estimate.distribution = options.distribution;
    estimate.coils = o.coils;
    const char* model = o.rician ? " (channel noise of the magnitudes)" : "";
    options.cancel = cancel;
    options.progress = [&progress](int stage, float f) { progress.update(stage, f); };

    std::vector<float> out(in->values.size());
    for (int v = 0; v < volumes; ++v) {
        const float* volume = in->values.data() + std::size_t(v) * count;
        kelvo::Noise noise = fixed;
        options.mask = estimate.mask =
            mask.empty() ? nullptr : mask.data() + (maskPerVolume ? std::size_t(v) * count : 0);
        const std::string volumeText =
            volumes > 1 ? "volume " + std::to_string(v + 1) + ": " : std::string();
        std::vector<kelvo::Noise> channelNoise{noise};
        if (autoSigma && channelDim >= 0) {
            channelNoise = kelvo::estimateChannelNoise(volume, size, channelDim, estimate);
            std::string text = volumeText + "estimated sigma per channel";
            for (const kelvo::Noise& n : channelNoise) {
                char one[32];
                std::snprintf(one, sizeof one, " %.6g", n.sigma());
                text += one;
            }
            progress.note(text.c_str());
        } else if (autoSigma) {
            noise = kelvo::Noise::white(kelvo::estimateNoise(volume, size, estimate));
            char text[160];
            std::snprintf(text, sizeof text, "%sestimated sigma %.6g%s", volumeText.c_str(),
                          noise.sigma(), model);
            progress.note(text);
        } else if (autoPsd) {
            // The profile's grid, at most 16 a side, made to fit the volume.
            Size3 grid = profile.fftSize;
            for (int d = 0; d < 3; ++d) grid[d] = std::min(grid[d], 16);
            grid = kelvo::fitPsdGrid(grid, size);
            noise = kelvo::estimateNoisePsd(volume, size, grid, estimate);
            char text[160];
            std::snprintf(text, sizeof text, "%sestimated PSD on %dx%dx%d, sigma %.6g%s",
                          volumeText.c_str(), grid[0], grid[1], grid[2], noise.sigma(), model);
            progress.note(text);
        }
        progress.begin(v);
        float* result = out.data() + std::size_t(v) * count;
        if (channelDim >= 0) {
            kelvo::denoiseChannels(volume, size, channelDim, result, channelNoise, profile,
                                   options);
        } else {
            kelvo::denoise(volume, size, result, noise, profile, options);
        }
        progress.endVolume();
    }
    progress.finish();

    in->writeThreads = o.threads;
    try {
        in->write(temp.path(), out, o.asFloat);
    } catch (const IoError& e) {
        // Name the file the user asked for, not the hidden temporary one.
        std::string text = e.what();
        const std::size_t at = text.find(temp.path());
        if (at != std::string::npos) text.replace(at, temp.path().size(), o.out);
        throw IoError(text);
    }
    if (interrupted) throw kelvo::Cancelled();
    temp.commit();
    if (!o.quiet) std::fprintf(stderr, "kelvo: wrote %s\n", o.out.c_str());
    return 0;
}

// The two stages allocate and free working memory of the same sizes one after the other
// (block collections, groups, aggregation sums). glibc maps large blocks afresh and trims
// freed ones, so the second stage's memory would be zeroed by the kernel page by page
// again; kept in the heap it is reused: about 20 % fewer page faults and 3 to 4 % of the
// run's time on a 181x217x181 volume, for about 3 % more peak memory. The tool exits when
// done, so keeping the freed memory costs nothing later.
void keepFreedMemoryForReuse() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
#endif
}

// glibc backs its heap with transparent huge pages only when the tunable
// glibc.malloc.hugetlb is set as the process starts. Where the kernel gives huge pages on
// request ("madvise" mode, Debian's default), a denoising run restarts itself once with it:
// the volumes, the engine's sums and the gzip buffers then fault in 2 MiB at a time, and the
// aggregation's scattered writes miss the TLB less (about 6 % of the run's time on a
// 181x217x181 volume, the output byte for byte the same). A GLIBC_TUNABLES that already names
// the tunable (glibc.malloc.hugetlb=0 to turn it off) is left as it is, and so is a system
// where the restart fails.
void restartWithHugePages(int argc, char** argv) {
#if defined(__GLIBC__) && defined(__linux__)
    if (argc < 2 || std::strcmp(argv[1], "denoise") != 0) return;
    const char* current = std::getenv("GLIBC_TUNABLES");
    const std::string before = current ? current : "";
    if (before.find("glibc.malloc.hugetlb") != std::string::npos) return;
    FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
    if (!f) return;
    char mode[128] = {};
    const bool read = std::fgets(mode, sizeof mode, f) != nullptr;
    std::fclose(f);
    if (!read || !std::strstr(mode, "[madvise]")) return;
    const std::string value =
        before.empty() ? "glibc.malloc.hugetlb=1" : before + ":glibc.malloc.hugetlb=1";
    // The executable's path rather than /proc/self/exe itself: under an emulator (qemu's user
    // mode) the link is the emulator, but reading it gives the emulated program.
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof self - 1) return;
    self[length] = '\0';
    if (setenv("GLIBC_TUNABLES", value.c_str(), 1) != 0) return;
    execv(self, argv);
    // Still here: run without the restart, with the environment as it was.
    if (current) {
        setenv("GLIBC_TUNABLES", before.c_str(), 1);
    } else {
        unsetenv("GLIBC_TUNABLES");
    }
#else
    (void)argc;
    (void)argv;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    restartWithHugePages(argc, argv);
    keepFreedMemoryForReuse();
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
