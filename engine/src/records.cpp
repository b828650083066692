#include "kelvo/engine/records.h"

namespace kelvo {

const int ZERO = 0;
const float ONE = 1.0f;

}  // namespace kelvo
