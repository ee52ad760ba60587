// The GPFS metadata text: its tokens, the items discovery writes, and what a value must be to
// stand in the text, so that what the reader accepts the writer gives back the same.
//
//   $$$YB$$$gpfs0:0A000001:5F3A2C10$$$YB$$$      file-system name and identifier
//   <mmsdrfs>$$$YB$$$<mmfsNodeData>$$$YB$$$      the two configuration files, byte for byte
//   12399838388936568191:node1;node2;$$$YB$$$    cluster id and nodes
//   $$$PV$$$/dev/sdb:0A0000015F3A2B01#nsd1:0A0000015F3A2B01;...$$$PV$$$
//   $$$LV$$$/dev/gpfs0#0A000001:5F3A2C10$$$LV$$$
//   $$$UID$$$1700000000123456$$$UID$$$$$$FG$$$-1$$$FG$$$$$$ED$$$nsd3$$$ED$$$
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/Operation.h"

namespace volbridge {
namespace gpfs {

constexpr const char kFsToken[] = "$$$YB$$$";
constexpr const char kPvToken[] = "$$$PV$$$";
constexpr const char kLvToken[] = "$$$LV$$$";
constexpr const char kUidToken[] = "$$$UID$$$";
constexpr const char kFgToken[] = "$$$FG$$$";
constexpr const char kEdToken[] = "$$$ED$$$";

// ---- the items, in the order discovery writes them ----

// "$$$YB$$$" + name + ":" + id + "$$$YB$$$".
std::string identityItem(const std::string& fsName, const std::string& fsId);
// A configuration file's content + "$$$YB$$$" (mmsdrfs, then mmfsNodeData).
std::string configFileItem(const std::string& content);
// The cluster: cluster id + ":" + node list (each node followed by ";") + "$$$YB$$$".
std::string clusterItem(const std::string& clusterId, const std::string& nodeList);
// One entry of the disk section ("$$$PV$$$" entries "$$$PV$$$"): device + ":" + pvId + ";".
std::string pvEntry(const std::string& device, const std::string& pvId);
// The file system as a volume: "$$$LV$$$" + device + "#" + uuid + "$$$LV$$$".
std::string lvItem(const std::string& device, const std::string& uuid);
// The unique id, the failure group ("%d", at most 9 characters) and the exclude list, each
// between its two tokens.
std::string uniqueIdItem(const std::string& uniqueId);
std::string failureGroupItem(int failureGroup);
std::string excludeListItem(const std::string& excludeList);

// ---- what a value may be ----

// The kinds of value the text holds.
enum class ValueKind {
    GpfsName,  // a file-system or NSD name (see isGpfsName)
    Word,      // an identifier, node name or device path: printable characters, no blank
    Digits,    // the unique id: decimal digits only
    Content,   // a configuration file: any text but NUL and control characters other than
               // tab, line feed and carriage return
};

// Why `value` cannot stand in the metadata as a value of `kind` that may not hold any character
// of `separators`; empty when it can. Besides its kind's characters, no value may hold "$$$",
// begin or end with "$", or be the name of a token ("YB", "PV", "LV", "UID", "FG", "ED"): the
// text around it would then read differently.
std::string valueTrouble(std::string_view value, ValueKind kind, std::string_view separators = "");

// Throws from `op` "Error: the <what> [<value>] cannot stand in GPFS metadata: <why>" when
// valueTrouble() finds something.
void requireValue(const Operation& op, const char* what, const std::string& value, ValueKind kind,
                  std::string_view separators = "", int line = __builtin_LINE());

// The failure group of the "$$$FG$$$" item: an optional "-" and decimal digits, nothing else,
// within what the writer keeps (9 characters). False when the text is not such a number.
bool readFailureGroup(std::string_view text, int* value);

// Whether `group` is a failure group the writer can keep whole.
bool writableFailureGroup(long long group);

// ---- cutting the text ----

// The non-empty tokens of `text`: the first ends at the first character of `firstDelimiters`,
// the following ones at a character of `delimiters`; runs of delimiters count as one and
// delimiters before a token are skipped (the way strtok cuts a text).
std::vector<std::string> cutTokens(std::string_view text, std::string_view firstDelimiters,
                                   std::string_view delimiters);

// Whether `list` (";"-separated) holds `name` as one of its entries.
bool listHolds(const std::string& list, const std::string& name);

}  // namespace gpfs
}  // namespace volbridge
