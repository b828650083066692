// The match record as the engine sees it: pointers into caller-owned int32 tables.
//
// Reference location i owns rows i * maxGroupSize ... i * maxGroupSize + groupSizes[i] - 1 of
// both position tables; row r is the three int32 values at 3r, 3r + 1, 3r + 2 (dimension 0,
// 1, 2). The tables hold n = prod_d (imageSize[d] / stepSize[d] + 1) locations.
#pragma once

#include <cstdint>

namespace kelvo {

struct BlockMatchStorage {
    int maxGroupSize = 0;                      ///< row stride of the position tables
    std::int32_t* groupSizes = nullptr;        ///< one entry per reference location
    std::int32_t* blockPositions = nullptr;    ///< three int32 per row: block position
    std::int32_t* shiftedPositions = nullptr;  ///< three int32 per row: shifted position
    int stackCount = 0;  ///< number of reference locations, set by the stage loop
    int replay = 0;      ///< 0: record the matches; 1: read them instead of searching
};

}  // namespace kelvo
