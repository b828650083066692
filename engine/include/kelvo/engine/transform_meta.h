// Transform selection: recognises caller-supplied matrices as built-in kinds (entries equal
// within 0.001) so that fast code paths can be used, and records one kind per matrix.
#pragma once

#include <exception>

#include "kelvo/engine/records.h"

namespace kelvo {

/// TransformsMeta: "meta" for the kinds it adds to the matrices.
/// Resolved transforms: the nine pointers as passed plus one kind per matrix. The two group
/// kind tables (maxGroupSize + 1 ints, indexed by group size) are owned by the record and
/// released with it; null means ARB_FWD / ARB_INV for every size. Move-only.
struct TransformsMeta {
    Vec3<const float*> fwd{nullptr, nullptr, nullptr};
    Vec3<const float*> inv{nullptr, nullptr, nullptr};
    const float* const* groupFwd = nullptr;
    const float* const* groupInv = nullptr;
    const float* window = nullptr;
    Vec3<TransformsMetas::StandardTransform> fwdKinds{
        TransformsMetas::ARB_FWD, TransformsMetas::ARB_FWD, TransformsMetas::ARB_FWD};
    int* groupFwdKinds = nullptr;
    Vec3<TransformsMetas::StandardTransform> invKinds{
        TransformsMetas::ARB_INV, TransformsMetas::ARB_INV, TransformsMetas::ARB_INV};
    int* groupInvKinds = nullptr;

    TransformsMeta() = default;
    ~TransformsMeta() { release(); }
    TransformsMeta(const TransformsMeta&) = delete;
    TransformsMeta& operator=(const TransformsMeta&) = delete;
    TransformsMeta(TransformsMeta&& o) noexcept;
    TransformsMeta& operator=(TransformsMeta&& o) noexcept;
    /// Frees the kind tables. Idempotent.
    void release();

    /// Kind of the forward group matrix for group size n (ARB_FWD without a table).
    int groupFwdKind(int n) const { return groupFwdKinds ? groupFwdKinds[n] : 15; }
};

/// Thrown when no transform was passed and no built-in one fits the block size.
class MissingTransformException : public std::exception {
public:
    const char* what() const noexcept override;
};

/// Compares the 16 entries of `m` with DCT_4_FWD, BIOR_4_FWD, HAAR_4_FWD in that order;
/// returns the first matching kind (0, 1, 2), else ARB_FWD.
TransformsMetas::StandardTransform getStandardTransform4(const float* m);
/// Compares the 64 entries with DCT_8_FWD, BIOR_8_FWD, HAAR_8_FWD; returns 5, 6, 7 or ARB_FWD.
TransformsMetas::StandardTransform getStandardTransform8(const float* m);

/// Resolves `t` for the stage described by `p`. Throws std::bad_alloc when the kind tables
/// cannot be allocated and std::invalid_argument when p.maxGroupSize is negative. A null
/// matrix (block or group) resolves to ARB_FWD; a null group table leaves every size ARB_FWD.
TransformsMeta getTransformMeta(const Transforms& t, const Parameters& p);

}  // namespace kelvo
