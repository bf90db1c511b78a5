// The largest init.dat there is: the host loads none larger, and the packer
// makes none larger.
#pragma once

#include <cstdint>

namespace qsn {

// The cipher takes int lengths, and the host's loader adds room for a
// block and the NUL after the text.
constexpr long kMaxInitDataSize = INT32_MAX - 100;

}  // namespace qsn
