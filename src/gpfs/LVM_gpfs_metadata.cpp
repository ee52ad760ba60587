// The GPFS metadata text: the backend object's identity state, what a value must be to stand in
// the text, capturing the cluster part of the text, and reading the whole text back.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/FileDescriptor.h"
#include "core/Text.h"
#include "gpfs/gpfs_internal.h"
#include "gpfs/gpfs_metadata.h"

namespace volbridge {
namespace gpfs {

std::string identityItem(const std::string& fsName, const std::string& fsId) {
    return kFsToken + fsName + ":" + fsId + kFsToken;
}

std::string configFileItem(const std::string& content) { return content + kFsToken; }

std::string clusterItem(const std::string& clusterId, const std::string& nodeList) {
    return clusterId + ":" + nodeList + kFsToken;
}

std::string pvEntry(const std::string& device, const std::string& pvId) {
    return device + ":" + pvId + ";";
}

std::string lvItem(const std::string& device, const std::string& uuid) {
    return kLvToken + device + "#" + uuid + kLvToken;
}

std::string uniqueIdItem(const std::string& uniqueId) { return kUidToken + uniqueId + kUidToken; }

std::string failureGroupItem(int failureGroup) {
    char text[10];
    snprintf(text, sizeof text, "%d", failureGroup);
    return kFgToken + std::string(text) + kFgToken;
}

std::string excludeListItem(const std::string& excludeList) {
    return kEdToken + excludeList + kEdToken;
}

namespace {

// The names between "$$$" and "$$$" of the tokens.
const char* const kTokenNames[] = {"YB", "PV", "LV", "UID", "FG", "ED"};

// Why `value` would make the tokens around it read differently; empty when it does not. A value
// without "$$$" that neither begins nor ends with "$" cannot form a token with the "$$$" of a
// token beside it, unless it is a token's name standing between two tokens.
std::string tokenTrouble(std::string_view value) {
    if (contains(value, "$$$")) return "it holds the token mark \"$$$\"";
    if (!value.empty() && (value.front() == '$' || value.back() == '$')) {
        return "it begins or ends with \"$\"";
    }
    for (const char* name : kTokenNames) {
        if (value == name) return "it is the name of a metadata token";
    }
    return "";
}

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

std::string valueTrouble(std::string_view value, ValueKind kind, std::string_view separators) {
    switch (kind) {
        case ValueKind::GpfsName:
            if (!isGpfsName(value)) {
                return "it is not a GPFS name (letters, digits, \"_\", \"-\" and \".\", not "
                       "beginning with \"-\" or \".\")";
            }
            break;
        case ValueKind::Digits:
            if (value.empty() || value.size() > 32 ||
                value.find_first_not_of("0123456789") != std::string_view::npos) {
                return "it is not a number of at most 32 decimal digits";
            }
            break;
        case ValueKind::Word:
            if (value.empty()) return "it is empty";
            for (unsigned char c : value) {
                if (c <= ' ' || c >= 0x7f) {
                    return "it holds a blank, a control character or a byte above 0x7e";
                }
            }
            break;
        case ValueKind::Content:
            for (unsigned char c : value) {
                if (isControl(c) && c != '\t' && c != '\n' && c != '\r') {
                    return "it holds a NUL or control character";
                }
            }
            break;
    }
    const size_t separator = value.find_first_of(separators);
    if (separator != std::string_view::npos) {
        return std::string("it holds the separator \"") + value[separator] + "\"";
    }
    return tokenTrouble(value);
}

void requireValue(const Operation& op, const char* what, const std::string& value, ValueKind kind,
                  std::string_view separators, int line) {
    const std::string why = valueTrouble(value, kind, separators);
    if (why.empty()) return;
    // A whole configuration file is named, not quoted.
    const std::string shown = kind == ValueKind::Content ? "" : " [" + printable(value) + "]";
    op.fail(std::string("Error: the ") + what + shown + " cannot stand in GPFS metadata: " + why,
            line);
}

bool writableFailureGroup(long long group) { return group >= -99999999 && group <= 999999999; }

bool readFailureGroup(std::string_view text, int* value) {
    size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) at = 1;
    if (at == text.size() || text.size() - at > 9) return false;
    long long number = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9') return false;
        number = number * 10 + (text[at] - '0');
    }
    if (negative) number = -number;
    if (!writableFailureGroup(number)) return false;
    *value = static_cast<int>(number);
    return true;
}

std::vector<std::string> cutTokens(std::string_view text, std::string_view firstDelimiters,
                                   std::string_view delimiters) {
    std::vector<std::string> tokens;
    size_t at = 0;
    std::string_view cut = firstDelimiters;
    for (;;) {
        at = text.find_first_not_of(cut, at);
        if (at == std::string_view::npos) return tokens;
        size_t end = text.find_first_of(cut, at);
        if (end == std::string_view::npos) end = text.size();
        tokens.emplace_back(text.substr(at, end - at));
        // The delimiter that ended the token is used up, whatever the next set holds.
        at = end + 1;
        cut = delimiters;
        if (at >= text.size()) return tokens;
    }
}

bool listHolds(const std::string& list, const std::string& name) {
    for (const std::string& entry : splitFields(list, ';')) {
        if (entry == name) return true;
    }
    return false;
}

}  // namespace gpfs
}  // namespace volbridge

namespace {

using volbridge::CommandLine;
using volbridge::Operation;
using volbridge::gpfs::ValueKind;
namespace gpfs = volbridge::gpfs;
using Map = gpfs::Map;

const char kCollect[] =
    "void LVM_gpfs::collectFSMetadata(const std::string&, const std::string&, std::string&)";
const char kParse[] =
    "void LVM_gpfs::parseMetadata(const std::string&, GPFSMetadata&, std::map<std::string, "
    "std::string>&, std::map<std::string, std::string>&)";

// Node names of the layout with a configuration-server block: the lines after the second dashed
// line.
const char kNodeListCommand[] =
    "mmlscluster| awk 'BEGIN {flag=0;} {if (flag > 1 && $0 != \"\") printf $2\";\"; if ($1 "
    "~/-------/) flag = flag+1;}'";
// Node names of the layout with one dashed line: the lines after it.
const char kOneDashNodeListCommand[] =
    "mmlscluster| awk 'BEGIN {flag=0;} {if (flag == 1 && $0 != \"\") printf $2\";\"; if ($1 "
    "~/-------/) flag = flag+1;}'";

// The whole content of the configuration file `name`; throws the file's own messages when it
// cannot be opened or is empty.
std::string readConfigFile(const Operation& op, const char* name) {
    const std::string path = gpfs::configDirectory() + "/" + name;
    volbridge::FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        op.fail(std::string("Error: ") + name +
                " cannot be opened; verify if this node is part of a functional GPFS "
                "cluster!!!");
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) op.fail(std::string("Error: ") + name + " cannot be read: " + strerror(errno));
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    if (content.empty()) op.fail(std::string("Error: ") + name + " is empty!!!");
    return content;
}

// The node list ("node1;node2;") from whichever "mmlscluster" layout the cluster prints. On a
// failure `out` gets the file-system token first, as the reader of a half-written text expects.
std::string clusterNodeList(const Operation& op, std::string& out) {
    const CommandLine layouts[] = {op.command(kNodeListCommand),
                                   op.command(kOneDashNodeListCommand)};
    const char* const logs[] = {"Info: Out: '%s' ", "Info: Out new: '%s' "};
    for (int i = 0; i < 2; ++i) {
        const volbridge::CommandResult r = gpfs::listed(op, layouts[i], gpfs::Describes::Cluster);
        if (!op.succeeded(r)) {
            out += gpfs::kFsToken;
            op.fail(op.failureText(layouts[i], r));
        }
        op.log(0, logs[i], r.out.c_str());
        if (!r.out.empty()) return r.out;
    }
    out += gpfs::kFsToken;
    op.fail("Error: cluster nodelist is empty!!!");
}

// The pieces of `text` between occurrences of `token`.
std::vector<std::string> piecesOf(const std::string& text, const char* token) {
    std::vector<std::string> pieces;
    LVM_gpfs::ToKenize(text, pieces, token);
    return pieces;
}

int count(const std::vector<std::string>& pieces) { return static_cast<int>(pieces.size()); }

// Items 1 to 4: name, identifier, the two configuration files and the cluster.
void readFileSystemPart(const Operation& op, const std::string& text, GPFSMetadata& md) {
    const std::vector<std::string> pieces = piecesOf(text, gpfs::kFsToken);
    if (pieces.size() < 4) {
        op.error("Error: insufficient metadata for fs, list length= '%d'", count(pieces));
        op.fail("Error: insufficient metadata for fs, list length");
    }
    const size_t colon = pieces[0].find(':');
    if (colon == std::string::npos) {
        const char message[] = "Error: Metadata doesnt contain correct token to be parsed";
        op.error("%s", message);
        op.fail(message);
    }
    md.fsName = pieces[0].substr(0, colon);
    md.fsId = pieces[0].substr(colon + 1);
    md.mmsdrfsData = pieces[1];
    md.mmfsNodeData = pieces[2];
    // The name becomes part of commands and file names; the rest must read back as it stands.
    gpfs::requireValue(op, "file-system name", md.fsName, ValueKind::GpfsName);
    gpfs::requireValue(op, "file-system identifier", md.fsId, ValueKind::Word);
    gpfs::requireValue(op, "copy of mmsdrfs", md.mmsdrfsData, ValueKind::Content);
    gpfs::requireValue(op, "copy of mmfsNodeData", md.mmfsNodeData, ValueKind::Content);
    op.log(3, "metadata fname: [%s]", md.fsName.c_str());
    op.log(3, "metadata fsId: [%s]", md.fsId.c_str());
    op.log(3, "metadata mmsdsfsData: [%s]", md.mmsdrfsData.c_str());
    op.log(3, "metadata mmfsNodeData: [%s]", md.mmfsNodeData.c_str());

    std::vector<std::string> tokens = gpfs::cutTokens(pieces[3], ":", ";");
    if (tokens.empty()) op.fail("Error: clusterid cannot be empty");
    md.cluster.clusterId = tokens[0];
    gpfs::requireValue(op, "cluster id", md.cluster.clusterId, ValueKind::Word);
    op.log(3, "metadata clusterID: [%s]", md.cluster.clusterId.c_str());
    for (size_t i = 1; i < tokens.size(); ++i) {
        gpfs::requireValue(op, "node name", tokens[i], ValueKind::Word);
        op.log(3, "metadata clusternodes: [%s]", tokens[i].c_str());
        md.cluster.nodes.push_back(tokens[i]);
    }
}

// Item 5: device path -> pvId.
void readPVSection(const Operation& op, const std::string& text, Map& pvMap) {
    const std::vector<std::string> pieces = piecesOf(text, gpfs::kPvToken);
    if (pieces.size() < 3) {
        op.error("Error: insufficient metadata for pv, list length= '%d'", count(pieces));
        op.fail("Error: insufficient metadata for pv, list length");
    }
    const std::vector<std::string> entries = gpfs::cutTokens(pieces[1], ";", ";");
    // Written back, a section without entries would be two adjacent tokens, which no reader
    // takes.
    if (entries.empty()) op.fail("Error: the PV section of the metadata names no disk");
    for (const std::string& entry : entries) {
        op.log(2, "found disk:id '%s'", entry.c_str());
        const size_t colon = entry.find(':');
        if (colon == std::string::npos) op.fail("Error: invalid PV:ID pair in metadata!!!" + entry);
        const std::string device = entry.substr(0, colon);
        const std::string pvId = entry.substr(colon + 1);
        gpfs::requireValue(op, "device path", device, ValueKind::Word);
        gpfs::requireValue(op, "disk identity", pvId, ValueKind::Word);
        op.log(0, "++++SETTING in pv_map key '%s' value '%s'", device.c_str(), pvId.c_str());
        pvMap[device] = pvId;
    }
}

// Item 6: "/dev/" + name -> file-system identifier.
void readLVSection(const Operation& op, const std::string& text, Map& lvMap) {
    const std::vector<std::string> pieces = piecesOf(text, gpfs::kLvToken);
    if (pieces.size() < 3) {
        op.error("Error: insufficient metadata for lv, list length= '%d'", count(pieces));
        op.fail("Error: insufficient metadata for lv, list length");
    }
    const std::string& section = pieces[1];
    const size_t hash = section.find('#');
    if (hash == std::string::npos) op.fail("Error: invalid LV:ID pair in metadata!!!" + section);
    const std::string device = section.substr(0, hash);
    const std::string uuid = section.substr(hash + 1);
    gpfs::requireValue(op, "file-system device", device, ValueKind::Word);
    gpfs::requireValue(op, "file-system identifier", uuid, ValueKind::Word);
    op.log(0, "++++SETTING in lv_map key '%s' value '%s'", device.c_str(), uuid.c_str());
    lvMap[device] = uuid;
}

// The exclude list: NSD names, each once, separated by single ";".
void requireExcludeList(const Operation& op, const std::string& list) {
    for (const std::string& name : volbridge::splitFields(list, ';')) {
        if (!gpfs::isGpfsName(name)) {
            op.fail("Error: the exclude list [" + volbridge::printable(list) +
                    "] cannot stand in GPFS metadata: [" + volbridge::printable(name) +
                    "] is not a GPFS name");
        }
    }
}

}  // namespace

LVM_gpfs::LVM_gpfs() : m_failureGroup(-1) {
    setJobId(static_cast<long long>(EvDebug(nullptr).getJobId()));
}

LVM_gpfs::~LVM_gpfs() = default;

void LVM_gpfs::setJobId(const long long& id) { m_jobId = std::to_string(id); }

std::string LVM_gpfs::getJobId() const { return m_jobId; }

void LVM_gpfs::setUniqueId(const std::string& id) { m_uniqueId = id + "_"; }

std::string LVM_gpfs::getUniqueId() const { return m_uniqueId; }

void LVM_gpfs::ToKenize(const std::string& text, std::vector<std::string>& pieces,
                        const std::string& delimiter) {
    if (delimiter.empty()) {
        if (!text.empty()) pieces.push_back(text);
        return;
    }
    size_t at = 0;
    for (;;) {
        const size_t found = text.find(delimiter, at);
        const size_t end = found == std::string::npos ? text.size() : found;
        if (end > at) pieces.push_back(text.substr(at, end - at));
        if (found == std::string::npos) return;
        at = found + delimiter.size();
    }
}

void LVM_gpfs::collectFSMetadata(const std::string& fsName, const std::string& fsId,
                                 std::string& out) {
    const Operation op(kCollect, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    // What goes into the text must read back as it was captured: a value holding the text's own
    // tokens or separators would cut it short at restore.
    gpfs::requireValue(op, "file-system name", fsName, ValueKind::GpfsName);
    gpfs::requireValue(op, "file-system identifier", fsId, ValueKind::Word);
    out = gpfs::identityItem(fsName, fsId);
    for (const char* name : {"mmsdrfs", "mmfsNodeData"}) {
        const std::string content = readConfigFile(op, name);
        gpfs::requireValue(op, name, content, ValueKind::Content);
        out += gpfs::configFileItem(content);
    }

    const std::string clusterId =
        gpfs::listing(op, op.command(gpfs::kClusterIdCommand), gpfs::Describes::Cluster);
    op.log(0, "Info: Out: '%s' ", clusterId.c_str());
    if (clusterId.empty()) op.fail("Error: cluster GUID is empty!!!");
    gpfs::requireValue(op, "cluster id", clusterId, ValueKind::Word, ":;");
    out += clusterId + ":";
    const std::string nodeList = clusterNodeList(op, out);
    for (const std::string& node : gpfs::cutTokens(nodeList, ";", ";")) {
        gpfs::requireValue(op, "node name", node, ValueKind::Word);
    }
    out += nodeList + gpfs::kFsToken;
}

void LVM_gpfs::parseMetadata(const std::string& text, GPFSMetadata& md, Map& pvMap, Map& lvMap) {
    const Operation op(kParse, volbridge::unit::kGpfs);
    if (text.empty()) op.fail("Error: metadata cannot be empty");
    op.log(3, "input metadata: [%s]", text.c_str());
    readFileSystemPart(op, text, md);
    // Maps the caller filled already are kept: their sections are not read.
    if (pvMap.empty()) readPVSection(op, text, pvMap);
    if (lvMap.empty()) readLVSection(op, text, lvMap);

    std::vector<std::string> pieces = piecesOf(text, gpfs::kUidToken);
    if (pieces.size() < 2) {
        op.error("Error: insufficient metadata for unique Id, list length= '%d'", count(pieces));
        op.fail("Error: insufficient metadata for unique Id, list length");
    }
    // It names temporary files: digits only.
    gpfs::requireValue(op, "unique id", pieces[1], ValueKind::Digits);
    // Temporary files get the names they had when the metadata was captured.
    op.log(0, "++++SETTING snap uniqueId'%s'", pieces[1].c_str());
    setUniqueId(pieces[1]);

    // The failure-group and exclude-list sections are optional.
    pieces = piecesOf(text, gpfs::kFgToken);
    if (pieces.size() < 2) {
        op.error("Failure group not present in metadata. list length= '%d'", count(pieces));
    } else {
        int group = -1;
        if (!gpfs::readFailureGroup(pieces[1], &group)) {
            op.fail("Error: the failure group [" + volbridge::printable(pieces[1]) +
                    "] in the metadata is not a number the metadata can hold");
        }
        op.log(0, "++++SETTING m_failureGroup'%s'", pieces[1].c_str());
        md.failureGroup = m_failureGroup = group;
    }
    pieces = piecesOf(text, gpfs::kEdToken);
    if (pieces.size() < 2) {
        // Also an empty list: the two tokens are adjacent and give no piece.
        op.error("Excluded disks list is not present, list length= '%d'", count(pieces));
        md.excludeList.clear();
        m_excludeList.clear();
    } else {
        requireExcludeList(op, pieces[1]);
        op.log(0, "++++SETTING m_excludeList'%s'", pieces[1].c_str());
        md.excludeList = m_excludeList = pieces[1];
    }
}
