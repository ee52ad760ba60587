// What the tool knows of the backends beyond their vendor names: which backend an object the
// library chose is, and the names of the revert phases that file-system mounts take.
#pragma once

#include <string>

#include "LVM/LVM.h"

namespace vbtool {

// The vendor name of the backend class of `backend` ("VxVM", "LinuxLVM", "GPFS").
std::string vendorOf(const LVM& backend);

// The revert phase named `name` ("prepare", "revert", "local", "cancel", "destroy",
// "no-unmount") into `phase`; false for any other name.
bool phaseNamed(const std::string& name, RevertPhase* phase);
// "prepare, revert, local, cancel, destroy, no-unmount"
std::string phaseNamesText();

}  // namespace vbtool
