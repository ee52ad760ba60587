// libFuzzer target for the reader of GPFS metadata texts (parseMetadata) and of the disk
// identities they carry (parsePVId).
//
// For any input: parseMetadata may refuse it, but nothing may crash or leak. When it accepts it
// and every value read is one the writer can hold (no "$" anywhere, none of the separators the
// writer puts around a value inside it), the text the writer makes of those values must read
// back to the same values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "LVM/LVM.h"
#include "QuietLog.h"
#include "gpfs/gpfs_internal.h"
#include "host/HostSeams.h"
#include "host/YbException.h"

namespace {

namespace gpfs = volbridge::gpfs;
using Map = std::map<std::string, std::string>;

// The backend with the state the reader sets in reach.
class Reader : public LVM_gpfs {
  public:
    int failureGroup() const { return m_failureGroup; }
    const std::string& excludeList() const { return m_excludeList; }
};

[[noreturn]] void broken(const char* what, const std::string& text) {
    fprintf(stderr, "%s\n--- text\n%s\n", what, text.c_str());
    abort();
}

bool hasAny(const std::string& value, const char* characters) {
    return value.find_first_of(characters) != std::string::npos;
}

// Whether the writer can hold what was read: no "$" in any value (it would merge with a token),
// and no value holding the separator that ends it.
bool writable(const GPFSMetadata& md, const Map& pvMap, const Map& lvMap,
              const std::string& uniqueId) {
    if (hasAny(md.fsName, "$:") || hasAny(md.fsId, "$") || hasAny(md.mmsdrfsData, "$") ||
        hasAny(md.mmfsNodeData, "$") || hasAny(md.cluster.clusterId, "$") ||
        hasAny(md.excludeList, "$") || hasAny(uniqueId, "$")) {
        return false;
    }
    for (const std::string& node : md.cluster.nodes) {
        if (hasAny(node, "$;")) return false;
    }
    for (const auto& entry : pvMap) {
        if (hasAny(entry.first, "$:;") || hasAny(entry.second, "$;")) return false;
    }
    for (const auto& entry : lvMap) {
        if (hasAny(entry.first, "$#") || hasAny(entry.second, "$")) return false;
    }
    return true;
}

std::string write(const GPFSMetadata& md, const Map& pvMap, const Map& lvMap,
                  const std::string& uniqueId) {
    std::string nodes;
    for (const std::string& node : md.cluster.nodes) nodes += node + ";";
    std::string text = gpfs::identityItem(md.fsName, md.fsId) +
                       gpfs::configFileItem(md.mmsdrfsData) +
                       gpfs::configFileItem(md.mmfsNodeData) +
                       gpfs::clusterItem(md.cluster.clusterId, nodes) + gpfs::kPvToken;
    for (const auto& entry : pvMap) text += gpfs::pvEntry(entry.first, entry.second);
    text += gpfs::kPvToken;
    text += gpfs::lvItem(lvMap.begin()->first, lvMap.begin()->second);
    return text + gpfs::uniqueIdItem(uniqueId) + gpfs::failureGroupItem(md.failureGroup) +
           gpfs::excludeListItem(md.excludeList);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vbfuzz::silenceLog();
    const std::string text(reinterpret_cast<const char*>(data), size);

    Reader reader;
    GPFSMetadata md;
    Map pvMap, lvMap;
    try {
        reader.parseMetadata(text, md, pvMap, lvMap);
    } catch (const YbException&) {
        return 0;
    }
    Map diskIds, nsds;
    reader.parsePVId(pvMap, diskIds, nsds);
    if (md.failureGroup != reader.failureGroup()) {
        broken("the record and the object disagree on the failure group", text);
    }

    std::string uniqueId = reader.getUniqueId();
    uniqueId.pop_back();  // the trailing "_"
    if (pvMap.empty() || lvMap.size() != 1 || !writable(md, pvMap, lvMap, uniqueId)) return 0;
    const std::string written = write(md, pvMap, lvMap, uniqueId);

    Reader again;
    GPFSMetadata md2;
    Map pvMap2, lvMap2;
    try {
        again.parseMetadata(written, md2, pvMap2, lvMap2);
    } catch (const YbException& e) {
        broken(("the written text is refused: " + e.getMessage()).c_str(), written);
    }
    if (md2.fsName != md.fsName || md2.fsId != md.fsId || md2.mmsdrfsData != md.mmsdrfsData ||
        md2.mmfsNodeData != md.mmfsNodeData || md2.cluster.clusterId != md.cluster.clusterId ||
        md2.cluster.nodes != md.cluster.nodes || pvMap2 != pvMap || lvMap2 != lvMap ||
        again.getUniqueId() != reader.getUniqueId() || md2.excludeList != md.excludeList ||
        again.excludeList() != reader.excludeList()) {
        broken("the written text reads back differently", written);
    }
    // The writer keeps at most 9 characters of the failure group.
    char shown[10];
    snprintf(shown, sizeof shown, "%d", md.failureGroup);
    if (md2.failureGroup != atoi(shown))
        broken("the failure group reads back differently", written);
    return 0;
}
