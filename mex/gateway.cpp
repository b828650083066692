// The stage call of kelvomex: checks the 27 positional arguments, builds the engine's
// Parameters and Transforms records, exchanges the match record and runs one stage.
//
// Argument numbers in messages count from 1, as the host does. Every check runs before any
// output is created or the engine is called; a failure throws GatewayError, which the entry
// point turns into a host error once this file's objects are destroyed.
//
// Hosts differ in how they represent "nothing": a never-assigned cell element is a null
// pointer in MATLAB and an empty double in Octave, and the data pointer of an empty array is
// null in one host and not in the other. Emptiness is therefore always judged by element
// count (`isEmpty`), never by the data pointer.
//
// Complex data is rejected: the engine filters real samples only.
#include "gateway.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "kelvo/engine/helpers.h"
#include "kelvo/engine/interface.h"
#include "kelvo/engine/match_storage.h"
#include "kelvo/engine/records.h"
#include "kelvo/engine/reference_grid.h"

namespace kelvo {
namespace mex {
namespace {

// The stage call takes 27 arguments, and up to two optional ones after them.
constexpr int ARG_COUNT = 27;
constexpr int ARG_COUNT_OPTIONAL = 29;

// Positions of the arguments (0-based, as prhs is indexed).
enum Arg : int {
    A_VOLUME = 0,
    A_GROUP_FWD,
    A_GROUP_INV,
    A_STEP,
    A_BLOCK,
    A_MAX_GROUP,
    A_THRESHOLD,
    A_MATCH_THRESHOLD,
    A_SEARCH_RADIUS,
    A_BLOCK_FWD,
    A_BLOCK_INV,
    A_WINDOW,
    A_PSD,
    A_FFT_SIZE,
    A_MATCH_NOISE_WEIGHT,
    A_VARIANCE_LIMIT,
    A_SPLIT_COMP,
    A_SHIFTS,
    A_MATCH_MODE,
    A_RECORD,
    A_WIENER,
    A_PILOT,
    A_SHARPEN,
    A_SHARPEN_VARIANCE,
    A_SHARPEN_ALPHA,
    A_SHARPEN_ALPHA_FIRST,
    A_NUM_THREADS,
    A_ADAPTIVE_WIENER,  // optional: logical, false when absent (the threshold as given)
    A_MIN_GROUP         // optional: int32 scalar, 2 when absent (the nearest block only)
};

const char* const ARG_NAMES[ARG_COUNT_OPTIONAL] = {"volume",
                                                   "groupFwd",
                                                   "groupInv",
                                                   "stepSize",
                                                   "blockSize",
                                                   "maxGroupSize",
                                                   "threshold",
                                                   "matchThreshold",
                                                   "searchRadius",
                                                   "blockFwd",
                                                   "blockInv",
                                                   "window",
                                                   "psd",
                                                   "fftSize",
                                                   "matchNoiseWeight",
                                                   "varianceLimit",
                                                   "splitComp",
                                                   "shifts",
                                                   "matchMode",
                                                   "matchRecord",
                                                   "wienerStage",
                                                   "pilot",
                                                   "sharpen",
                                                   "sharpenVariance",
                                                   "sharpenAlpha",
                                                   "sharpenAlphaFirstSlice",
                                                   "numThreads",
                                                   "adaptiveWiener",
                                                   "minGroupSize"};

/// Largest group the engine's built-in group tables (HAAR_NL_FWD/INV) cover.
constexpr int MAX_GROUP_LIMIT = 64;

const char* const RECORD_FIELDS[4] = {"stackCount", "groupSizes", "blockPositions",
                                      "shiftedPositions"};

std::string argLabel(int i) { return format("argument %d (%s)", i + 1, ARG_NAMES[i]); }

[[noreturn]] void fail(const char* id, std::string text) {
    throw GatewayError{id, std::move(text)};
}

// "argument N (name): got <description>, expected <expected>"
[[noreturn]] void failArg(int i, const char* id, const mxArray* a, const std::string& expected) {
    fail(id, format("%s: got %s, expected %s", argLabel(i).c_str(), describe(a).c_str(),
                    expected.c_str()));
}

[[noreturn]] void failValue(int i, const std::string& got, const std::string& expected) {
    fail("kelvo:badValue",
         format("%s: got %s, expected %s", argLabel(i).c_str(), got.c_str(), expected.c_str()));
}

bool isEmpty(const mxArray* a) { return a == nullptr || mxGetNumberOfElements(a) == 0; }

// Complex input is answered before the class check so that the message names the reason.
void rejectComplex(int i, const mxArray* a, const char* what) {
    if (a != nullptr && mxIsComplex(a))
        failArg(i, "kelvo:complexUnsupported", a,
                format("real %s: kelvomex filters real samples only (denoise the real and "
                       "imaginary parts separately)",
                       what));
}

// A real, dense single array; returns its data (null when it is empty).
const float* singleData(int i, const mxArray* a, const char* what) {
    rejectComplex(i, a, what);
    if (a == nullptr || !mxIsSingle(a) || mxIsSparse(a))
        failArg(i, "kelvo:badClass", a, format("real single %s", what));
    return isEmpty(a) ? nullptr : static_cast<const float*>(mxGetData(a));
}

void requireFinite(int i, const float* p, std::size_t n, const char* what, bool nonNegative,
                   bool positive) {
    for (std::size_t k = 0; k < n; ++k) {
        const float v = p[k];
        if (!std::isfinite(v))
            fail("kelvo:nonFinite",
                 format("%s: element %zu is %g, expected finite %s", argLabel(i).c_str(), k + 1,
                        static_cast<double>(v), what));
        if ((positive && !(v > 0.0f)) || (nonNegative && v < 0.0f))
            failValue(i, format("element %zu = %g", k + 1, static_cast<double>(v)),
                      format("%s %s", positive ? "positive" : "non-negative", what));
    }
}

const std::int32_t* int32Data(int i, const mxArray* a, std::size_t count, const char* what) {
    if (a == nullptr || !mxIsInt32(a) || mxIsComplex(a) || mxGetNumberOfElements(a) != count)
        failArg(i, "kelvo:badClass", a, what);
    return static_cast<const std::int32_t*>(mxGetData(a));
}

Vec3<int> readInt3(const mxArray* const* prhs, int i) {
    const std::int32_t* p = int32Data(i, prhs[i], 3, "int32 with 3 elements");
    return Vec3<int>{p[0], p[1], p[2]};
}

int readInt(const mxArray* const* prhs, int i) {
    return *int32Data(i, prhs[i], 1, "an int32 scalar");
}

float readFloat(const mxArray* const* prhs, int i, bool positive) {
    const mxArray* a = prhs[i];
    const float* p = singleData(i, a, "scalar");
    if (mxGetNumberOfElements(a) != 1) failArg(i, "kelvo:badSize", a, "a real single scalar");
    requireFinite(i, p, 1, "scalar", !positive, positive);
    return *p;
}

bool readBool(const mxArray* const* prhs, int i) {
    const mxArray* a = prhs[i];
    if (a == nullptr || !mxIsLogical(a) || mxGetNumberOfElements(a) != 1)
        failArg(i, "kelvo:badClass", a, "a logical scalar");
    return mxGetLogicals(a)[0] != 0;
}

// Dimensions of a 2-D or 3-D array as a Vec3 (third = 1 for two dimensions). Each extent must
// be positive and the element count must fit the engine's int indexing.
Vec3<int> volumeSize(int i, const mxArray* a, const char* what) {
    const mwSize nd = mxGetNumberOfDimensions(a);
    const mwSize* dims = mxGetDimensions(a);
    if (nd > 3) failArg(i, "kelvo:badSize", a, format("a 2-D or 3-D %s", what));
    Vec3<int> s{1, 1, 1};
    long long total = 1;
    for (mwSize d = 0; d < nd; ++d) {
        if (dims[d] == 0) failArg(i, "kelvo:badSize", a, format("a non-empty %s", what));
        if (dims[d] > static_cast<mwSize>(INT_MAX))
            failArg(i, "kelvo:badSize", a, format("a %s with fewer than 2^31 samples", what));
        s[static_cast<int>(d)] = static_cast<int>(dims[d]);
        total *= static_cast<long long>(dims[d]);
        if (total > INT_MAX)
            failArg(i, "kelvo:badSize", a, format("a %s with fewer than 2^31 samples", what));
    }
    return s;
}

// A real single n x n matrix with finite entries.
const float* squareMatrix(int i, const mxArray* a, int n, const std::string& what) {
    const float* p = singleData(i, a, "matrix");
    if (mxGetNumberOfDimensions(a) != 2 || mxGetM(a) != static_cast<std::size_t>(n) ||
        mxGetN(a) != static_cast<std::size_t>(n))
        failArg(i, "kelvo:badSize", a, format("a %dx%d single matrix (%s)", n, n, what.c_str()));
    requireFinite(i, p, static_cast<std::size_t>(n) * static_cast<std::size_t>(n), "entries", false,
                  false);
    return p;
}

const mxArray* cellAt(const mxArray* cell, std::size_t k) {
    return k < mxGetNumberOfElements(cell) ? mxGetCell(cell, k) : nullptr;
}

// Everything the stage needs, gathered before anything runs. Owns the group tables.
struct StageCall {
    Parameters params{};
    Transforms transforms{};
    std::vector<const float*> groupFwdTable;
    std::vector<const float*> groupInvTable;
    const float* image = nullptr;
    const float* psd = nullptr;
    const float* pilot = nullptr;
    bool wiener = false;
    int matchMode = -1;
    bool builtInTransforms = true;
    long long locationCount = 0;  ///< reference grid positions: the record's n
};

// The three tables of a replay record, checked for class and shape.
struct RecordTables {
    const std::int32_t* sizes;
    const std::int32_t* positions;
    const std::int32_t* shifted;
};

RecordTables recordTables(const mxArray* rec, long long n, int maxGroupSize) {
    const int i = A_RECORD;
    const mxArray* gs = mxGetField(rec, 0, "groupSizes");
    const mxArray* bp = mxGetField(rec, 0, "blockPositions");
    const mxArray* sp = mxGetField(rec, 0, "shiftedPositions");
    if (gs == nullptr || bp == nullptr || sp == nullptr)
        failArg(i, "kelvo:badRecord", rec,
                "a match record with the fields groupSizes, blockPositions and "
                "shiftedPositions (the second output of a recording call)");
    const std::size_t rows = static_cast<std::size_t>(n) * static_cast<std::size_t>(maxGroupSize);
    const auto checkTable = [&](const mxArray* t, const char* field, std::size_t m,
                                std::size_t cols) {
        if (!mxIsInt32(t) || mxIsComplex(t) || mxGetNumberOfDimensions(t) != 2 || mxGetM(t) != m ||
            mxGetN(t) != cols)
            fail("kelvo:badRecord",
                 format("%s: field %s is %s, expected int32 %zux%zu for this volume, step "
                        "size and maxGroupSize (the record was made with other settings)",
                        argLabel(i).c_str(), field, describe(t).c_str(), m, cols));
        return static_cast<const std::int32_t*>(mxGetData(t));
    };
    return {checkTable(gs, "groupSizes", static_cast<std::size_t>(n), 1),
            checkTable(bp, "blockPositions", rows, 3), checkTable(sp, "shiftedPositions", rows, 3)};
}

// Checks the group stored for location `loc` with reference position `ref`: its size, every
// block inside the volume and the reference's search window, and shifted positions equal
// to the positions minus the group's lowest corner.
void checkRecordedGroup(const RecordTables& t, const Parameters& p, const ReferenceGrid& grid,
                        long long loc, Vec3<int> ref) {
    const int i = A_RECORD;
    const int mgs = p.maxGroupSize;
    const int count = t.sizes[loc];
    if (count < 1 || count > mgs)
        fail("kelvo:badRecord", format("%s: groupSizes(%lld) is %d, expected 1..%d (maxGroupSize)",
                                       argLabel(i).c_str(), loc + 1, count, mgs));
    const std::size_t row0 = static_cast<std::size_t>(loc) * static_cast<std::size_t>(mgs);
    const Vec3<int> last = grid.lastPosition();
    Vec3<int> minCorner{INT_MAX, INT_MAX, INT_MAX};
    for (int k = 0; k < count; ++k) {
        const std::int32_t* b = t.positions + 3 * (row0 + k);
        for (int d = 0; d < 3; ++d) {
            if (b[d] < 0 || b[d] > last[d] || std::abs(b[d] - ref[d]) > p.searchRadius[d])
                fail("kelvo:badRecord",
                     format("%s: block %d of location %lld is at [%d %d %d], expected a block "
                            "inside the volume within the search radius %s of its reference "
                            "[%d %d %d]",
                            argLabel(i).c_str(), k + 1, loc + 1, b[0], b[1], b[2],
                            vecText(p.searchRadius).c_str(), ref.x, ref.y, ref.z));
            minCorner[d] = std::min(minCorner[d], static_cast<int>(b[d]));
        }
    }
    for (int k = 0; k < count; ++k) {
        const std::int32_t* b = t.positions + 3 * (row0 + k);
        const std::int32_t* s = t.shifted + 3 * (row0 + k);
        for (int d = 0; d < 3; ++d)
            if (s[d] != b[d] - minCorner[d])
                fail("kelvo:badRecord",
                     format("%s: shifted position of block %d of location %lld is [%d %d %d], "
                            "expected its position minus the group's lowest corner, [%d %d %d]",
                            argLabel(i).c_str(), k + 1, loc + 1, s[0], s[1], s[2],
                            b[0] - minCorner.x, b[1] - minCorner.y, b[2] - minCorner.z));
    }
}

// Checks argument 20 as a record for replay: sizes implied by the volume, the step and
// maxGroupSize, then the group of every location the stage visits (the engine's own walk of
// the reference grid). Points the engine's record does not number are never visited (the
// parameter checks refuse shift lists that would visit them).
void checkReplayRecord(const mxArray* rec, const Parameters& p, long long n,
                       BlockMatchStorage& storage) {
    const RecordTables t = recordTables(rec, n, p.maxGroupSize);
    const ReferenceGrid grid(p);
    for (int s = 0; s < grid.sliceCount(); ++s) {
        grid.forEachLocation(s, [&](Vec3<int> gi, Vec3<int> ref) {
            if (grid.numbered(gi)) checkRecordedGroup(t, p, grid, grid.index(gi), ref);
            return true;
        });
    }
    // The engine reads the host's tables in replay and never writes them.
    storage.groupSizes = const_cast<std::int32_t*>(t.sizes);
    storage.blockPositions = const_cast<std::int32_t*>(t.positions);
    storage.shiftedPositions = const_cast<std::int32_t*>(t.shifted);
}

// Scalars, size triples and flags (arguments 4-9, 14-17, 19-21, 23-27).
void readScalars(const mxArray* const* prhs, StageCall& c) {
    Parameters& p = c.params;
    p.stepSize = readInt3(prhs, A_STEP);
    p.blockSize = readInt3(prhs, A_BLOCK);
    p.maxGroupSize = readInt(prhs, A_MAX_GROUP);

    const mxArray* th = prhs[A_THRESHOLD];
    const float* thp = singleData(A_THRESHOLD, th, "threshold");
    const std::size_t thn = mxGetNumberOfElements(th);
    if (thn != 1 && thn != 2)
        failArg(A_THRESHOLD, "kelvo:badSize", th, "a real single with 1 or 2 elements");
    requireFinite(A_THRESHOLD, thp, thn, "threshold", true, false);
    p.threshold = thp[0];
    p.thresholdSquared = thp[0] * thp[0];
    p.secondThreshold = thn == 2 ? thp[1] : thp[0];

    p.matchThreshold = readFloat(prhs, A_MATCH_THRESHOLD, false);
    p.searchRadius = readInt3(prhs, A_SEARCH_RADIUS);
    p.fftSize = readInt3(prhs, A_FFT_SIZE);
    p.matchNoiseWeight = readFloat(prhs, A_MATCH_NOISE_WEIGHT, false);
    p.varianceLimit = readInt(prhs, A_VARIANCE_LIMIT);

    const mxArray* sc = prhs[A_SPLIT_COMP];
    if (sc == nullptr || !mxIsLogical(sc) || mxGetNumberOfElements(sc) != 3)
        failArg(A_SPLIT_COMP, "kelvo:badClass", sc, "logical with 3 elements");
    for (int d = 0; d < 3; ++d) p.splitComp[d] = mxGetLogicals(sc)[d] != 0;

    c.matchMode = readInt(prhs, A_MATCH_MODE);
    if (c.matchMode < -1 || c.matchMode > 1)
        failValue(A_MATCH_MODE, format("%d", c.matchMode),
                  "-1 (no record), 0 (record the matches) or 1 (replay argument 20)");
    const mxArray* rec = prhs[A_RECORD];
    if (rec == nullptr || !mxIsStruct(rec) || mxGetNumberOfElements(rec) != 1)
        failArg(A_RECORD, "kelvo:badClass", rec,
                "a 1x1 struct (a match record in replay, a struct without fields otherwise)");

    c.wiener = readBool(prhs, A_WIENER);
    p.sharpen = readBool(prhs, A_SHARPEN);
    p.sharpenVariance = readBool(prhs, A_SHARPEN_VARIANCE);
    p.sharpenAlpha = readFloat(prhs, A_SHARPEN_ALPHA, true);
    p.sharpenAlphaFirstSlice = readFloat(prhs, A_SHARPEN_ALPHA_FIRST, true);

    // Below 1: every core. Above the machine's hardware threads: clamped to them, since more
    // threads than cores only adds per-thread working memory.
    const int threads = readInt(prhs, A_NUM_THREADS);
    const unsigned hw = std::thread::hardware_concurrency();
    const int maxThreads = hw > 0 ? static_cast<int>(std::min(hw, 1024u)) : 64;
    p.numThreads = threads < 1 ? 0 : std::min(threads, maxThreads);
    p.minGroupSize = 2;
}

// The PSD (argument 13, passed as is on its own grid) and the shift lists (argument 18:
// cell d, if present, is an int32 vector; 0 or 1 entries mean no shift).
void readNoiseAndShifts(const mxArray* const* prhs, StageCall& c) {
    Parameters& p = c.params;
    const mxArray* psd = prhs[A_PSD];
    c.psd = singleData(A_PSD, psd, "PSD");
    p.psdSize = volumeSize(A_PSD, psd, "PSD");
    requireFinite(A_PSD, c.psd, mxGetNumberOfElements(psd), "PSD values", true, false);

    const mxArray* shifts = prhs[A_SHIFTS];
    if (mxGetNumberOfElements(shifts) > 3)
        failArg(A_SHIFTS, "kelvo:badSize", shifts, "a cell with at most 3 int32 vectors");
    for (int d = 0; d < 3; ++d) {
        p.shiftCount[d] = 1;
        p.shiftTable[d] = &ZERO;
        const mxArray* s = cellAt(shifts, static_cast<std::size_t>(d));
        if (isEmpty(s)) continue;
        if (!mxIsInt32(s) || mxIsComplex(s) || mxGetNumberOfDimensions(s) != 2 ||
            std::min(mxGetM(s), mxGetN(s)) != 1)
            fail("kelvo:badClass", format("%s: cell %d is %s, expected an int32 vector",
                                          argLabel(A_SHIFTS).c_str(), d + 1, describe(s).c_str()));
        const std::size_t count = mxGetNumberOfElements(s);
        if (count > static_cast<std::size_t>(INT_MAX))
            fail("kelvo:badSize", format("%s: cell %d has %zu shifts, too many",
                                         argLabel(A_SHIFTS).c_str(), d + 1, count));
        p.shiftCount[d] = static_cast<int>(count);
        if (count > 1) p.shiftTable[d] = static_cast<const int*>(mxGetData(s));
    }
}

// Values the later sizes depend on (the engine checks the rest at the end).
void checkSizes(const mxArray* const* prhs, const Parameters& p) {
    for (int d = 0; d < 3; ++d) {
        if (p.stepSize[d] < 1) failValue(A_STEP, vecText(p.stepSize), "positive steps");
        if (p.blockSize[d] < 1) failValue(A_BLOCK, vecText(p.blockSize), "positive block sizes");
        if (p.blockSize[d] > p.imageSize[d])
            failValue(A_BLOCK, vecText(p.blockSize),
                      format("a block no larger than the volume %s", vecText(p.imageSize).c_str()));
        if (p.searchRadius[d] < 0)
            failValue(A_SEARCH_RADIUS, vecText(p.searchRadius), "non-negative radii");
    }
    // The built-in group tables stop at 64; larger groups need their own matrices (and the
    // engine's own bound then applies).
    const bool explicitGroups = !isEmpty(prhs[A_GROUP_FWD]);
    if (p.maxGroupSize < 1 || (!explicitGroups && p.maxGroupSize > MAX_GROUP_LIMIT))
        failValue(A_MAX_GROUP, format("%d", p.maxGroupSize),
                  explicitGroups ? std::string("a positive group size")
                                 : format("a group size in 1..%d (larger groups need group "
                                          "matrices in arguments 2 and 3)",
                                          MAX_GROUP_LIMIT));
    if (p.varianceLimit < 0)
        failValue(A_VARIANCE_LIMIT, format("%d", p.varianceLimit),
                  "a non-negative count (0 or 1: every component gets the local variance)");
}

// Group matrices (arguments 2 and 3): cell n-1 holds the n x n matrix for n = 1, 2, 4, ...
// <= maxGroupSize; both empty for the built-in Haar tables.
void readGroupMatrices(const mxArray* const* prhs, StageCall& c) {
    const Parameters& p = c.params;
    const mxArray* gf = prhs[A_GROUP_FWD];
    const mxArray* gi = prhs[A_GROUP_INV];
    if (isEmpty(gf)) {
        if (!isEmpty(gi))
            failArg(A_GROUP_INV, "kelvo:badSize", gi,
                    "an empty cell, since argument 2 (groupFwd) is empty");
        return;
    }
    for (int a : {A_GROUP_FWD, A_GROUP_INV}) {
        if (mxGetNumberOfElements(prhs[a]) < static_cast<std::size_t>(p.maxGroupSize))
            failArg(a, "kelvo:badSize", prhs[a],
                    format("a cell with at least maxGroupSize = %d matrices (cell k holds the k "
                           "x k group matrix)",
                           p.maxGroupSize));
    }
    c.groupFwdTable.assign(static_cast<std::size_t>(p.maxGroupSize) + 1, nullptr);
    c.groupInvTable.assign(static_cast<std::size_t>(p.maxGroupSize) + 1, nullptr);
    for (int n = 1; n <= p.maxGroupSize; n *= 2) {
        const std::string what = format("group size %d", n);
        const std::size_t k = static_cast<std::size_t>(n - 1);
        c.groupFwdTable[n] = squareMatrix(A_GROUP_FWD, cellAt(gf, k), n, what);
        c.groupInvTable[n] = squareMatrix(A_GROUP_INV, cellAt(gi, k), n, what);
    }
    c.transforms.groupFwd = c.groupFwdTable.data();
    c.transforms.groupInv = c.groupInvTable.data();
}

// Block matrices and window (arguments 10-12): all six matrices empty (built-in transforms,
// whose window is the engine's) or all six blockSize[d] square with a positive window.
void readBlockMatrices(const mxArray* const* prhs, StageCall& c) {
    const Parameters& p = c.params;
    const mxArray* bf = prhs[A_BLOCK_FWD];
    const mxArray* bi = prhs[A_BLOCK_INV];
    for (int a : {A_BLOCK_FWD, A_BLOCK_INV})
        if (mxGetNumberOfElements(prhs[a]) != 3)
            failArg(a, "kelvo:badSize", prhs[a],
                    "a 1x3 cell: one matrix per dimension, or three empty arrays for the "
                    "built-in transforms");
    int emptyCount = 0;
    for (int d = 0; d < 3; ++d)
        emptyCount += isEmpty(cellAt(bf, static_cast<std::size_t>(d))) +
                      isEmpty(cellAt(bi, static_cast<std::size_t>(d)));
    c.builtInTransforms = emptyCount == 6;
    const mxArray* win = prhs[A_WINDOW];
    const std::size_t blockVolume = static_cast<std::size_t>(p.blockSize.x) *
                                    static_cast<std::size_t>(p.blockSize.y) *
                                    static_cast<std::size_t>(p.blockSize.z);
    if (c.builtInTransforms) {
        // Null forward pointers select the engine's built-in set (and its window); a window
        // passed along is checked but not used.
        const float* w = singleData(A_WINDOW, win, "window");
        if (w != nullptr && mxGetNumberOfElements(win) != blockVolume)
            failArg(A_WINDOW, "kelvo:badSize", win,
                    format("an empty array or %zu elements (the block size %s)", blockVolume,
                           vecText(p.blockSize).c_str()));
        return;
    }
    if (emptyCount != 0)
        fail("kelvo:badSize",
             format("%s and %s: got %d empty matrices of 6, expected either all six empty "
                    "(built-in transforms) or none",
                    argLabel(A_BLOCK_FWD).c_str(), argLabel(A_BLOCK_INV).c_str(), emptyCount));
    for (int d = 0; d < 3; ++d) {
        const std::string what =
            format("dimension %d of the block size %s", d + 1, vecText(p.blockSize).c_str());
        const std::size_t k = static_cast<std::size_t>(d);
        c.transforms.fwd[d] = squareMatrix(A_BLOCK_FWD, cellAt(bf, k), p.blockSize[d], what);
        c.transforms.inv[d] = squareMatrix(A_BLOCK_INV, cellAt(bi, k), p.blockSize[d], what);
    }
    const float* w = singleData(A_WINDOW, win, "window");
    if (w == nullptr || mxGetNumberOfElements(win) != blockVolume)
        failArg(
            A_WINDOW, "kelvo:badSize", win,
            format("%zu elements (the block size %s)", blockVolume, vecText(p.blockSize).c_str()));
    // Positive weights everywhere: a zero weight could leave a sample with no weight.
    requireFinite(A_WINDOW, w, blockVolume, "weights", false, true);
    c.transforms.window = w;
}

// Pilot (argument 22): the first stage's estimate, the volume's size; optional (empty) for
// hard thresholding, which does not read it.
void readPilot(const mxArray* const* prhs, StageCall& c) {
    const Parameters& p = c.params;
    const mxArray* pilot = prhs[A_PILOT];
    const float* pilotData = singleData(A_PILOT, pilot, "pilot estimate");
    if (c.wiener || pilotData != nullptr) {
        const mwSize nd = mxGetNumberOfDimensions(pilot);
        const bool sameSize =
            pilotData != nullptr && nd <= 3 && volumeSize(A_PILOT, pilot, "pilot") == p.imageSize;
        if (!sameSize)
            failArg(A_PILOT, "kelvo:badSize", pilot,
                    format("a single array of the volume's size %s%s", vecText(p.imageSize).c_str(),
                           c.wiener ? "" : " or an empty array (hard thresholding)"));
    }
    if (c.wiener) {
        requireFinite(A_PILOT, pilotData, mxGetNumberOfElements(pilot), "samples", false, false);
        c.pilot = pilotData;
    }
}

// Reads and checks every argument; fills `c`. Nothing is created or run here.
void readArguments(const mxArray* const* prhs, StageCall& c) {
    Parameters& p = c.params;
    const mxArray* vol = prhs[A_VOLUME];
    c.image = singleData(A_VOLUME, vol, "volume");
    p.imageSize = volumeSize(A_VOLUME, vol, "volume");
    for (int i : {A_GROUP_FWD, A_GROUP_INV, A_BLOCK_FWD, A_BLOCK_INV, A_SHIFTS})
        if (prhs[i] == nullptr || !mxIsCell(prhs[i]))
            failArg(i, "kelvo:badClass", prhs[i], "a cell array");
    readScalars(prhs, c);
    readNoiseAndShifts(prhs, c);
    checkSizes(prhs, p);
    readGroupMatrices(prhs, c);
    readBlockMatrices(prhs, c);
    // All matrices are real (complex ones were rejected above), so the real-input FFT applies
    // whenever the grid allows it.
    p.realFft = p.fftSize.x == p.fftSize.y && (p.fftSize.z == 1 || p.fftSize.z == p.fftSize.x);
    readPilot(prhs, c);
    requireFinite(A_VOLUME, c.image, mxGetNumberOfElements(vol), "samples", false, false);

    // The engine's own soundness checks (steps, blocks, FFT sizes, shifts, ...).
    const std::string problem = validateParameters(p);
    if (!problem.empty())
        fail("kelvo:badSettings", format("unsound settings: %s", problem.c_str()));

    c.locationCount = ReferenceGrid(p).locationCount();
    const long long rows = c.locationCount * p.maxGroupSize;
    if (c.matchMode != -1 && rows * 3 > INT_MAX)
        fail("kelvo:badSize",
             format("a match record for %lld locations of up to %d blocks is too large; use "
                    "larger steps or no record",
                    c.locationCount, p.maxGroupSize));
}

}  // namespace

void stageCall(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs < ARG_COUNT || nrhs > ARG_COUNT_OPTIONAL)
        fail("kelvo:nargin", format("got %d arguments, expected %d to %d (or 'defaults')", nrhs,
                                    ARG_COUNT, ARG_COUNT_OPTIONAL));
    if (nlhs > 2)
        fail("kelvo:nargout", format("got %d outputs requested, expected at most 2 "
                                     "(estimate, match record)",
                                     nlhs));
    StageCall c;
    readArguments(prhs, c);
    Parameters& p = c.params;
    // The Wiener stage's per-group threshold choice (white noise, volumes) only when asked for.
    p.adaptiveWiener = nrhs > A_ADAPTIVE_WIENER && readBool(prhs, A_ADAPTIVE_WIENER);
    // The smallest group: the nearest blocks fill it beyond the match threshold.
    if (nrhs > A_MIN_GROUP) {
        p.minGroupSize = readInt(prhs, A_MIN_GROUP);
        const int m = p.minGroupSize;
        if (m < 1 || m > p.maxGroupSize || (m & (m - 1)) != 0)
            failValue(A_MIN_GROUP, format("%d", m),
                      format("a power of two from 1 to maxGroupSize (%d); 2 is the rule "
                             "without the argument",
                             p.maxGroupSize));
    }

    // The record output exists only when the host asked for it: plhs has room for
    // max(nlhs, 1) arrays and nothing beyond may be written.
    const bool recordOut = nlhs >= 2;
    BlockMatchStorage storage;
    storage.maxGroupSize = p.maxGroupSize;
    BlockMatchStorage* storagePtr = nullptr;
    if (c.matchMode == 1) {
        checkReplayRecord(prhs[A_RECORD], p, c.locationCount, storage);
        storage.replay = 1;
        storagePtr = &storage;
    }

    MxPtr record;
    if (recordOut) {
        record.reset(mxCreateStructMatrix(1, 1, 4, const_cast<const char**>(RECORD_FIELDS)));
        if (!record) fail("kelvo:outOfMemory", "could not create the match record");
    }
    if (c.matchMode == 0 && recordOut) {
        const std::size_t n = static_cast<std::size_t>(c.locationCount);
        const std::size_t rows = n * static_cast<std::size_t>(p.maxGroupSize);
        MxPtr gs(mxCreateNumericMatrix(n, 1, mxINT32_CLASS, mxREAL));
        MxPtr bp(mxCreateNumericMatrix(rows, 3, mxINT32_CLASS, mxREAL));
        MxPtr sp(mxCreateNumericMatrix(rows, 3, mxINT32_CLASS, mxREAL));
        if (!gs || !bp || !sp) {
            mexPrintf("Error: could not allocate memory for match-table data\n");
            fail("kelvo:outOfMemory", "could not allocate memory for match-table data");
        }
        storage.groupSizes = static_cast<std::int32_t*>(mxGetData(gs.get()));
        storage.blockPositions = static_cast<std::int32_t*>(mxGetData(bp.get()));
        storage.shiftedPositions = static_cast<std::int32_t*>(mxGetData(sp.get()));
        mxSetField(record.get(), 0, "groupSizes", gs.release());
        mxSetField(record.get(), 0, "blockPositions", bp.release());
        mxSetField(record.get(), 0, "shiftedPositions", sp.release());
        storage.replay = 0;
        storagePtr = &storage;
    }

    // Output 0: zero-filled by the host, as the engine requires.
    const mwSize dims[3] = {static_cast<mwSize>(p.imageSize.x), static_cast<mwSize>(p.imageSize.y),
                            static_cast<mwSize>(p.imageSize.z)};
    MxPtr out(mxCreateNumericArray(3, dims, mxSINGLE_CLASS, mxREAL));
    if (!out) fail("kelvo:outOfMemory", "could not create the output volume");
    float* output = static_cast<float*>(mxGetData(out.get()));

    const StageOutcome outcome =
        c.wiener ? kelvoInterfaceWie(c.image, c.psd, c.pilot, output, storagePtr, p, c.transforms)
                 : kelvoInterfaceHT(c.image, c.psd, output, storagePtr, p, c.transforms);
    if (outcome == StageOutcome::OutOfMemory)
        fail("kelvo:outOfMemory",
             "the stage ran out of memory (see the message above); try "
             "pro.splitComp = [false, false, true] or fewer threads");
    if (outcome != StageOutcome::Completed)
        fail("kelvo:stageFailed",
             format("the stage did not complete (outcome %d)", static_cast<int>(outcome)));

    if (c.matchMode == 0 && recordOut) {
        MxPtr count(mxCreateNumericMatrix(1, 1, mxINT32_CLASS, mxREAL));
        if (!count) fail("kelvo:outOfMemory", "could not create stackCount");
        *static_cast<std::int32_t*>(mxGetData(count.get())) = storage.stackCount;
        mxSetField(record.get(), 0, "stackCount", count.release());
    }
    plhs[0] = out.release();
    if (recordOut) plhs[1] = record.release();
}

}  // namespace mex
}  // namespace kelvo
