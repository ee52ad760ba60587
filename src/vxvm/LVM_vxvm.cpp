// The VxVM backend object and the settings its steps share.
#include <ctime>

#include "host/LogWriter.h"
#include "vxvm/vxvm_internal.h"

LVM_vxvm::LVM_vxvm() : debug_(new EvDebug(nullptr)) {}

LVM_vxvm::~LVM_vxvm() = default;

namespace volbridge {
namespace vxvm {

std::string& deviceRoot() {
    static std::string root;
    return root;
}

std::function<long()>& epochSeconds() {
    static std::function<long()> now = [] { return static_cast<long>(time(nullptr)); };
    return now;
}

}  // namespace vxvm
}  // namespace volbridge
