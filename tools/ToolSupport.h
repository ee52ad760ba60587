// Pieces of the command-line tool that do not depend on the argument parser: the backends by
// vendor name, the input and output files, and the two forms a group or a device listing is
// shown in (a table for people, JSON for programs).
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "LVM/LVM.h"

namespace vbtool {

// A problem with what the user asked for (a bad option value, an unreadable input file): the
// tool exits with status 2 and the operation has not been started.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The vendor names the tool has a backend for, in the order they are listed.
std::vector<std::string> vendorNames();
// A new backend object for `vendor`; throws UsageError naming the vendors available.
std::unique_ptr<LVM> makeBackend(const std::string& vendor);
// Empty when `vendor` is known, else the message makeBackend would throw.
std::string checkVendor(const std::string& vendor);

// The whole content of a file; throws UsageError naming the file and the reason.
std::string readTextFile(const std::string& path, const char* what);
// Replaces the file's content in place (through a symbolic link, keeping the file's owner and
// mode), creating it when it is missing. Throws std::runtime_error.
void writeTextFile(const std::string& path, const std::string& text);

// The identifier map of clone import and revert: a JSON object whose values are all strings
// (backup-time identifier -> current identifier). Throws UsageError on anything else.
std::map<std::string, std::string> readIdMap(const std::string& path);
void writeIdMap(const std::string& path, const std::map<std::string, std::string>& map);
// Each PV identifier of the group mapped to itself: the map for clones that are byte-for-byte
// copies, whose PVs still carry the identifiers they had when the group was captured.
std::map<std::string, std::string> identityMap(const LVM::VG& vg);

// {"name", "uuid", "orig_name", "orig_uuid", "vendor",
//  "pvs": [{"uuid", "orig_uuid", "device", "mirror_id", "state"}, ...],
//  "lvs": [{"uuid", "orig_uuid", "device", "pvs": [pv uuid, ...], "state"}, ...],
//  "metadata"}
// with the record's own values; PVs and LVs in identifier order.
nlohmann::json groupToJson(const LVM::VG& vg);
// [{"device", "vendor", "vg_name"}, ...] in listing order.
nlohmann::json devicesToJson(const LVM::DeviceInfoList& devices);

// The JSON text as the tool writes it: indented by two, bytes that are not UTF-8 (which a
// volume manager's text may hold) written as U+FFFD instead of failing.
std::string jsonText(const nlohmann::json& value);

void printGroup(std::ostream& out, const LVM::VG& vg);
void printDevices(std::ostream& out, const LVM::DeviceInfoList& devices);

}  // namespace vbtool
