// The kelvomex plug-in's exported entry points and its small call forms.
//
//   [estimate, record] = kelvomex(27 positional arguments)   one denoising stage
//   profile = kelvomex('defaults', volumetric[, correlated])  the profile defaults
//
// The host functions KELVO and KELVOProfile are the user-facing interface; they prepare the
// positional arguments. Every argument is checked before anything runs (gateway.cpp).
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>

#include "gateway.h"
#include "kelvo/engine/transform_meta.h"
#include "kelvo/profile.h"

// The only symbols the plug-in exports: a DLL names them explicitly, an ELF or Mach-O file
// makes them visible while everything else is built hidden.
#if defined(_WIN32)
#define KELVO_MEX_EXPORT extern "C" __declspec(dllexport)
#else
#define KELVO_MEX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace kelvo {
namespace mex {

std::string format(const char* fmt, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < sizeof buffer) return std::string(buffer, n);
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_start(args, fmt);
    std::vsnprintf(&out[0], out.size(), fmt, args);
    va_end(args);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string describe(const mxArray* a) {
    if (a == nullptr) return "nothing";
    std::string s = mxGetClassName(a);
    const mwSize nd = mxGetNumberOfDimensions(a);
    const mwSize* dims = mxGetDimensions(a);
    s += ' ';
    for (mwSize d = 0; d < nd; ++d) {
        if (d) s += 'x';
        s += std::to_string(static_cast<unsigned long long>(dims[d]));
    }
    if (mxIsSparse(a)) s += " sparse";
    if (mxIsComplex(a)) s += " complex";
    return s;
}

namespace {

MxPtr doubleRow(const std::array<int, 3>& v) {
    MxPtr a(mxCreateDoubleMatrix(1, 3, mxREAL));
    double* p = static_cast<double*>(mxGetData(a.get()));
    for (int d = 0; d < 3; ++d) p[d] = v[static_cast<std::size_t>(d)];
    return a;
}

MxPtr doubleScalar(double v) { return MxPtr(mxCreateDoubleScalar(v)); }

MxPtr logicalRow(const std::array<bool, 3>& v) {
    MxPtr a(mxCreateLogicalMatrix(1, 3));
    mxLogical* p = mxGetLogicals(a.get());
    for (int d = 0; d < 3; ++d) p[d] = v[static_cast<std::size_t>(d)];
    return a;
}

// Moves `value` into field `name` of the 1x1 struct `s` (the struct owns it afterwards).
void setField(mxArray* s, const char* name, MxPtr value) {
    mxSetField(s, 0, name, value.release());
}

MxPtr stageStruct(const StageProfile& st) {
    static const char* names[] = {"blockSize", "stepSize",       "searchRadius", "maxGroupSize",
                                  "threshold", "matchThreshold", "minGroupSize"};
    MxPtr s(mxCreateStructMatrix(1, 1, 7, names));
    // Three size triples, then four scalars, in the order of `names`.
    const std::array<int, 3>* rows[3] = {&st.blockSize, &st.stepSize, &st.searchRadius};
    const double scalars[4] = {double(st.maxGroupSize), st.threshold, st.matchThreshold,
                               double(st.minGroupSize)};
    for (int k = 0; k < 3; ++k) setField(s.get(), names[k], doubleRow(*rows[k]));
    for (int k = 0; k < 4; ++k) setField(s.get(), names[3 + k], doubleScalar(scalars[k]));
    return s;
}

MxPtr refinementStruct(const RefinementProfile& r) {
    static const char* names[] = {"enabled", "blockSize", "stepSize", "searchRadius", "groupSize"};
    MxPtr s(mxCreateStructMatrix(1, 1, 5, names));
    setField(s.get(), "enabled", MxPtr(mxCreateLogicalScalar(r.enabled)));
    setField(s.get(), "blockSize", doubleRow(r.blockSize));
    setField(s.get(), "stepSize", doubleRow(r.stepSize));
    setField(s.get(), "searchRadius", doubleRow(r.searchRadius));
    setField(s.get(), "groupSize", doubleScalar(r.groupSize));
    return s;
}

}  // namespace

void defaultsCall(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 2 && nrhs != 3)
        throw GatewayError{"kelvo:nargin",
                           format("kelvomex('defaults', volumetric[, correlated]): got %d "
                                  "arguments, expected 2 or 3",
                                  nrhs)};
    bool flags[2] = {false, false};  // volumetric, correlated
    static const char* flagNames[2] = {"volumetric", "correlated"};
    for (int i = 1; i < nrhs; ++i) {
        const mxArray* v = prhs[i];
        if ((!mxIsLogical(v) && !mxIsNumeric(v)) || mxIsComplex(v) || mxGetNumberOfElements(v) != 1)
            throw GatewayError{"kelvo:badClass",
                               format("kelvomex('defaults', volumetric[, correlated]): argument "
                                      "%d (%s): got %s, expected a logical scalar",
                                      i + 1, flagNames[i - 1], describe(v).c_str())};
        flags[i - 1] = mxGetScalar(v) != 0.0;
    }
    if (nlhs > 1)
        throw GatewayError{"kelvo:nargout",
                           format("kelvomex('defaults', ...): got %d outputs, expected 1", nlhs)};
    const Profile p = Profile::defaults(flags[0], flags[1]);

    static const char* names[] = {"hardThreshold",  "wiener",
                                  "fftSize",        "varianceLimit",
                                  "splitComp",      "matchNoiseWeight",
                                  "sharpen",        "sharpenVariance",
                                  "sharpenAlpha",   "sharpenAlphaFirstSlice",
                                  "multiscale",     "coarseNoiseRatio",
                                  "adaptiveWiener", "refinement",
                                  "numThreads"};
    MxPtr s(mxCreateStructMatrix(1, 1, 15, names));
    setField(s.get(), "hardThreshold", stageStruct(p.hardThreshold));
    setField(s.get(), "wiener", stageStruct(p.wiener));
    setField(s.get(), "fftSize", doubleRow(p.fftSize));
    setField(s.get(), "varianceLimit", doubleScalar(p.varianceLimit));
    setField(s.get(), "splitComp", logicalRow(p.splitComp));
    setField(s.get(), "matchNoiseWeight", doubleScalar(p.matchNoiseWeight));
    setField(s.get(), "sharpen", MxPtr(mxCreateLogicalScalar(p.sharpen)));
    setField(s.get(), "sharpenVariance", MxPtr(mxCreateLogicalScalar(p.sharpenVariance)));
    setField(s.get(), "sharpenAlpha", doubleScalar(p.sharpenAlpha));
    setField(s.get(), "sharpenAlphaFirstSlice", doubleScalar(p.sharpenAlphaFirstSlice));
    setField(s.get(), "multiscale", MxPtr(mxCreateLogicalScalar(p.multiscale)));
    setField(s.get(), "coarseNoiseRatio", doubleScalar(p.coarseNoiseRatio));
    setField(s.get(), "adaptiveWiener", MxPtr(mxCreateLogicalScalar(p.adaptiveWiener)));
    setField(s.get(), "refinement", refinementStruct(p.refinement));
    setField(s.get(), "numThreads", doubleScalar(p.numThreads));
    plhs[0] = s.release();
}

namespace {

void copyInto(char* dst, std::size_t n, const std::string& src) {
    std::snprintf(dst, n, "%s", src.c_str());
}

// Runs one call form and turns whatever it throws into `err`. Every C++ object of the call
// lives inside this function's frames and is gone when it returns.
void guardedCall(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], HostError& err) {
    const char* id = nullptr;
    std::string text;
    try {
        if (nrhs >= 1 && mxIsChar(prhs[0])) {
            char form[16] = {0};
            if (mxGetString(prhs[0], form, sizeof form) == 0 && std::strcmp(form, "defaults") == 0)
                defaultsCall(nlhs, plhs, nrhs, prhs);
            else
                throw GatewayError{"kelvo:badCallForm",
                                   format("got the text argument '%s', expected "
                                          "'defaults' or the 27 arguments of a stage",
                                          form)};
        } else {
            stageCall(nlhs, plhs, nrhs, prhs);
        }
        return;
    } catch (const GatewayError& e) {
        copyInto(err.id, sizeof err.id, e.id);
        copyInto(err.text, sizeof err.text, e.text);
        err.raised = true;
        return;
    } catch (const MissingTransformException& e) {
        id = "kelvo:missingTransform";
        text = format(
            "no built-in transform fits this block size (%s); pass block "
            "matrices in arguments 10 and 11",
            e.what());
    } catch (const std::invalid_argument& e) {
        id = "kelvo:badSettings";
        text = format("the engine rejected the settings: %s", e.what());
    } catch (const std::bad_alloc&) {
        id = "kelvo:outOfMemory";
        text = "out of memory while running the stage";
    } catch (const std::exception& e) {
        id = "kelvo:engineError";
        text = format("the stage failed: %s", e.what());
    } catch (...) {
        id = "kelvo:engineError";
        text = "the stage failed with an unknown exception";
    }
    copyInto(err.id, sizeof err.id, id);
    copyInto(err.text, sizeof err.text, text);
    err.raised = true;
}

}  // namespace
}  // namespace mex
}  // namespace kelvo

KELVO_MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    // Plain data only in this frame: mexErrMsgIdAndTxt does not return.
    kelvo::mex::HostError err;
    kelvo::mex::guardedCall(nlhs, plhs, nrhs, prhs, err);
    if (err.raised) mexErrMsgIdAndTxt(err.id, "%s", err.text);
}

/// The MATLAB release (R2023b) and MEX API version (800, interleaved complex) the plug-in
/// requires.
KELVO_MEX_EXPORT void mexfilerequiredapiversion(unsigned int* built_by_rel,
                                                unsigned int* target_api_ver) {
    *built_by_rel = 0x2023b;
    *target_api_ver = 0x08000000;
}
