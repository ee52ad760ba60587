#include "ToolBackends.h"

#include <utility>

namespace vbtool {

namespace {

const std::pair<const char*, RevertPhase> kPhases[] = {
    {"prepare", RP_PREPARE}, {"revert", RP_REVERT},   {"local", RP_LOCAL},
    {"cancel", RP_CANCEL},   {"destroy", RP_DESTROY}, {"no-unmount", RP_NO_UNMOUNT},
};

}  // namespace

std::string vendorOf(const LVM& backend) {
    const std::string vendor = LVM::vendorOf(backend);
    return vendor.empty() ? "unknown" : vendor;
}

bool phaseNamed(const std::string& name, RevertPhase* phase) {
    for (const auto& [text, value] : kPhases) {
        if (name == text) {
            *phase = value;
            return true;
        }
    }
    return false;
}

std::string phaseNamesText() {
    std::string text;
    for (const auto& entry : kPhases) text += (text.empty() ? "" : ", ") + std::string(entry.first);
    return text;
}

}  // namespace vbtool
