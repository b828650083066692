// kelvo._kelvo: the compiled half of the Python module. It converts NumPy arrays to the C++
// API's layout, runs the engine with the GIL released and maps the API's errors to Python
// exceptions. Argument normalisation (noise given as sigma, PSD or "auto", stage names,
// dtype checks, masks as uint8 arrays of the volume's shape, series of volumes) lives in
// kelvo/__init__.py; the functions here expect what it passes.
//
// Axes: a C-ordered NumPy array of shape (Z, Y, X) or (H, W) has its last axis fastest, which
// is the engine's dimension 0. Arrays are therefore converted to C order (no copy when they
// already are C-ordered float32) and their shape is read backwards: size = (X, Y, Z) or
// (W, H, 1). Fortran-ordered input is copied into C order, so an axis means the same thing
// whatever the memory order. The per-dimension tuples of a Profile are in engine order
// (x, y, z), i.e. the reverse of the NumPy axes.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "kelvo/kelvo.h"
#include "kelvo/magnitude.h"
#include "kelvo/profile.h"

namespace py = pybind11;

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

/// True on a thread while it runs a progress callback: a run started from there would wait
/// for the run that is waiting for the callback (the library runs one stage at a time).
thread_local bool IN_PROGRESS_CALLBACK = false;

/// Size of a 2-D or 3-D C-ordered array in engine order (dimension 0 = last axis).
kelvo::Size3 engineSize(const py::array& a, const char* what) {
    if (a.ndim() != 2 && a.ndim() != 3)
        throw py::value_error(std::string(what) + " must have 2 or 3 dimensions (got " +
                              std::to_string(a.ndim()) + ")");
    kelvo::Size3 size{{1, 1, 1}};
    for (py::ssize_t axis = 0; axis < a.ndim(); ++axis) {
        const py::ssize_t n = a.shape(axis);
        if (n < 1 || n > INT_MAX)
            throw py::value_error(std::string(what) + " has an unsupported extent " +
                                  std::to_string(n) + " along axis " + std::to_string(axis));
        size[std::size_t(a.ndim() - 1 - axis)] = int(n);
    }
    return size;
}

/// A float32 array shaped like `like` (C order).
FloatArray newLike(const py::array& like) {
    std::vector<py::ssize_t> shape(like.shape(), like.shape() + like.ndim());
    return FloatArray(shape);
}

kelvo::Noise makeNoise(double sigma, const py::object& psdObject) {
    if (psdObject.is_none()) return kelvo::Noise::white(sigma);
    FloatArray psd = FloatArray::ensure(psdObject);
    if (!psd) throw py::error_already_set();
    const kelvo::Size3 size = engineSize(psd, "the PSD");
    const float* data = psd.data();
    return kelvo::Noise::spectrum(std::vector<float>(data, data + psd.size()), size);
}

/// Bridges the engine's progress hook to a Python callable and to Python's signal handling.
/// The callable runs with the GIL held on whichever thread the engine reports from; if it
/// raises, the exception is kept, the cancel flag is raised and the engine stops soon after.
/// The waiting thread also polls for signals (Ctrl-C) every 100 ms while the engine runs.
class RunGuard {
public:
    explicit RunGuard(py::object callback) : callback_(std::move(callback)) {}

    const std::atomic<bool>* cancelFlag() const { return &cancel_; }

    std::function<void(int, float)> progressHook() {
        if (callback_.is_none()) return {};
        return [this](int stage, float fraction) {
            if (cancel_.load()) return;
            py::gil_scoped_acquire gil;
            IN_PROGRESS_CALLBACK = true;
            try {
                callback_(stage, fraction);
            } catch (...) {
                keep(std::current_exception());
            }
            IN_PROGRESS_CALLBACK = false;
        };
    }

    /// Runs `work` on a helper thread while this thread (GIL released) waits and polls for
    /// signals. Rethrows, with the GIL held: the callback's or the signal handler's exception
    /// first, else whatever `work` threw.
    template <class Work>
    void run(Work work) {
        std::exception_ptr workError;
        {
            // Without the GIL: Python threads (for example dask's threaded scheduler) that
            // call in at the same time wait inside the library for the stage before theirs.
            py::gil_scoped_release release;
            std::mutex doneMutex;
            std::condition_variable doneSignal;
            bool done = false;
            std::thread worker([&] {
                try {
                    work();
                } catch (...) {
                    workError = std::current_exception();
                }
                std::lock_guard<std::mutex> lock(doneMutex);
                done = true;
                doneSignal.notify_one();
            });
            std::unique_lock<std::mutex> lock(doneMutex);
            while (
                !doneSignal.wait_for(lock, std::chrono::milliseconds(100), [&] { return done; })) {
                lock.unlock();
                pollSignals();
                lock.lock();
            }
            lock.unlock();
            worker.join();
        }
        if (pending_) std::rethrow_exception(pending_);
        if (workError) std::rethrow_exception(workError);
    }

private:
    void pollSignals() {
        if (cancel_.load()) return;
        py::gil_scoped_acquire gil;
        // Runs the handlers only on the interpreter's main thread; a no-op elsewhere.
        if (PyErr_CheckSignals() != 0) {
            try {
                throw py::error_already_set();
            } catch (...) {
                keep(std::current_exception());
            }
        }
    }

    void keep(std::exception_ptr e) {  // called with the GIL held
        if (!pending_) pending_ = std::move(e);
        cancel_.store(true);
    }

    py::object callback_;
    std::atomic<bool> cancel_{false};
    std::exception_ptr pending_;  // guarded by the GIL
};

using MaskArray = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

/// The mask's bytes (kelvo/__init__.py has checked its shape), or nullptr for None. `keep`
/// holds the converted array for as long as the pointer is used.
const std::uint8_t* maskData(const py::object& mask, const py::array& volume, MaskArray& keep) {
    if (mask.is_none()) return nullptr;
    keep = MaskArray::ensure(mask);
    if (!keep) throw py::error_already_set();
    if (keep.ndim() != volume.ndim() ||
        !std::equal(volume.shape(), volume.shape() + volume.ndim(), keep.shape()))
        throw py::value_error("the mask must have the shape of the volume");
    return keep.data();
}

kelvo::NoiseDistribution distribution(bool rician) {
    return rician ? kelvo::NoiseDistribution::Rician : kelvo::NoiseDistribution::Gaussian;
}

/// Runs `call(in, out, options)` on `input` into a new array while the engine's threads work
/// without the GIL: the options carry the stages, the noise distribution, the mask and the
/// progress and cancellation hooks.
template <class Call>
FloatArray runDenoise(const FloatArray& input, bool hardOnly, py::object progress, bool rician,
                      int coils, const py::object& mask, Call call) {
    MaskArray maskKeep;
    const std::uint8_t* maskBytes = maskData(mask, input, maskKeep);
    FloatArray out = newLike(input);
    const float* in = input.data();
    float* dst = out.mutable_data();

    RunGuard guard(std::move(progress));
    kelvo::DenoiseOptions options;
    options.stages = hardOnly ? kelvo::Stages::HardThresholding : kelvo::Stages::Both;
    options.distribution = distribution(rician);
    options.coils = coils;
    options.mask = maskBytes;
    options.progress = guard.progressHook();
    options.cancel = guard.cancelFlag();
    guard.run([&] { call(in, dst, options); });
    return out;
}

FloatArray denoiseArray(const FloatArray& volume, double sigma, const py::object& psd,
                        const kelvo::Profile& profile, bool hardOnly, py::object progress,
                        bool rician, int coils, const py::object& mask) {
    if (IN_PROGRESS_CALLBACK)
        throw std::runtime_error("kelvo.denoise cannot be called from a progress callback");
    const kelvo::Size3 size = engineSize(volume, "the volume");
    const kelvo::Noise noise = makeNoise(sigma, psd);
    return runDenoise(volume, hardOnly, std::move(progress), rician, coils, mask,
                      [&](const float* in, float* out, const kelvo::DenoiseOptions& options) {
                          kelvo::denoise(in, size, out, noise, profile, options);
                      });
}

/// The noise of an image with channels: one PSD (2-D, every channel's) when `psd` is given,
/// else `sigmas`, one value (every channel) or one per channel.
std::vector<kelvo::Noise> channelNoise(const std::vector<double>& sigmas, const py::object& psd) {
    std::vector<kelvo::Noise> noise;
    if (!psd.is_none()) {
        noise.push_back(makeNoise(0.0, psd));
    } else {
        for (double sigma : sigmas) noise.push_back(kelvo::Noise::white(sigma));
    }
    return noise;
}

kelvo::Size3 channelImageSize(const FloatArray& image, int channelAxis) {
    if (image.ndim() != 3 || channelAxis < 0 || channelAxis > 2)
        throw py::value_error("an image with channels has 3 axes, one of them the channels'");
    return engineSize(image, "the image");
}

/// An image with channels along NumPy axis `channelAxis` of a 3-D array; `mixing`: 0 as the
/// image decides, 1 decorrelated, 2 each channel on its own (kelvo::ChannelMixing).
FloatArray denoiseChannelsArray(const FloatArray& image, int channelAxis,
                                const std::vector<double>& sigmas, const py::object& psd,
                                const kelvo::Profile& profile, bool hardOnly, py::object progress,
                                const py::object& mask, int mixing) {
    if (IN_PROGRESS_CALLBACK)
        throw std::runtime_error("kelvo.denoise cannot be called from a progress callback");
    const kelvo::Size3 size = channelImageSize(image, channelAxis);
    const std::vector<kelvo::Noise> noise = channelNoise(sigmas, psd);
    if (mixing < 0 || mixing > 2) throw py::value_error("mixing must be 0, 1 or 2");
    const auto how = static_cast<kelvo::ChannelMixing>(mixing);
    return runDenoise(image, hardOnly, std::move(progress), false, 1, mask,
                      [&](const float* in, float* out, const kelvo::DenoiseOptions& options) {
                          kelvo::denoiseChannels(in, size, 2 - channelAxis, out, noise, profile,
                                                 options, how);
                      });
}

/// Whether the channels of `image` share their structure (kelvo::chooseChannelMixing).
bool channelsShareStructure(const FloatArray& image, int channelAxis,
                            const std::vector<double>& sigmas, const py::object& psd,
                            const py::object& mask) {
    const kelvo::Size3 size = channelImageSize(image, channelAxis);
    const std::vector<kelvo::Noise> noise = channelNoise(sigmas, psd);
    MaskArray maskKeep;
    const std::uint8_t* maskBytes = maskData(mask, image, maskKeep);
    py::gil_scoped_release release;
    return kelvo::chooseChannelMixing(image.data(), size, 2 - channelAxis, noise, maskBytes) ==
           kelvo::ChannelMixing::Decorrelate;
}

/// Each channel's sigma of an image with channels along NumPy axis `channelAxis`.
std::vector<double> estimateChannelNoiseArray(const FloatArray& image, int channelAxis,
                                              const py::object& mask) {
    const kelvo::Size3 size = channelImageSize(image, channelAxis);
    MaskArray maskKeep;
    kelvo::NoiseEstimateOptions options;
    options.mask = maskData(mask, image, maskKeep);
    std::vector<kelvo::Noise> noise = [&] {
        py::gil_scoped_release release;
        return kelvo::estimateChannelNoise(image.data(), size, 2 - channelAxis, options);
    }();
    std::vector<double> sigmas;
    for (const kelvo::Noise& n : noise) sigmas.push_back(n.sigma());
    return sigmas;
}

double estimateNoiseArray(const FloatArray& volume, const py::object& mask, bool rician,
                          int coils) {
    const kelvo::Size3 size = engineSize(volume, "the volume");
    MaskArray maskKeep;
    kelvo::NoiseEstimateOptions options;
    options.mask = maskData(mask, volume, maskKeep);
    options.distribution = distribution(rician);
    options.coils = coils;
    py::gil_scoped_release release;
    return kelvo::estimateNoise(volume.data(), size, options);
}

/// `grid` is the PSD's shape in NumPy axis order; the result has exactly that shape, or with
/// `fit` the shape of kelvo::fitPsdGrid's grid for the volume.
FloatArray estimateNoisePsdArray(const FloatArray& volume, std::vector<py::ssize_t> grid,
                                 const py::object& mask, bool rician, int coils, bool fit) {
    const kelvo::Size3 size = engineSize(volume, "the volume");
    if (grid.size() != std::size_t(volume.ndim()))
        throw py::value_error("the PSD grid needs one extent per axis of the volume");
    kelvo::Size3 g{{1, 1, 1}};
    for (std::size_t axis = 0; axis < grid.size(); ++axis) {
        if (grid[axis] < 1 || grid[axis] > INT_MAX)
            throw py::value_error("PSD grid extents must be positive");
        g[grid.size() - 1 - axis] = int(grid[axis]);
    }
    if (fit) {
        g = kelvo::fitPsdGrid(g, size);
        for (std::size_t axis = 0; axis < grid.size(); ++axis)
            grid[axis] = g[grid.size() - 1 - axis];
    }
    MaskArray maskKeep;
    kelvo::NoiseEstimateOptions options;
    options.mask = maskData(mask, volume, maskKeep);
    options.distribution = distribution(rician);
    options.coils = coils;
    kelvo::Noise noise = [&] {
        py::gil_scoped_release release;
        return kelvo::estimateNoisePsd(volume.data(), size, g, options);
    }();
    FloatArray out(grid);
    std::copy(noise.psd().begin(), noise.psd().end(), out.mutable_data());
    return out;
}

const char* pythonBool(bool v) { return v ? "True" : "False"; }

/// A float32 setting as Python writes a float: six significant digits (the value a user
/// typed, not its binary expansion) and always a decimal point ("3.0", not "3").
std::string floatText(float v) {
    std::ostringstream os;
    os << v;
    std::string text = os.str();
    if (text.find_first_of(".eni") == std::string::npos) text += ".0";
    return text;
}

std::string tripleText(const std::array<int, 3>& v) {
    std::ostringstream os;
    os << "(" << v[0] << ", " << v[1] << ", " << v[2] << ")";
    return os.str();
}

std::string tripleText(const std::array<bool, 3>& v) {
    std::ostringstream os;
    os << "(" << pythonBool(v[0]) << ", " << pythonBool(v[1]) << ", " << pythonBool(v[2]) << ")";
    return os.str();
}

/// Per-dimension settings are read as tuples: a tuple cannot be changed in place, so
/// `p.fft_size[0] = 4` fails loudly instead of changing a copy that is then lost.
template <class Owner, class T>
auto tripleGetter(std::array<T, 3> Owner::*member) {
    return [member](const Owner& o) {
        const std::array<T, 3>& v = o.*member;
        return py::make_tuple(v[0], v[1], v[2]);
    };
}

/// Any sequence of three values is accepted on assignment (tuple, list, NumPy array).
template <class Owner, class T>
auto tripleSetter(std::array<T, 3> Owner::*member) {
    return [member](Owner& o, const std::array<T, 3>& v) { o.*member = v; };
}

std::string stageRepr(const kelvo::StageProfile& s) {
    std::ostringstream os;
    os << "StageProfile(block_size=" << tripleText(s.blockSize)
       << ", step_size=" << tripleText(s.stepSize)
       << ", search_radius=" << tripleText(s.searchRadius) << ", max_group_size=" << s.maxGroupSize
       << ", threshold=" << floatText(s.threshold)
       << ", match_threshold=" << floatText(s.matchThreshold)
       << ", min_group_size=" << s.minGroupSize << ")";
    return os.str();
}

py::tuple stageState(const kelvo::StageProfile& s) {
    return py::make_tuple(s.blockSize, s.stepSize, s.searchRadius, s.maxGroupSize, s.threshold,
                          s.matchThreshold, s.minGroupSize);
}

// States of six entries were pickled before the smallest group size existed: they load with
// the rule of that time, a floor of 2.
kelvo::StageProfile stageFromState(const py::tuple& t) {
    if (t.size() != 6 && t.size() != 7) throw std::runtime_error("invalid StageProfile state");
    kelvo::StageProfile s{};
    s.blockSize = t[0].cast<std::array<int, 3>>();
    s.stepSize = t[1].cast<std::array<int, 3>>();
    s.searchRadius = t[2].cast<std::array<int, 3>>();
    s.maxGroupSize = t[3].cast<int>();
    s.threshold = t[4].cast<float>();
    s.matchThreshold = t[5].cast<float>();
    s.minGroupSize = t.size() == 7 ? t[6].cast<int>() : 2;
    return s;
}

std::string refinementRepr(const kelvo::RefinementProfile& r) {
    std::ostringstream os;
    os << "RefinementProfile(enabled=" << pythonBool(r.enabled)
       << ", block_size=" << tripleText(r.blockSize) << ", step_size=" << tripleText(r.stepSize)
       << ", search_radius=" << tripleText(r.searchRadius) << ", group_size=" << r.groupSize << ")";
    return os.str();
}

py::tuple refinementState(const kelvo::RefinementProfile& r) {
    return py::make_tuple(r.enabled, r.blockSize, r.stepSize, r.searchRadius, r.groupSize);
}

kelvo::RefinementProfile refinementFromState(const py::tuple& t) {
    if (t.size() != 5) throw std::runtime_error("invalid RefinementProfile state");
    kelvo::RefinementProfile r{};
    r.enabled = t[0].cast<bool>();
    r.blockSize = t[1].cast<std::array<int, 3>>();
    r.stepSize = t[2].cast<std::array<int, 3>>();
    r.searchRadius = t[3].cast<std::array<int, 3>>();
    r.groupSize = t[4].cast<int>();
    return r;
}

}  // namespace

// kelvo.RefinementProfile: the settings of the pass after the Wiener stage.
void bindRefinementProfile(py::module& m) {
    py::class_<kelvo::RefinementProfile>(
        m, "RefinementProfile",
        "Settings of the refinement pass after the Wiener stage: each group of the group_size "
        "blocks nearest to a reference on the Wiener estimate is estimated again from the noisy "
        "blocks with the group's own signal covariance and the noise's (white, or from the "
        "PSD). Per-dimension "
        "tuples are (x, y, z), x being the last NumPy axis.")
        .def(py::init([] { return kelvo::Profile::defaults(true).refinement; }))
        .def_readwrite("enabled", &kelvo::RefinementProfile::enabled)
        .def_property("block_size", tripleGetter(&kelvo::RefinementProfile::blockSize),
                      tripleSetter(&kelvo::RefinementProfile::blockSize))
        .def_property("step_size", tripleGetter(&kelvo::RefinementProfile::stepSize),
                      tripleSetter(&kelvo::RefinementProfile::stepSize))
        .def_property("search_radius", tripleGetter(&kelvo::RefinementProfile::searchRadius),
                      tripleSetter(&kelvo::RefinementProfile::searchRadius))
        .def_readwrite("group_size", &kelvo::RefinementProfile::groupSize)
        .def("__repr__", &refinementRepr)
        .def("__eq__",
             [](const kelvo::RefinementProfile& a, const kelvo::RefinementProfile& b) {
                 return refinementState(a).equal(refinementState(b));
             })
        .def("__copy__", [](const kelvo::RefinementProfile& r) { return r; })
        .def("__deepcopy__", [](const kelvo::RefinementProfile& r, py::dict) { return r; })
        .def(py::pickle(&refinementState, &refinementFromState));
}

// kelvo.StageProfile: the settings of one stage.
void bindStageProfile(py::module& m) {
    py::class_<kelvo::StageProfile>(m, "StageProfile",
                                    "Settings of one stage; per-dimension tuples are (x, y, z), "
                                    "x being the last NumPy axis.")
        .def(py::init([] { return kelvo::Profile::defaults(true).hardThreshold; }))
        .def_property("block_size", tripleGetter(&kelvo::StageProfile::blockSize),
                      tripleSetter(&kelvo::StageProfile::blockSize))
        .def_property("step_size", tripleGetter(&kelvo::StageProfile::stepSize),
                      tripleSetter(&kelvo::StageProfile::stepSize))
        .def_property("search_radius", tripleGetter(&kelvo::StageProfile::searchRadius),
                      tripleSetter(&kelvo::StageProfile::searchRadius))
        .def_readwrite("max_group_size", &kelvo::StageProfile::maxGroupSize)
        .def_readwrite("threshold", &kelvo::StageProfile::threshold)
        .def_readwrite("match_threshold", &kelvo::StageProfile::matchThreshold)
        .def_readwrite("min_group_size", &kelvo::StageProfile::minGroupSize)
        .def("__repr__", &stageRepr)
        .def("__eq__",
             [](const kelvo::StageProfile& a, const kelvo::StageProfile& b) {
                 return stageState(a).equal(stageState(b));
             })
        .def("__copy__", [](const kelvo::StageProfile& s) { return s; })
        .def("__deepcopy__", [](const kelvo::StageProfile& s, py::dict) { return s; })
        .def(py::pickle(&stageState, &stageFromState));
}

// kelvo.Profile: the settings of a run, picklable and comparable by value.
void bindProfile(py::module& m) {
    auto profileState = [](const kelvo::Profile& p) {
        return py::make_tuple(stageState(p.hardThreshold), stageState(p.wiener), p.fftSize,
                              p.varianceLimit, p.splitComp, p.matchNoiseWeight, p.sharpen,
                              p.sharpenVariance, p.sharpenAlpha, p.sharpenAlphaFirstSlice,
                              p.numThreads, p.multiscale, p.adaptiveWiener,
                              refinementState(p.refinement), p.coarseNoiseRatio);
    };
    auto profileFromState = [](const py::tuple& t) {
        // 11 to 14 fields: a profile pickled before the coarse scale, the per-group Wiener
        // threshold, the refinement pass or the volumes' coarse-scale rule existed (they then
        // apply, as in the defaults of the time it is loaded, which depend on the block depth
        // for the refinement).
        if (t.size() < 11 || t.size() > 15) throw std::runtime_error("invalid Profile state");
        kelvo::Profile p{};
        p.hardThreshold = stageFromState(t[0].cast<py::tuple>());
        p.wiener = stageFromState(t[1].cast<py::tuple>());
        p.fftSize = t[2].cast<std::array<int, 3>>();
        p.varianceLimit = t[3].cast<int>();
        p.splitComp = t[4].cast<std::array<bool, 3>>();
        p.matchNoiseWeight = t[5].cast<float>();
        p.sharpen = t[6].cast<bool>();
        p.sharpenVariance = t[7].cast<bool>();
        p.sharpenAlpha = t[8].cast<float>();
        p.sharpenAlphaFirstSlice = t[9].cast<float>();
        p.numThreads = t[10].cast<int>();
        p.multiscale = t.size() >= 12 ? t[11].cast<bool>() : true;
        p.adaptiveWiener = t.size() >= 13 ? t[12].cast<bool>() : true;
        p.refinement = t.size() >= 14
                           ? refinementFromState(t[13].cast<py::tuple>())
                           : kelvo::Profile::defaults(p.wiener.blockSize[2] > 1).refinement;
        p.coarseNoiseRatio =
            t.size() >= 15 ? t[14].cast<float>() : kelvo::Profile::defaults(true).coarseNoiseRatio;
        return p;
    };

    py::class_<kelvo::Profile>(m, "Profile",
                               "User-facing settings of a run, with the tuned defaults shared by "
                               "every Kelvo interface. Per-dimension values are tuples "
                               "(x, y, z), x being the last NumPy axis; tuples are immutable, "
                               "so change one by assigning a whole value, e.g. "
                               "p.fft_size = (8, 8, 8). The stages (hard_threshold, wiener) "
                               "are live views: p.wiener.max_group_size = 16 changes p; so is "
                               "p.refinement.")
        .def(py::init([](bool volumetric) { return kelvo::Profile::defaults(volumetric); }),
             py::arg("volumetric") = true)
        .def_static("defaults",
                    static_cast<kelvo::Profile (*)(bool, bool)>(&kelvo::Profile::defaults),
                    py::arg("volumetric"), py::arg("correlated") = false,
                    "Defaults for a volume (depth > 1) or a 2-D image, under white or "
                    "correlated noise.")
        .def_readwrite("hard_threshold", &kelvo::Profile::hardThreshold)
        .def_readwrite("wiener", &kelvo::Profile::wiener)
        .def_property("fft_size", tripleGetter(&kelvo::Profile::fftSize),
                      tripleSetter(&kelvo::Profile::fftSize))
        .def_readwrite("variance_limit", &kelvo::Profile::varianceLimit)
        .def_property("split_comp", tripleGetter(&kelvo::Profile::splitComp),
                      tripleSetter(&kelvo::Profile::splitComp))
        .def_readwrite("match_noise_weight", &kelvo::Profile::matchNoiseWeight)
        .def_readwrite("sharpen", &kelvo::Profile::sharpen)
        .def_readwrite("sharpen_variance", &kelvo::Profile::sharpenVariance)
        .def_readwrite("sharpen_alpha", &kelvo::Profile::sharpenAlpha)
        .def_readwrite("sharpen_alpha_first_slice", &kelvo::Profile::sharpenAlphaFirstSlice)
        .def_readwrite("multiscale", &kelvo::Profile::multiscale,
                       "Correlated noise, images under any noise, and volumes whose white "
                       "noise is large against the data (coarse_noise_ratio): also denoise a "
                       "copy binned by 2 along every axis and take the estimate's low "
                       "frequencies from it.")
        .def_readwrite("coarse_noise_ratio", &kelvo::Profile::coarseNoiseRatio,
                       "Volumes under white noise, with multiscale: the binned copy runs where "
                       "the noise's standard deviation is at least this multiple of the "
                       "data's own (sqrt(variance - sigma^2) over the samples with data); 0 "
                       "on every volume, float('inf') on none.")
        .def_readwrite("adaptive_wiener", &kelvo::Profile::adaptiveWiener,
                       "Volumes only: each Wiener group takes the multiple of "
                       "wiener.threshold that leaves the least estimated error (4/9 to 2 "
                       "under white or nearly white noise, 10/13 to 20/13 under other "
                       "correlated noise).")
        .def_readwrite("refinement", &kelvo::Profile::refinement)
        .def_readwrite("num_threads", &kelvo::Profile::numThreads)
        .def("__repr__",
             [](const kelvo::Profile& p) {
                 std::ostringstream os;
                 os << "Profile(hard_threshold=" << stageRepr(p.hardThreshold)
                    << ", wiener=" << stageRepr(p.wiener) << ", fft_size=" << tripleText(p.fftSize)
                    << ", variance_limit=" << p.varianceLimit
                    << ", split_comp=" << tripleText(p.splitComp)
                    << ", match_noise_weight=" << floatText(p.matchNoiseWeight)
                    << ", sharpen=" << pythonBool(p.sharpen)
                    << ", sharpen_variance=" << pythonBool(p.sharpenVariance)
                    << ", sharpen_alpha=" << floatText(p.sharpenAlpha)
                    << ", sharpen_alpha_first_slice=" << floatText(p.sharpenAlphaFirstSlice)
                    << ", multiscale=" << pythonBool(p.multiscale) << ", coarse_noise_ratio="
                    << (std::isinf(p.coarseNoiseRatio) ? std::string("float('inf')")
                                                       : floatText(p.coarseNoiseRatio))
                    << ", adaptive_wiener=" << pythonBool(p.adaptiveWiener)
                    << ", refinement=" << refinementRepr(p.refinement)
                    << ", num_threads=" << p.numThreads << ")";
                 return os.str();
             })
        .def("__eq__",
             [profileState](const kelvo::Profile& a, const kelvo::Profile& b) {
                 return profileState(a).equal(profileState(b));
             })
        .def("__copy__", [](const kelvo::Profile& p) { return p; })
        .def("__deepcopy__", [](const kelvo::Profile& p, py::dict) { return p; })
        .def(py::pickle(profileState, profileFromState));
}

PYBIND11_MODULE(_kelvo, m) {
    m.doc() = "Compiled core of the kelvo package; use the functions of `kelvo` instead.";

    py::register_exception<kelvo::Cancelled>(m, "Cancelled", PyExc_RuntimeError);
    // How far around a magnitude sample the clearing of the noise floor looks (kelvo.dask
    // widens its chunks' overlap by it).
    m.attr("NOISE_FLOOR_RADIUS") = kelvo::NOISE_FLOOR_RADIUS;

    bindStageProfile(m);
    bindRefinementProfile(m);
    bindProfile(m);

    m.def("_denoise", &denoiseArray, py::arg("volume"), py::arg("sigma"), py::arg("psd"),
          py::arg("profile"), py::arg("hard_only"), py::arg("progress"), py::arg("rician"),
          py::arg("coils"), py::arg("mask"));
    m.def("_denoise_channels", &denoiseChannelsArray, py::arg("image"), py::arg("channel_axis"),
          py::arg("sigmas"), py::arg("psd"), py::arg("profile"), py::arg("hard_only"),
          py::arg("progress"), py::arg("mask"), py::arg("mixing") = 0);
    m.def("_channels_share_structure", &channelsShareStructure, py::arg("image"),
          py::arg("channel_axis"), py::arg("sigmas"), py::arg("psd"), py::arg("mask"));
    m.def("_estimate_channel_noise", &estimateChannelNoiseArray, py::arg("image"),
          py::arg("channel_axis"), py::arg("mask"));
    m.def("_estimate_noise", &estimateNoiseArray, py::arg("volume"), py::arg("mask"),
          py::arg("rician"), py::arg("coils"));
    m.def("_estimate_noise_psd", &estimateNoisePsdArray, py::arg("volume"), py::arg("grid"),
          py::arg("mask"), py::arg("rician"), py::arg("coils"), py::arg("fit"));
}
