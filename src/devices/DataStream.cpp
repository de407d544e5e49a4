#include "devices/DataStream.h"

#include "common/Format.h"
#include "salvex/StringIds.h"

namespace salvex {

std::string OversizeWarning(uint64_t size, uint64_t limit) { return TextF(txt::SizeBeyondVolume, {size, limit}); }

}  // namespace salvex
