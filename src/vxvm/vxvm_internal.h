// The VxVM backend's own helpers: text cutting, the readers of VxVM command output, the
// captured-metadata records, and the settings tests replace.
//
// The readers are pure functions over text: they take no runner, logger or global, so each
// layout is a table case on captured output.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/Operation.h"
#include "core/Origin.h"

namespace volbridge {
namespace vxvm {

// ---- settings ----

// The directory under which device paths are examined: "" (the root); tests point it at a
// scratch tree that holds the device nodes they need.
std::string& deviceRoot();

// The current time in seconds since the epoch (tests fix it).
std::function<long()>& epochSeconds();

// ---- text helpers ----

// `s` up to its first carriage return or line feed.
std::string trimLine(const std::string& s);
// `s` without leading and trailing blanks and tabs; a text of blanks and tabs only is returned
// unchanged.
std::string trimSpace(const std::string& s);
// Appends to `tokens` every maximal run of characters not in `delimiters`.
void Tokenize(const std::string& str, std::vector<std::string>& tokens,
              const std::string& delimiters);

// Whether a run of separators yields empty fields between them or counts as one.
enum class SeparatorRuns { Keep, Collapse };
// `str` cut at every occurrence of the whole string `separator` into `out` (cleared first).
void Split(const std::string& str, const std::string& separator, std::vector<std::string>& out,
           SeparatorRuns runs);

// The steps, each running `onFailure` when it fails, before the operation undoes what it changed:
// the step hook and diagnostics dump that let an operator look at the state the failure left.
std::vector<Operation::Step> withFailurePath(std::vector<Operation::Step> steps,
                                             const std::function<void()>& onFailure);

// ---- disk naming and field helpers ----

// "/dev/dsk/" + os_name when that exists, else "/dev/" + os_name (`disk` is not used).
void formOSDevName(const std::string& disk, const char* os_name, std::string& path);
// 0 and the udid of `disk` from "vxdisk -v list <disk>", or 1 when the command failed.
int getDiskUuidForDisk(const char* disk, std::string& udid);
// Runs `cmd`, which lists a disk's identifiers, and takes the value of `key` (any case) in its
// output cut at `cuts` into `udid`: 0, or 1 when the command failed (after `logFailure` said so).
int readUdid(const Operation& op, const CommandLine& cmd, const char* cuts, const char* key,
             std::string& udid, const std::function<void(const CommandResult&)>& logFailure);
// The disk's records from "vxprint -g <dg> -ar -d <dm>", one line per record.
void get_disk_info(const char* dg_name, const char* dm_name, std::string& out);
// Disk media names of the group, appended to `names`.
void getDmNamesList(const char* dg_name, std::list<std::string>& names);
std::string convertDiskNameToDiskMediaName(const std::string& name);

// Scanners over record text (one record a line, attributes as blank-separated name=value):
// Position of `ch` in the blank-free field at `p`, or null.
const char* get_matching_pos_in_field(const char* p, int ch);
// True when the first volume record in `records` lists more than one plex.
bool is_mirrored(const char* records);
// Nearest `ch` at or before `pos`, else `begin`.
const char* get_prev_matching_pos(const char* pos, const char* begin, int ch);
// The text from `p` (white space skipped) up to the next `ch`; empty when there is none.
void get_next_field(const char* p, std::string& field, int ch);
// The plex of a mirrored volume (one with more than one plex) that the subdisk on the disk
// `dm_name` belongs to; empty when the disk carries no such subdisk.
void get_mirror_plex(const char* records, const char* dm_name, std::string& plex);
// The state of the plex `plex`: ACTIVE, STALE, or unknown.
void set_pv_state(const char* records, const char* plex, PV_STATE& state);

// ---- readers of command output ----

// The status words of "vxdisk -g <dg> -s list | grep flags:".
std::set<std::string> parseFlagWords(std::string_view text);
// The OS native name in the last row of "vxdisk -g <dg> -qe list" whose disk media name is
// `dm_name`, status words skipped; false when no row names the disk.
bool parseOsNativeName(std::string_view text, const std::string& dm_name,
                       const std::set<std::string>& flags, std::string* os_name);
// The token after the first token equal to `key` (any case) on the same line, each line cut at
// the characters of `cuts`; empty when the key ends its line. False when no line has the key.
bool parseKeyedToken(std::string_view text, const char* cuts, const std::string& key,
                     std::string* value);
// One name a line, lines that are exactly "-" left out.
std::list<std::string> parseNameList(std::string_view text);

// One row of "vxdisk -qe path": a path to a disk, the disk's access name, its disk media name
// and group ("-" when it is in no imported group).
struct DiskPathRow {
    std::string subpath;
    std::string da;
    std::string dm;
    std::string group;
};
// The rows of "vxdisk -qe path"; the header row, which some releases print anyway, and rows of
// fewer than four columns are left out.
std::vector<DiskPathRow> parseDiskPathRows(std::string_view text);
// Column `field` of the first row of "vxdisk -qe path" whose first column is `base`; the
// header row is no disk.
std::string parseDiskPathField(std::string_view text, const std::string& base, int field);
// The rows of "vxdisk -qe path" that belong to a disk group.
LVM::DeviceInfoList parseDiskPaths(std::string_view text);

// Identity of a group in "vxdg list <group>".
struct DgParameters {
    std::string name;
    std::string dgid;
    bool shared = false;
    std::string cluster_modes;
};
DgParameters parseDgParameters(std::string_view text);
// The name of the group in "vxdg list" whose row has `id` as a whole field; empty when none.
std::string parseDgNameById(std::string_view text, const std::string& id);
// Every third token of "vxdg -q list" (the group names).
std::list<std::string> parseDgNames(std::string_view text);
// (guid without braces, volume name) pairs of "vxprint -g <dg> -v -F%guid:%name".
std::vector<std::pair<std::string, std::string>> parseGuidNames(std::string_view text);
// Disk media names of the subdisks of `volume` in "vxprint -hqtps -g <dg>", in order: those of
// its plexes, and of the plexes of the subvolumes its plexes hold (a layered volume). A record
// counts only after the line of the plex or volume it belongs to.
std::list<std::string> parseVolumeDisks(std::string_view text, const std::string& volume);

// ---- captured metadata ----

// The record that opens a capture in which ";", "|" and "\" inside fields are escaped with "\".
constexpr const char* kEscapedCapture = "escaped;";

// Appends the record `fields` (joined by "|", ended by ";") to a captured metadata text. While
// no field holds ";" or "|", records are written as they stand; the first field that holds one
// turns the whole text into the escaped form (kEscapedCapture first, every "\" doubled, then
// ";", "|" and "\" of later fields escaped), so that every field reads back byte for byte.
void appendCapturedRecord(std::string& metadata, const std::vector<std::string>& fields);
// The records of a captured metadata text, each as its non-empty fields; empty records are
// left out. A text that begins with kEscapedCapture is read with its escapes (that record
// itself is not returned); any other text is cut at every ";" and "|".
std::vector<std::vector<std::string>> splitCapturedRecords(std::string_view text);

// Reads the object record at `p` of a configuration description: `type` and `name` from its
// first line, `record` its whole text. Returns the position of the next record.
const char* get_a_record(const char* p, std::string& type, std::string& name, std::string& record);
// Fills the description fields of `lv` from a volume's configuration description.
void parse_metadata(LVM_vxvm::VXLV& lv, const char* description);
// The usage type ("fsgen", "gen") of the volume record of a configuration description; empty
// when it names none.
std::string volumeUsageType(const std::string& vol_record);

// Plex name -> sorted disk access names of its subdisks, for every captured plex.
void get_plex_to_pv_list(const LVM_vxvm::VXDG& dg,
                         std::map<std::string, std::list<std::string>>& plex_das);
// Initialises and starts one rebuilt volume from the first of `plexes` that can be initialised;
// false when none could be, or the start failed.
bool reattach_plexes(const std::string& dg_name, const std::string& volume,
                     const std::list<std::string>& plexes);

// ---- clone import ----

// The name a clone import gives the new group: "yb_" + the captured name + "_" + the epoch
// seconds, at most 30 characters. The captured name contributes at most 17 characters, fewer
// when the whole time would not fit otherwise: every digit of the time stays.
std::string newGroupName(const std::string& captured, long epoch);
// The group ids of "vxdisk -s list <disks> | grep '^dgid:' | cut -d: -f2 | sort -u": each line
// without its leading blanks and tabs, empty lines left out.
std::set<std::string> parseCandidateIds(std::string_view text);

// ---- destroy ----

// One line of "vxdmpadm -q iostat show dmpnodename=<disk>", trimmed:
//   emc0_0a1b             0        0        0
struct IostatLine {
    std::string text;
    bool counted = false;    // a row of the disk or of one of its paths
    bool aboutDisk = false;  // the line names the disk
    size_t fields = 0;       // its fields, when it is counted or names the disk
    int64_t pending = 0;     // queued reads + writes + pending I/O, when it has four fields
};
// The non-empty lines of the output for the disk access name `disk`.
std::vector<IostatLine> parseIostat(std::string_view text, const std::string& disk);

// ---- diagnostics ----

// One disk row of "vxdisk -e list": the device and its OS native name.
struct DiskRow {
    std::string device;
    std::string osName;
};
// The disk rows of "vxdisk -e list" (DEVICE TYPE DISK GROUP STATUS OS_NATIVE_NAME ATTR, the
// status possibly several words): the header and rows of fewer than seven fields are left out.
std::vector<DiskRow> parseDiskRows(std::string_view text);

// Appends `prefix` + line for every line of `text`.
void reportOutput(std::ostringstream& out, const std::string& prefix, const std::string& text);

}  // namespace vxvm
}  // namespace volbridge
