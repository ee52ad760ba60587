// The GPFS metadata text: the backend object's identity state, capturing the cluster part of the
// text, and reading the whole text back.
//
// The text is nine items, each delimited by token strings, with nothing between them:
//   $$$YB$$$gpfs0:0A000001:5F3A2C10$$$YB$$$      file-system name and identifier
//   <mmsdrfs>$$$YB$$$<mmfsNodeData>$$$YB$$$      the two configuration files, byte for byte
//   12399838388936568191:node1;node2;$$$YB$$$    cluster id and nodes
//   $$$PV$$$/dev/sdb:0A0000015F3A2B01#nsd1:0A0000015F3A2B01;...$$$PV$$$
//   $$$LV$$$/dev/gpfs0#0A000001:5F3A2C10$$$LV$$$
//   $$$UID$$$1700000000123456$$$UID$$$$$$FG$$$-1$$$FG$$$$$$ED$$$nsd3$$$ED$$$
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/FileDescriptor.h"
#include "gpfs/gpfs_internal.h"
#include "host/LogWriter.h"

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

}  // namespace gpfs
}  // namespace volbridge

namespace {

using volbridge::CommandLine;
using volbridge::Origin;
namespace gpfs = volbridge::gpfs;

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
std::string readConfigFile(const Origin& here, const char* name) {
    const std::string path = gpfs::configDirectory() + "/" + name;
    volbridge::FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        here.fail(std::string("Error: ") + name +
                  " cannot be opened; verify if this node is part of a functional GPFS "
                  "cluster!!!");
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            here.fail(std::string("Error: ") + name + " cannot be read: " + strerror(errno));
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    if (content.empty()) here.fail(std::string("Error: ") + name + " is empty!!!");
    return content;
}

// The node list ("node1;node2;") from whichever "mmlscluster" layout the cluster prints. On a
// failure `out` gets the file-system token first, as the reader of a half-written text expects.
std::string clusterNodeList(const Origin& here, std::string& out) {
    const CommandLine layouts[] = {CommandLine(here, kNodeListCommand),
                                   CommandLine(here, kOneDashNodeListCommand)};
    const char* const logs[] = {"Info: Out: '%s' ", "Info: Out new: '%s' "};
    for (int i = 0; i < 2; ++i) {
        volbridge::CommandResult r = volbridge::run(layouts[i]);
        if (!r.succeededQuietly()) {
            out += gpfs::kFsToken;
            here.fail(gpfs::commandFailure(layouts[i], r));
        }
        g_ptrLogWriter->log(0, kCollect, __LINE__, 0, 0, logs[i], r.out.c_str());
        if (!r.out.empty()) return r.out;
    }
    out += gpfs::kFsToken;
    here.fail("Error: cluster nodelist is empty!!!");
}

// The pieces of `text` between occurrences of `token`.
std::vector<std::string> piecesOf(const std::string& text, const char* token) {
    std::vector<std::string> pieces;
    LVM_gpfs::ToKenize(text, pieces, token);
    return pieces;
}

int count(const std::vector<std::string>& pieces) { return static_cast<int>(pieces.size()); }

// Items 1 to 4: name, identifier, the two configuration files and the cluster.
void readFileSystemPart(const Origin& here, const std::string& text, GPFSMetadata& md) {
    const std::vector<std::string> pieces = piecesOf(text, gpfs::kFsToken);
    if (pieces.size() < 4) {
        g_ptrLogWriter->log(-1, kParse, __LINE__, 0, 0,
                            "Error: insufficient metadata for fs, list length= '%d'",
                            count(pieces));
        here.fail("Error: insufficient metadata for fs, list length");
    }
    const size_t colon = pieces[0].find(':');
    if (colon == std::string::npos) {
        const char message[] = "Error: Metadata doesnt contain correct token to be parsed";
        g_ptrLogWriter->log(-1, kParse, __LINE__, 0, 0, "%s", message);
        here.fail(message);
    }
    md.fsName = pieces[0].substr(0, colon);
    md.fsId = pieces[0].substr(colon + 1);
    md.mmsdrfsData = pieces[1];
    md.mmfsNodeData = pieces[2];
    g_ptrLogWriter->log(3, kParse, __LINE__, 0, 0, "metadata fname: [%s]", md.fsName.c_str());
    g_ptrLogWriter->log(3, kParse, __LINE__, 0, 0, "metadata fsId: [%s]", md.fsId.c_str());
    g_ptrLogWriter->log(3, kParse, __LINE__, 0, 0, "metadata mmsdsfsData: [%s]",
                        md.mmsdrfsData.c_str());
    g_ptrLogWriter->log(3, kParse, __LINE__, 0, 0, "metadata mmfsNodeData: [%s]",
                        md.mmfsNodeData.c_str());

    std::vector<std::string> tokens = gpfs::cutTokens(pieces[3], ":", ";");
    if (tokens.empty()) here.fail("Error: clusterid cannot be empty");
    md.cluster.clusterId = tokens[0];
    g_ptrLogWriter->log(3, kParse, __LINE__, 0, 0, "metadata clusterID: [%s]",
                        md.cluster.clusterId.c_str());
    for (size_t i = 1; i < tokens.size(); ++i) {
        g_ptrLogWriter->log(3, kParse, __LINE__, 0, 0, "metadata clusternodes: [%s]",
                            tokens[i].c_str());
        md.cluster.nodes.push_back(tokens[i]);
    }
}

// Item 5: device path -> pvId.
void readPVSection(const Origin& here, const std::string& text,
                   std::map<std::string, std::string>& pvMap) {
    const std::vector<std::string> pieces = piecesOf(text, gpfs::kPvToken);
    if (pieces.size() < 3) {
        g_ptrLogWriter->log(-1, kParse, __LINE__, 0, 0,
                            "Error: insufficient metadata for pv, list length= '%d'",
                            count(pieces));
        here.fail("Error: insufficient metadata for pv, list length");
    }
    for (const std::string& entry : gpfs::cutTokens(pieces[1], ";", ";")) {
        g_ptrLogWriter->log(2, kParse, __LINE__, 0, 0, "found disk:id '%s'", entry.c_str());
        const size_t colon = entry.find(':');
        if (colon == std::string::npos)
            here.fail("Error: invalid PV:ID pair in metadata!!!" + entry);
        const std::string device = entry.substr(0, colon);
        const std::string pvId = entry.substr(colon + 1);
        g_ptrLogWriter->log(0, kParse, __LINE__, 0, 0, "++++SETTING in pv_map key '%s' value '%s'",
                            device.c_str(), pvId.c_str());
        pvMap[device] = pvId;
    }
}

// Item 6: "/dev/" + name -> file-system identifier.
void readLVSection(const Origin& here, const std::string& text,
                   std::map<std::string, std::string>& lvMap) {
    const std::vector<std::string> pieces = piecesOf(text, gpfs::kLvToken);
    if (pieces.size() < 3) {
        g_ptrLogWriter->log(-1, kParse, __LINE__, 0, 0,
                            "Error: insufficient metadata for lv, list length= '%d'",
                            count(pieces));
        here.fail("Error: insufficient metadata for lv, list length");
    }
    const std::string& section = pieces[1];
    const size_t hash = section.find('#');
    if (hash == std::string::npos) here.fail("Error: invalid LV:ID pair in metadata!!!" + section);
    const std::string device = section.substr(0, hash);
    const std::string uuid = section.substr(hash + 1);
    g_ptrLogWriter->log(0, kParse, __LINE__, 0, 0, "++++SETTING in lv_map key '%s' value '%s'",
                        device.c_str(), uuid.c_str());
    lvMap[device] = uuid;
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
    const Origin here{kCollect, volbridge::unit::kGpfs};
    out = gpfs::identityItem(fsName, fsId);
    out += gpfs::configFileItem(readConfigFile(here, "mmsdrfs"));
    out += gpfs::configFileItem(readConfigFile(here, "mmfsNodeData"));

    const std::string clusterId = gpfs::outputOf(here, CommandLine(here, gpfs::kClusterIdCommand));
    g_ptrLogWriter->log(0, kCollect, __LINE__, 0, 0, "Info: Out: '%s' ", clusterId.c_str());
    if (clusterId.empty()) here.fail("Error: cluster GUID is empty!!!");
    out += clusterId + ":";
    const std::string nodeList = clusterNodeList(here, out);
    out += nodeList + gpfs::kFsToken;
}

void LVM_gpfs::parseMetadata(const std::string& text, GPFSMetadata& md,
                             std::map<std::string, std::string>& pvMap,
                             std::map<std::string, std::string>& lvMap) {
    const Origin here{kParse, volbridge::unit::kGpfs};
    if (text.empty()) here.fail("Error: metadata cannot be empty");
    g_ptrLogWriter->log(3, kParse, __LINE__, 0, 0, "input metadata: [%s]", text.c_str());
    readFileSystemPart(here, text, md);
    // Maps the caller filled already are kept: their sections are not read.
    if (pvMap.empty()) readPVSection(here, text, pvMap);
    if (lvMap.empty()) readLVSection(here, text, lvMap);

    std::vector<std::string> pieces = piecesOf(text, gpfs::kUidToken);
    if (pieces.size() < 2) {
        g_ptrLogWriter->log(-1, kParse, __LINE__, 0, 0,
                            "Error: insufficient metadata for unique Id, list length= '%d'",
                            count(pieces));
        here.fail("Error: insufficient metadata for unique Id, list length");
    }
    // Temporary files get the names they had when the metadata was captured.
    g_ptrLogWriter->log(0, kParse, __LINE__, 0, 0, "++++SETTING snap uniqueId'%s'",
                        pieces[1].c_str());
    setUniqueId(pieces[1]);

    // The failure-group and exclude-list sections are optional.
    pieces = piecesOf(text, gpfs::kFgToken);
    if (pieces.size() < 2) {
        g_ptrLogWriter->log(-1, kParse, __LINE__, 0, 0,
                            "Failure group not present in metadata. list length= '%d'",
                            count(pieces));
    } else {
        g_ptrLogWriter->log(0, kParse, __LINE__, 0, 0, "++++SETTING m_failureGroup'%s'",
                            pieces[1].c_str());
        md.failureGroup = m_failureGroup = gpfs::leadingInt(pieces[1]);
    }
    pieces = piecesOf(text, gpfs::kEdToken);
    if (pieces.size() < 2) {
        // Also an empty list: the two tokens are adjacent and give no piece.
        g_ptrLogWriter->log(-1, kParse, __LINE__, 0, 0,
                            "Excluded disks list is not present, list length= '%d'", count(pieces));
        md.excludeList.clear();
        m_excludeList.clear();
    } else {
        g_ptrLogWriter->log(0, kParse, __LINE__, 0, 0, "++++SETTING m_excludeList'%s'",
                            pieces[1].c_str());
        md.excludeList = m_excludeList = pieces[1];
    }
}
