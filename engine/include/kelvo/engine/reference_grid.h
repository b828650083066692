// The grid of reference locations a stage visits, in one place: the stage loop walks it,
// the parameter checks and the plug-in's record checks walk it the same way, and the tests
// compare against it.
//
// Grid point g = (xi * step_0, yi * step_1, zi * step_2). Its reference position is g minus
// the shift picked for each dimension by the grid index of another dimension (dimension 0
// by zi, 1 by xi, 2 by yi, cyclically through the shift list), floored at 0. A position at
// or beyond lastPosition + step in some dimension is skipped; otherwise it is clamped to
// lastPosition (the last location of a row sits on the border). The match record numbers
// location (xi, yi, zi) as (zi * count_1 + yi) * count_0 + xi with count_d = size_d /
// step_d + 1; the walk visits ceil((size_d + step_d) / step_d) grid points per dimension, so
// its last point may lie beyond `count` (such a point is normally skipped; the parameter
// checks refuse shift lists that would keep it). A 2-D image (depth 1) has one plane.
#pragma once

#include <algorithm>
#include <utility>
#include <vector>

#include "kelvo/engine/records.h"

namespace kelvo {

class ReferenceGrid {
public:
    /// The grid of `params` (sizes and steps positive). Shift lists of length 0 or 1, null or
    /// not, mean no shift along that dimension.
    explicit ReferenceGrid(const Parameters& params) {
        for (int d = 0; d < 3; ++d) {
            step_[d] = params.stepSize[d];
            last_[d] = std::max(0, params.imageSize[d] - params.blockSize[d]);
            count_[d] = params.imageSize[d] / params.stepSize[d] + 1;
            walk_[d] = (params.imageSize[d] + 2 * params.stepSize[d] - 1) / params.stepSize[d];
            shiftCount_[d] =
                params.shiftCount[d] > 1 && params.shiftTable[d] ? params.shiftCount[d] : 0;
            shiftTable_[d] = params.shiftTable[d];
        }
        volumetric_ = params.imageSize.z > 1;
        if (!volumetric_) walk_.z = 1;
    }

    /// Grid indices per dimension numbered in the match record: size / step + 1.
    Vec3<int> count() const { return count_; }
    /// Number of locations of the match record ("stackCount").
    long long locationCount() const {
        return static_cast<long long>(count_.x) * count_.y * count_.z;
    }
    /// Grid points walked per dimension (1 along dimension 2 of a 2-D image).
    Vec3<int> walkCount() const { return walk_; }
    /// The highest block position per dimension.
    Vec3<int> lastPosition() const { return last_; }
    bool volumetric() const { return volumetric_; }
    /// The dimension the stage loop cuts into slabs: 2 in a volume, 1 in a 2-D image.
    int slideAxis() const { return volumetric_ ? 2 : 1; }
    Vec3<int> step() const { return step_; }

    /// The shift of dimension `d` picked by grid index `selector` of the selecting dimension.
    int shift(int d, int selector) const {
        return shiftCount_[d] > 0 ? shiftTable_[d][selector % shiftCount_[d]] : 0;
    }

    /// Reference position of grid indices `gi` before the skip rule and the clamp.
    Vec3<int> shiftedPosition(Vec3<int> gi) const {
        return {std::max(0, gi.x * step_.x - shift(0, gi.z)),
                std::max(0, gi.y * step_.y - shift(1, gi.x)),
                std::max(0, gi.z * step_.z - shift(2, gi.y))};
    }

    /// The reference position of grid indices `gi` in `position`, clamped to lastPosition;
    /// false (and `position` unspecified) when the walk skips that grid point.
    bool locate(Vec3<int> gi, Vec3<int>& position) const {
        position = shiftedPosition(gi);
        for (int d = 0; d < 3; ++d) {
            if (position[d] >= last_[d] + step_[d]) return false;
        }
        for (int d = 0; d < 3; ++d) position[d] = std::min(position[d], last_[d]);
        return true;
    }

    /// Index of location `gi` in the match record.
    long long index(Vec3<int> gi) const {
        return (static_cast<long long>(gi.z) * count_.y + gi.y) * count_.x + gi.x;
    }
    /// True when the match record numbers `gi` (inside `count` in every dimension).
    bool numbered(Vec3<int> gi) const {
        return gi.x < count_.x && gi.y < count_.y && gi.z < count_.z;
    }

    /// Calls visit(gi, position) for every location the walk processes in slice `slice`
    /// (grid plane zi = slice of a volume, grid row yi = slice of a 2-D image), dimension 0
    /// fastest. `visit` returns false to stop the walk; so does this function then.
    template <typename Visit>
    bool forEachLocation(int slice, Visit&& visit) const {
        return forEachLocation(slice, 0, rowsPerSlice(), std::forward<Visit>(visit));
    }
    /// The same for rows [rowBegin, rowEnd) of the slice only (grid rows yi of a volume's
    /// plane; a 2-D image's slice is its one row 0).
    template <typename Visit>
    bool forEachLocation(int slice, int rowBegin, int rowEnd, Visit&& visit) const {
        const int yBegin = volumetric_ ? rowBegin : slice;
        const int yEnd = volumetric_ ? rowEnd : slice + (rowBegin < rowEnd ? 1 : 0);
        for (int yi = yBegin; yi < yEnd; ++yi) {
            for (int xi = 0; xi < walk_.x; ++xi) {
                const Vec3<int> gi{xi, yi, volumetric_ ? slice : 0};
                Vec3<int> p;
                if (locate(gi, p) && !visit(gi, p)) return false;
            }
        }
        return true;
    }
    /// Slices of the walk along slideAxis: its walkCount.
    int sliceCount() const { return walk_[slideAxis()]; }
    /// Rows of the walk in one slice: walkCount_1 in a volume, 1 in a 2-D image.
    int rowsPerSlice() const { return volumetric_ ? walk_.y : 1; }

    /// Divides the walk's rows (units: slice after slice, the rows of a slice in order) into
    /// `parts` runs holding equal shares of its locations, to within one row's (and one
    /// location of rounding): part p takes units [cuts[p], cuts[p + 1]), from cuts[0] = 0 to
    /// cuts[parts] = sliceCount * rowsPerSlice. Equal numbers of rows would not do: the last
    /// slices and rows of the walk are often skipped (a 181-sample axis at step 3 walks 62
    /// slices, the last two empty).
    std::vector<long long> balancedCuts(int parts) const {
        const int rows = rowsPerSlice();
        const long long units = static_cast<long long>(sliceCount()) * rows;
        std::vector<long long> before(static_cast<std::size_t>(units) + 1, 0);  // locations
        for (long long u = 0; u < units; ++u) {
            long long n = 0;
            const int row = static_cast<int>(u % rows);
            forEachLocation(static_cast<int>(u / rows), row, row + 1, [&n](Vec3<int>, Vec3<int>) {
                ++n;
                return true;
            });
            before[static_cast<std::size_t>(u) + 1] = before[static_cast<std::size_t>(u)] + n;
        }
        std::vector<long long> cuts(static_cast<std::size_t>(parts) + 1, units);
        long long u = 0;
        for (int p = 0; p < parts; ++p) {
            // The unit boundary nearest to p / parts of the walk's locations.
            const long long target = before.back() * p / parts;
            while (before[static_cast<std::size_t>(u)] < target) ++u;
            const bool previousNearer = u > 0 && target - before[static_cast<std::size_t>(u) - 1] <
                                                     before[static_cast<std::size_t>(u)] - target;
            cuts[static_cast<std::size_t>(p)] = std::max(
                previousNearer ? u - 1 : u, p > 0 ? cuts[static_cast<std::size_t>(p) - 1] : 0);
        }
        return cuts;
    }

private:
    Vec3<int> step_{}, last_{}, count_{}, walk_{};
    int shiftCount_[3] = {0, 0, 0};
    const int* shiftTable_[3] = {nullptr, nullptr, nullptr};
    bool volumetric_ = false;
};

}  // namespace kelvo
