// kelvonoise: the noise helpers of the C++ API for the host function KELVO, as a small MEX
// file of its own (the stage plug-in kelvomex keeps its fixed 27-argument contract).
//
//   sigma = kelvonoise('estimate', z, mask, distribution, coils)
//   y     = kelvonoise('stabilise', z, sigma, coils)
//   x     = kelvonoise('unstabilise', y, sigma, coils)
//   y     = kelvonoise('fill', z)
//   zc    = kelvonoise('bin', z)
//   psdc  = kelvonoise('coarsepsd', psd, volumeSize)
//   y     = kelvonoise('correct', y, yc, limit)
//   x     = kelvonoise('refine', z, y, noise, blockSize, stepSize, searchRadius,
//                      groupSize, numThreads)
//
// z is a real single or double 2-D or 3-D array; the host's column-major layout is the API's
// layout (dimension 1 fastest). mask is [] or a logical or numeric array of z's size,
// non-zero inside; distribution is 'gaussian' or 'rician'. 'estimate' returns the standard
// deviation of the noise as kelvo::estimateNoise measures it (for 'rician', of each complex
// channel), leaving out NaN/Inf, samples outside the mask and runs of an exactly repeated
// value. 'stabilise' and 'unstabilise' are the variance-stabilising map of magnitude data and
// its unbiased inverse followed by the clearing of the noise floor, as kelvo::denoise applies
// them (kelvo/magnitude.h). 'fill' replaces every non-finite sample as
// kelvo::denoise does before the block processing. The array results are single.
// Under correlated noise kelvo::denoise also denoises a copy binned by 2 along every axis
// longer than one sample; 'bin' makes that copy, 'coarsepsd' the binned noise's PSD (on the
// PSD's own grid) for a volume of size volumeSize, and 'correct' adds to the estimate y the
// low-pass content of the binned copy's estimate yc, differences attenuated beyond limit
// (kelvo/multiscale.h). kelvo::denoise ends with a refinement pass: 'refine' re-estimates the
// estimate y of z with the settings of KELVOProfile's refinement field
// (kelvo/engine/refinement.h); noise is the white noise's variance (a scalar) or the noise's
// PSD (an array on its own grid, as the stages take it).
//
// Errors are raised with kelvo: identifiers once every C++ object of the call is gone
// (mexErrMsgIdAndTxt does not return).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelvo/kelvo.h"
#include "kelvo/magnitude.h"
#include "kelvo/multiscale.h"
#include "kelvo/stage_records.h"
#include "mex.h"
#include "sample_data.h"

// The only symbols the helper exports, as for kelvomex: a DLL names them explicitly, an ELF
// or Mach-O file makes them visible while everything else is built hidden.
#if defined(_WIN32)
#define KELVO_MEX_EXPORT extern "C" __declspec(dllexport)
#else
#define KELVO_MEX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct CallError {
    std::string id;
    std::string text;
};

/// A host error to raise after the C++ frames are gone: plain data only.
struct PendingError {
    bool raised = false;
    char id[64] = {0};
    char text[1024] = {0};
};

[[noreturn]] void fail(const char* id, const std::string& text) { throw CallError{id, text}; }

std::string argName(const char* command, int i) {
    return std::string("kelvonoise('") + command + "', ...): argument " + std::to_string(i + 1);
}

/// The size of a real 2-D or 3-D single/double array in the API's order.
kelvo::Size3 volumeSize(const mxArray* a, const std::string& what) {
    if (!(mxIsSingle(a) || mxIsDouble(a)) || mxIsComplex(a) || mxIsSparse(a))
        fail("kelvo:badClass", what + " must be a real single or double array");
    const mwSize nd = mxGetNumberOfDimensions(a);
    const mwSize* dims = mxGetDimensions(a);
    if (nd > 3 || mxGetNumberOfElements(a) == 0)
        fail("kelvo:badSize", what + " must be a non-empty 2-D or 3-D array");
    kelvo::Size3 size{{1, 1, 1}};
    for (mwSize d = 0; d < nd; ++d) {
        if (dims[d] > mwSize(INT32_MAX)) fail("kelvo:badSize", what + " is too large");
        size[d] = int(dims[d]);
    }
    return size;
}

/// The samples of `a` as floats (a copy: the helpers work in place).
std::vector<float> samples(const mxArray* a) {
    const std::size_t n = mxGetNumberOfElements(a);
    std::vector<float> out(n);
    if (mxIsSingle(a)) {
        const float* p = static_cast<const float*>(mxGetData(a));
        std::copy(p, p + n, out.begin());
    } else {
        const double* p = static_cast<const double*>(mxGetData(a));
        for (std::size_t i = 0; i < n; ++i) out[i] = float(p[i]);
    }
    return out;
}

double positiveScalar(const mxArray* a, const std::string& what) {
    if (!(mxIsNumeric(a) || mxIsLogical(a)) || mxIsComplex(a) || mxGetNumberOfElements(a) != 1)
        fail("kelvo:badClass", what + " must be a real scalar");
    const double v = mxGetScalar(a);
    if (!(v > 0) || !std::isfinite(v))
        fail("kelvo:badValue", what + " must be positive and finite");
    return v;
}

int coilCount(const mxArray* a, const std::string& what) {
    const double v = positiveScalar(a, what);
    if (v != double(int(v)) || v > 64)
        fail("kelvo:badValue", what + " must be a whole number of coils from 1 to 64");
    return int(v);
}

mxArray* singleArrayLike(const mxArray* like, const std::vector<float>& data) {
    mxArray* out = mxCreateNumericArray(mxGetNumberOfDimensions(like), mxGetDimensions(like),
                                        mxSINGLE_CLASS, mxREAL);
    if (!out) fail("kelvo:outOfMemory", "could not create the result");
    std::copy(data.begin(), data.end(), static_cast<float*>(mxGetData(out)));
    return out;
}

void estimateCall(int nrhs, const mxArray* prhs[], mxArray* plhs[]) {
    const char* cmd = "estimate";
    if (nrhs != 5)
        fail("kelvo:nargin", "kelvonoise('estimate', z, mask, distribution, coils): got " +
                                 std::to_string(nrhs) + " arguments, expected 5");
    const kelvo::Size3 size = volumeSize(prhs[1], argName(cmd, 1) + " (z)");
    const std::vector<float> z = samples(prhs[1]);
    std::vector<std::uint8_t> mask;
    const mxArray* m = prhs[2];
    if (mxGetNumberOfElements(m) != 0) {
        if (!(mxIsNumeric(m) || mxIsLogical(m)) || mxIsComplex(m) ||
            mxGetNumberOfElements(m) != z.size())
            fail("kelvo:badSize", argName(cmd, 2) +
                                      " (mask) must be [] or a real array of "
                                      "z's size");
        mask.resize(z.size());
        for (std::size_t i = 0; i < z.size(); ++i) {
            // Any class: compare each element with zero through the host's double view.
            if (mxIsLogical(m))
                mask[i] = mxGetLogicals(m)[i] ? 1 : 0;
            else if (mxIsDouble(m))
                mask[i] = static_cast<const double*>(mxGetData(m))[i] != 0 ? 1 : 0;
            else if (mxIsSingle(m))
                mask[i] = static_cast<const float*>(mxGetData(m))[i] != 0 ? 1 : 0;
            else
                fail("kelvo:badClass", argName(cmd, 2) +
                                           " (mask) must be logical, single "
                                           "or double");
        }
    }
    char name[16] = {0};
    if (!mxIsChar(prhs[3]) || mxGetString(prhs[3], name, sizeof name) != 0 ||
        (std::strcmp(name, "gaussian") != 0 && std::strcmp(name, "rician") != 0))
        fail("kelvo:badValue", argName(cmd, 3) +
                                   " (distribution) must be 'gaussian' or "
                                   "'rician'");
    kelvo::NoiseEstimateOptions options;
    options.mask = mask.empty() ? nullptr : mask.data();
    options.distribution = std::strcmp(name, "rician") == 0 ? kelvo::NoiseDistribution::Rician
                                                            : kelvo::NoiseDistribution::Gaussian;
    options.coils = coilCount(prhs[4], argName(cmd, 4) + " (coils)");
    plhs[0] = mxCreateDoubleScalar(kelvo::estimateNoise(z.data(), size, options));
}

void magnitudeCall(bool forward, int nrhs, const mxArray* prhs[], mxArray* plhs[]) {
    const char* cmd = forward ? "stabilise" : "unstabilise";
    if (nrhs != 4)
        fail("kelvo:nargin", std::string("kelvonoise('") + cmd + "', z, sigma, coils): got " +
                                 std::to_string(nrhs) + " arguments, expected 4");
    const kelvo::Size3 size = volumeSize(prhs[1], argName(cmd, 1) + " (z)");
    std::vector<float> z = samples(prhs[1]);
    const double sigma = positiveScalar(prhs[2], argName(cmd, 2) + " (sigma)");
    const int coils = coilCount(prhs[3], argName(cmd, 3) + " (coils)");
    if (forward)
        kelvo::stabiliseMagnitude(z.data(), z.size(), sigma, coils);
    else {
        kelvo::unstabiliseMagnitude(z.data(), z.size(), sigma, coils);
        kelvo::clearNoiseFloor(z.data(), size, sigma);
    }
    plhs[0] = singleArrayLike(prhs[1], z);
}

void fillCall(int nrhs, const mxArray* prhs[], mxArray* plhs[]) {
    if (nrhs != 2)
        fail("kelvo:nargin",
             "kelvonoise('fill', z): got " + std::to_string(nrhs) + " arguments, expected 2");
    const kelvo::Size3 size = volumeSize(prhs[1], argName("fill", 1) + " (z)");
    std::vector<float> z = samples(prhs[1]);
    kelvo::detail::fillNonFinite(z.data(), size);
    plhs[0] = singleArrayLike(prhs[1], z);
}

/// The result array of a binned copy of a volume of `size`.
mxArray* singleArrayOfSize(kelvo::Size3 size, const std::vector<float>& data) {
    const mwSize dims[3] = {mwSize(size[0]), mwSize(size[1]), mwSize(size[2])};
    mxArray* out = mxCreateNumericArray(size[2] > 1 ? 3 : 2, dims, mxSINGLE_CLASS, mxREAL);
    if (!out) fail("kelvo:outOfMemory", "could not create the result");
    std::copy(data.begin(), data.end(), static_cast<float*>(mxGetData(out)));
    return out;
}

void multiscaleCall(const char* cmd, int nrhs, const mxArray* prhs[], mxArray* plhs[]) {
    const int expected = std::strcmp(cmd, "bin") == 0         ? 2
                         : std::strcmp(cmd, "coarsepsd") == 0 ? 3
                                                              : 4;
    if (nrhs != expected)
        fail("kelvo:nargin", std::string("kelvonoise('") + cmd + "', ...): got " +
                                 std::to_string(nrhs) + " arguments, expected " +
                                 std::to_string(expected));
    const kelvo::Size3 size = volumeSize(prhs[1], argName(cmd, 1));
    const std::vector<float> a = samples(prhs[1]);
    if (std::strcmp(cmd, "bin") == 0) {
        const std::array<bool, 3> binned = kelvo::binnedAxes(size);
        const kelvo::Size3 c = kelvo::coarseSize(size, binned);
        std::vector<float> out(std::size_t(c[0]) * c[1] * c[2]);
        kelvo::binByTwo(a.data(), size, binned, out.data());
        plhs[0] = singleArrayOfSize(c, out);
    } else if (std::strcmp(cmd, "coarsepsd") == 0) {
        const mxArray* v = prhs[2];
        if (!(mxIsSingle(v) || mxIsDouble(v)) || mxIsComplex(v) || mxGetNumberOfElements(v) < 2 ||
            mxGetNumberOfElements(v) > 3)
            fail("kelvo:badClass", argName(cmd, 2) + " (volumeSize) must be a row of 2 or 3 sizes");
        kelvo::Size3 volume{{1, 1, 1}};
        const std::vector<float> sizes = samples(v);
        for (std::size_t d = 0; d < sizes.size(); ++d) {
            if (!(sizes[d] >= 1.0f))
                fail("kelvo:badValue", argName(cmd, 2) + " (volumeSize) must hold sizes >= 1");
            volume[d] = int(sizes[d]);
        }
        plhs[0] =
            singleArrayLike(prhs[1], kelvo::coarseNoisePsd(a, size, kelvo::binnedAxes(volume)));
    } else {
        const std::array<bool, 3> binned = kelvo::binnedAxes(size);
        const kelvo::Size3 c = kelvo::coarseSize(size, binned);
        if (volumeSize(prhs[2], argName(cmd, 2) + " (yc)") != c)
            fail("kelvo:badSize", argName(cmd, 2) + " (yc) must have the binned size of y");
        std::vector<float> y = a, scratch;
        kelvo::addCoarseCorrection(y.data(), size, binned, samples(prhs[2]).data(),
                                   float(positiveScalar(prhs[3], argName(cmd, 3) + " (limit)")),
                                   scratch);
        plhs[0] = singleArrayLike(prhs[1], y);
    }
}

/// A row of three whole numbers (KELVO passes every per-dimension setting with three).
std::array<int, 3> wholeTriple(const mxArray* a, const std::string& what) {
    if (!(mxIsNumeric(a) || mxIsLogical(a)) || mxIsComplex(a) || mxGetNumberOfElements(a) != 3)
        fail("kelvo:badClass", what + " must be a row of 3 whole numbers");
    std::array<int, 3> out{};
    const std::vector<float> v = samples(a);
    for (std::size_t d = 0; d < 3; ++d) {
        if (!(std::fabs(v[d]) < 1e6f) || v[d] != std::floor(v[d]))
            fail("kelvo:badValue", what + " must hold whole numbers");
        out[d] = int(v[d]);
    }
    return out;
}

void refineCall(int nrhs, const mxArray* prhs[], mxArray* plhs[]) {
    const char* cmd = "refine";
    if (nrhs != 9)
        fail("kelvo:nargin",
             "kelvonoise('refine', ...): got " + std::to_string(nrhs) + " arguments, expected 9");
    const kelvo::Size3 size = volumeSize(prhs[1], argName(cmd, 1) + " (z)");
    if (volumeSize(prhs[2], argName(cmd, 2) + " (y)") != size)
        fail("kelvo:badSize", argName(cmd, 2) + " (y) must have the size of z");
    const kelvo::Noise noise =
        mxGetNumberOfElements(prhs[3]) == 1
            ? kelvo::Noise::white(std::sqrt(positiveScalar(prhs[3], argName(cmd, 3) + " (noise)")))
            : kelvo::Noise::spectrum(samples(prhs[3]),
                                     volumeSize(prhs[3], argName(cmd, 3) + " (noise)"));
    kelvo::Profile profile = kelvo::Profile::defaults(size[2] > 1);
    profile.refinement.enabled = true;
    profile.refinement.blockSize = wholeTriple(prhs[4], argName(cmd, 4) + " (blockSize)");
    profile.refinement.stepSize = wholeTriple(prhs[5], argName(cmd, 5) + " (stepSize)");
    profile.refinement.searchRadius = wholeTriple(prhs[6], argName(cmd, 6) + " (searchRadius)");
    const double group = positiveScalar(prhs[7], argName(cmd, 7) + " (groupSize)");
    if (group != std::floor(group) || group > 64)
        fail("kelvo:badValue", argName(cmd, 7) + " (groupSize) must be a whole number, 2 to 64");
    profile.refinement.groupSize = int(group);
    const double threads = mxGetScalar(prhs[8]);
    profile.numThreads = threads > 0 && threads <= 1024 ? int(threads) : 0;
    const kelvo::RefinementParameters params = kelvo::refinementParameters(profile, size, noise);
    if (!kelvo::refinementApplies(size, noise, profile)) {
        // Correlated noise the pass cannot model (a spectrum with zeros): y as it is.
        plhs[0] = singleArrayLike(prhs[1], samples(prhs[2]));
        return;
    }
    const std::vector<float> z = samples(prhs[1]);
    std::vector<float> y = samples(prhs[2]);
    switch (kelvo::refineEstimate(z.data(), y.data(), y.data(), params)) {
        case kelvo::StageOutcome::Completed:
            break;
        case kelvo::StageOutcome::OutOfMemory:
            throw std::bad_alloc();
        case kelvo::StageOutcome::Cancelled:
            fail("kelvo:cancelled", "kelvonoise('refine', ...): cancelled");
    }
    plhs[0] = singleArrayLike(prhs[1], y);
}

void copyInto(char* dst, std::size_t n, const std::string& src) {
    std::snprintf(dst, n, "%s", src.c_str());
}

void guardedCall(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], PendingError& err) {
    std::string id, text;
    try {
        char form[16] = {0};
        if (nrhs < 1 || !mxIsChar(prhs[0]) || mxGetString(prhs[0], form, sizeof form) != 0)
            fail("kelvo:badCallForm",
                 "kelvonoise: the first argument must be 'estimate', "
                 "'stabilise', 'unstabilise' or 'fill'");
        if (nlhs > 1) fail("kelvo:nargout", "kelvonoise returns one output");
        if (std::strcmp(form, "estimate") == 0)
            estimateCall(nrhs, prhs, plhs);
        else if (std::strcmp(form, "stabilise") == 0)
            magnitudeCall(true, nrhs, prhs, plhs);
        else if (std::strcmp(form, "unstabilise") == 0)
            magnitudeCall(false, nrhs, prhs, plhs);
        else if (std::strcmp(form, "fill") == 0)
            fillCall(nrhs, prhs, plhs);
        else if (std::strcmp(form, "bin") == 0 || std::strcmp(form, "coarsepsd") == 0 ||
                 std::strcmp(form, "correct") == 0)
            multiscaleCall(form, nrhs, prhs, plhs);
        else if (std::strcmp(form, "refine") == 0)
            refineCall(nrhs, prhs, plhs);
        else
            fail("kelvo:badCallForm", std::string("kelvonoise: unknown call form '") + form +
                                          "'; expected 'estimate', 'stabilise', "
                                          "'unstabilise', 'fill', 'bin', 'coarsepsd', "
                                          "'correct' or 'refine'");
        return;
    } catch (const CallError& e) {
        id = e.id;
        text = e.text;
    } catch (const std::invalid_argument& e) {
        id = "kelvo:badValue";
        text = e.what();
    } catch (const std::bad_alloc&) {
        id = "kelvo:outOfMemory";
        text = "out of memory";
    } catch (const std::exception& e) {
        id = "kelvo:engineError";
        text = e.what();
    } catch (...) {
        id = "kelvo:engineError";
        text = "unknown failure";
    }
    copyInto(err.id, sizeof err.id, id);
    copyInto(err.text, sizeof err.text, text);
    err.raised = true;
}

}  // namespace

KELVO_MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    PendingError err;
    guardedCall(nlhs, plhs, nrhs, prhs, err);
    if (err.raised) mexErrMsgIdAndTxt(err.id, "%s", err.text);
}

/// The MATLAB release (R2023b) and MEX API version (800, interleaved complex) required, as
/// for kelvomex.
KELVO_MEX_EXPORT void mexfilerequiredapiversion(unsigned int* built_by_rel,
                                                unsigned int* target_api_ver) {
    *built_by_rel = 0x2023b;
    *target_api_ver = 0x08000000;
}
