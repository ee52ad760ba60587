// libFuzzer target for the reader of GPFS metadata texts (parseMetadata) and of the disk
// identities they carry (parsePVId).
//
// For any input: parseMetadata may refuse it, but nothing may crash or leak. What it accepts, the
// writer must give back the same: the text the writer makes of the values read must read back to
// the same values.
//
// The inputs that once broke this (fuzz/regressions/gpfs_metadata) run first, at every start.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "LVM/LVM.h"
#include "QuietLog.h"
#include "gpfs/gpfs_metadata.h"
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Runs the inputs kept as regression cases before any other.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(VOLBRIDGE_GPFS_FUZZ_REGRESSIONS, error)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string input((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
        fprintf(stderr, "regression case %s: passed\n", entry.path().filename().c_str());
    }
    if (error) {
        fprintf(stderr, "no regression cases in %s: %s\n", VOLBRIDGE_GPFS_FUZZ_REGRESSIONS,
                error.message().c_str());
        abort();
    }
    return 0;
}

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
    if (pvMap.empty() || lvMap.size() != 1)
        broken("the reader accepted a text without disks", text);
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
    if (md2.failureGroup != md.failureGroup) {
        broken("the failure group reads back differently", written);
    }
    return 0;
}
