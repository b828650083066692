// Internal interface of the kelvomex plug-in: the call forms that mexFunction dispatches to.
//
// Every call form runs inside its own C++ scope and reports a failure through `HostError`,
// a plain record without destructors. mexFunction raises the host error only after that scope
// has been left, because mexErrMsgIdAndTxt does not return (it long-jumps in some hosts), so
// no C++ object may still be alive when it is called.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "mex.h"

namespace kelvo {
namespace mex {

/// A host error to raise once every C++ object of the call has been destroyed.
struct HostError {
    bool raised = false;
    char id[64] = {0};
    char text[2048] = {0};
};

/// A failure inside a call form; converted into a HostError at the call form's boundary.
struct GatewayError {
    std::string id;    ///< "kelvo:..." identifier
    std::string text;  ///< which argument, what it got, what it expects
};

/// Runs one stage: the 27 positional arguments, outputs estimate and match record.
void stageCall(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

/// kelvomex('defaults', volumetric[, correlated]): the profile defaults (kelvo::Profile::defaults)
/// as a host struct.
void defaultsCall(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

/// Destroys a host array that no output or struct has taken over.
struct MxDeleter {
    void operator()(mxArray* a) const {
        if (a) mxDestroyArray(a);
    }
};
using MxPtr = std::unique_ptr<mxArray, MxDeleter>;

/// printf-style formatting into a std::string (C99 conversions such as %zu everywhere: MinGW's
/// C++ library uses its own C99 printf, not the C run time's).
#if defined(__MINGW32__)
std::string format(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

/// "single 8x8x4", "double 1x3 complex", "cell 1x3", "nothing" for a missing array.
std::string describe(const mxArray* a);

}  // namespace mex
}  // namespace kelvo
