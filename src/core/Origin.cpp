#include "core/Origin.h"

#include "host/YbException.h"

namespace volbridge {

void Origin::fail(const std::string& message, int line, int err) const {
    throw YbException(func, message, unit, line, err);
}

}  // namespace volbridge
