// Clone import: bringing a file system captured on one cluster into service on another from
// cloned disks, and the file writers and GPFS commands it uses.
#include <unistd.h>

#include "core/Command.h"
#include "core/ShellWord.h"
#include "core/Text.h"
#include "core/ToolFile.h"
#include "gpfs/gpfs_internal.h"
#include "host/LogWriter.h"

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Origin;
namespace gpfs = volbridge::gpfs;
using Map = std::map<std::string, std::string>;

const char kRecreate[] =
    "virtual LVM::VG LVM_gpfs::recreateVG(const std::list<std::string>&, const char*, "
    "std::map<std::string, std::string>&)";
const char kWriteMmsdrfs[] =
    "bool LVM_gpfs::writeMmsdrfsFile(const std::string&, const std::string&, std::string*)";
const char kWriteStanza[] =
    "bool LVM_gpfs::writeStanzaFile(GPFSMetadata&, std::map<std::string, std::string>&, "
    "std::map<std::string, std::string>&, std::string*, std::string*)";
const char kImport[] =
    "bool LVM_gpfs::importFS(const std::string&, const std::string&, const std::string&)";
const char kExport[] =
    "bool LVM_gpfs::exportFS(const std::string&, const std::string&, std::string*)";
const char kExclude[] = "bool LVM_gpfs::excludeFGDisks(const std::string&)";

// The error number of the refusals that concern a file system live in this cluster.
constexpr int kLiveFileSystem = 60314;

// Whether a failure of clone import came before anything was done to the cluster, or at or
// after the import (when the file system may be in the cluster and must be exported again).
enum class ClusterTouched { No, Yes };

// Refuses metadata captured on this very cluster: the file system it describes is live here.
void refuseSameCluster(const Origin& here, const GPFSMetadata& md) {
    const std::string current = gpfs::outputOf(here, CommandLine(here, gpfs::kClusterIdCommand));
    g_ptrLogWriter->log(0, kRecreate, __LINE__, 0, 0, "Info: Out: '%s' ", current.c_str());
    if (current.empty()) here.fail("Error: current cluster GUID is empty!!!");
    if (md.cluster.clusterId == current) {
        g_ptrLogWriter->log(-1, kRecreate, __LINE__, 0, 0,
                            "source clusterID '%s' current clusterID '%s' is same",
                            md.cluster.clusterId.c_str(), current.c_str());
        here.fail(
            "Clone cannot be mounted on old cluster for GPFS where the filesystem already "
            "exists.",
            __LINE__, kLiveFileSystem);
    }
}

// Refuses a name this cluster already has a file system of.
void refuseExistingFileSystem(const Origin& here, const std::string& fs) {
    if (LVM_gpfs::isGPFSFileSystem(fs) != 0) return;
    g_ptrLogWriter->log(-1, kRecreate, __LINE__, 0, 0,
                        "file system '%s' already present on the system", fs.c_str());
    here.fail("file system already present on the system", __LINE__, kLiveFileSystem);
}

// The three stanza lines that make `node` the server of `nsd`.
std::string stanza(const std::string& nsd, const std::string& node) {
    return "%nsd:\n nsd=" + nsd + "\n servers=" + node + "\n";
}

// The name of this node, as the second word of its "mmgetstate" line; empty (after an error
// log) when it cannot be had.
std::string currentNode(const Origin& here) {
    const CommandLine cmd(here,
                          "mmgetstate | awk 'BEGIN {flag=0;} {if(flag>0) printf $2; if($1 "
                          "~/----/) flag=1;}'");
    CommandResult r = volbridge::run(cmd);
    if (!r.succeededQuietly()) {
        g_ptrLogWriter->log(-1, kWriteStanza, __LINE__, 0, 0,
                            "Error: cmd: '%s' failed with error: '%s'", cmd.text().c_str(),
                            r.err.c_str());
        return std::string();
    }
    g_ptrLogWriter->log(0, kWriteStanza, __LINE__, 0, 0,
                        "Info:current node name  mmgetstateOut: '%s' ", r.out.c_str());
    // The name goes into a file GPFS reads line by line: refuse anything but a plain name.
    volbridge::requireShellWord(r.out, "the node name", here.func, here.unit, __LINE__);
    return r.out;
}

// Takes a half-imported file system out of the cluster again after a failed clone import: exports
// it to a file that is removed right after. Only a file system this call imported is taken out:
// before the import, a file system of that name in this cluster is somebody else's.
void exportAgain(LVM_gpfs& gpfs, const std::string& fs) {
    const std::string exportFile =
        gpfs::exportFileDirectory() + "/yb_exportFile_" + gpfs.getUniqueId() + fs;
    if (!gpfs.exportFS(fs, exportFile, nullptr)) {
        g_ptrLogWriter->log(-1, kRecreate, __LINE__, 0, 0, "Export fs returned error");
    }
    unlink(exportFile.c_str());
}

}  // namespace

bool LVM_gpfs::writeMmsdrfsFile(const std::string& data, const std::string& path,
                                std::string* written_path) {
    const Origin here{kWriteMmsdrfs, volbridge::unit::kGpfs};
    return gpfs::falseOnRefusal(kWriteMmsdrfs, [&] {
        const std::string target =
            path.empty() ? gpfs::tempFilePath(here, "mmsdrfsExport_", m_uniqueId, m_jobId) : path;
        g_ptrLogWriter->log(0, kWriteMmsdrfs, __LINE__, 0, 0, "output mmsdrfsFile path = '%s'",
                            target.c_str());
        g_ptrLogWriter->log(4, kWriteMmsdrfs, __LINE__, 0, 0, "writing mmsdrfsData [%s]",
                            data.c_str());
        try {
            // The copy holds the cluster's configuration: private to this user, and never
            // written through a link somebody planted.
            volbridge::writeToolFile(here, target, data);
        } catch (const YbException& e) {
            g_ptrLogWriter->log(-1, kWriteMmsdrfs, __LINE__, 0, 0,
                                "Could not open output mmsdrfsfile '%s': %s", target.c_str(),
                                e.getMessage().c_str());
            return false;
        }
        if (written_path) *written_path = target;
        return true;
    });
}

bool LVM_gpfs::writeStanzaFile(GPFSMetadata& md, Map& diskIdMap, Map& nsdMap,
                               std::string* stanza_path, std::string* spare_path) {
    (void)md;
    (void)diskIdMap;
    (void)spare_path;
    const Origin here{kWriteStanza, volbridge::unit::kGpfs};
    return gpfs::falseOnRefusal(kWriteStanza, [&] {
        const std::string node = currentNode(here);
        if (node.empty()) return false;
        const std::string path = gpfs::tempFilePath(here, "stanzaFile_", m_uniqueId, m_jobId);
        std::string text;
        for (const auto& entry : nsdMap) {
            volbridge::requireShellWord(entry.first, "the NSD name", here.func, here.unit,
                                        __LINE__);
            text += stanza(entry.first, node);
        }
        // The NSDs a failure-group capture left out are part of the file system too.
        if (m_failureGroup > 0) {
            std::vector<std::string> excluded;
            ToKenize(m_excludeList, excluded, ";");
            if (excluded.empty()) {
                g_ptrLogWriter->log(-1, kWriteStanza, __LINE__, 0, 0,
                                    "Excluded disks list is not present, list length= '%d'", 0);
            }
            for (const std::string& nsd : excluded) {
                g_ptrLogWriter->log(0, kWriteStanza, __LINE__, 0, 0, "++++ excluded Disk'%s'",
                                    nsd.c_str());
                volbridge::requireShellWord(nsd, "the NSD name", here.func, here.unit, __LINE__);
                text += stanza(nsd, node);
            }
        }
        try {
            volbridge::writeToolFile(here, path, text);
        } catch (const YbException& e) {
            g_ptrLogWriter->log(-1, kWriteStanza, __LINE__, 0, 0,
                                "Could not open output stanzafile '%s': %s", path.c_str(),
                                e.getMessage().c_str());
            return false;
        }
        g_ptrLogWriter->log(0, kWriteStanza, __LINE__, 0, 0, "writing stanzafile at [%s]",
                            path.c_str());
        if (stanza_path) *stanza_path = path;
        EvDebug(nullptr).debugWait("gpfsstanzaWait");
        return true;
    });
}

bool LVM_gpfs::importFS(const std::string& fs, const std::string& import_file,
                        const std::string& stanza_file) {
    const Origin here{kImport, volbridge::unit::kGpfs};
    return gpfs::falseOnRefusal(kImport, [&] {
        const std::string source =
            import_file.empty() ? gpfs::tempFilePath(here, "gpfsRevExport_", m_uniqueId, m_jobId)
                                : import_file;
        g_ptrLogWriter->log(0, kImport, __LINE__, 0, 0, "importFilePath = '%s', stanzaFile = '%s'",
                            source.c_str(), stanza_file.c_str());
        CommandLine cmd(here, "mmimportfs");
        cmd.word(fs, "the file-system name").literal(" -i").word(source, "the import file");
        if (!stanza_file.empty()) cmd.literal(" -S").word(stanza_file, "the stanza file");
        CommandResult r = volbridge::run(cmd);
        if (r.succeededQuietly()) {
            g_ptrLogWriter->log(0, kImport, __LINE__, 0, 0, "Info: mmiportfsOut: '%s' ",
                                r.out.c_str());
            return true;
        }
        g_ptrLogWriter->log(-1, kImport, __LINE__, 0, 0, "Error: cmd: '%s' failed with error: '%s'",
                            cmd.text().c_str(), r.err.c_str());
        EvDebug(nullptr).debugWait("gpfsimportWait");
        gpfs::waitWhileMarker("gpfsImportWait");
        // Disks a failure-group capture left out are missing on purpose.
        return gpfs::markerSet("gpfsIgnoreError") || volbridge::contains(r.err, "asynchronous") ||
               (volbridge::contains(r.err, "ENODEV") && m_failureGroup > 0);
    });
}

bool LVM_gpfs::exportFS(const std::string& fs, const std::string& path, std::string* error_text) {
    const Origin here{kExport, volbridge::unit::kGpfs};
    return gpfs::falseOnRefusal(kExport, [&] {
        const std::string target =
            path.empty() ? gpfs::tempFilePath(here, "gpfsRevExport_", m_uniqueId, m_jobId) : path;
        g_ptrLogWriter->log(0, kExport, __LINE__, 0, 0, "exportPath = '%s'", target.c_str());
        CommandLine cmd(here, "mmexportfs");
        cmd.word(fs, "the file-system name").literal(" -o").word(target, "the export file");
        // GPFS writes the file under a name known in advance: nothing planted there is used.
        volbridge::clearToolOutputPath(here, target);
        CommandResult r = volbridge::run(cmd);
        if (r.succeededQuietly()) {
            g_ptrLogWriter->log(0, kExport, __LINE__, 0, 0, "Info: mmexportOut: '%s' ",
                                r.out.c_str());
            return true;
        }
        g_ptrLogWriter->log(-1, kExport, __LINE__, 0, 0,
                            "Error: cmd: '%s' failed with error: '%s' out: '%s'",
                            cmd.text().c_str(), r.err.c_str(), r.out.c_str());
        if (error_text) *error_text += r.out + r.err;
        return volbridge::contains(r.err, "asynchronous");
    });
}

bool LVM_gpfs::excludeFGDisks(const std::string& fs) {
    const Origin here{kExclude, volbridge::unit::kGpfs};
    return gpfs::falseOnRefusal(kExclude, [&] {
        g_ptrLogWriter->log(0, kExclude, __LINE__, 0, 0, "exclude = '%s'", m_excludeList.c_str());
        if (gpfs::markerSet("donotexclude")) {
            g_ptrLogWriter->log(0, kExclude, __LINE__, 0, 0, "skip exclude disks");
            return true;
        }
        CommandLine cmd(here, "mmfsctl");
        cmd.word(fs, "the file-system name").literal(" exclude -d \"");
        gpfs::appendNsdList(cmd, m_excludeList);
        cmd.literal("\"");
        CommandResult r = volbridge::run(cmd);
        if (r.succeededQuietly()) {
            g_ptrLogWriter->log(0, kExclude, __LINE__, 0, 0, "Info: mmexcludeOut: '%s' ",
                                r.out.c_str());
            return true;
        }
        g_ptrLogWriter->log(-1, kExclude, __LINE__, 0, 0,
                            "Error: cmd: '%s' failed with error: '%s'", cmd.text().c_str(),
                            r.err.c_str());
        EvDebug(nullptr).debugWait("gpfsexcludeWait");
        return gpfs::markerSet("gpfsExIgnoreError");
    });
}

LVM::VG LVM_gpfs::recreateVG(const std::list<std::string>& pv_dev_list, const char* metadata,
                             Map& old2new_uuid_map) {
    // The disks are found through GPFS itself; the map stays as the caller passed it.
    (void)pv_dev_list;
    (void)old2new_uuid_map;
    const Origin here{kRecreate, volbridge::unit::kGpfs};
    std::string fs;
    ClusterTouched touched = ClusterTouched::No;
    try {
        if (!metadata || !*metadata) here.fail("Error: Empty Metadata string");
        GPFSMetadata md;
        Map pvMap, lvMap;
        parseMetadata(metadata, md, pvMap, lvMap);
        Map diskIdMap, nsdMap;
        if (!parsePVId(pvMap, diskIdMap, nsdMap)) {
            here.fail("Error: could not parse pvId to get nsd list");
        }
        fs = md.fsName;
        volbridge::requireShellWord(fs, "the file-system name", here.func, here.unit, __LINE__);
        refuseSameCluster(here, md);
        refuseExistingFileSystem(here, fs);

        std::string configPath, stanzaPath;
        if (!writeMmsdrfsFile(md.mmsdrfsData, "", &configPath)) {
            g_ptrLogWriter->log(-1, kRecreate, __LINE__, 0, 0, "writeMmsdrfsFile failed!!");
            here.fail("Error in writing mmsdrfs file");
        }
        if (!writeStanzaFile(md, diskIdMap, nsdMap, &stanzaPath, nullptr)) {
            g_ptrLogWriter->log(-1, kRecreate, __LINE__, 0, 0, "writeStanzaFile failed!!");
            here.fail("Error in writing stanza file");
        }
        touched = ClusterTouched::Yes;
        if (!importFS(fs, configPath, stanzaPath)) {
            g_ptrLogWriter->log(-1, kRecreate, __LINE__, 0, 0, "importFS failed!!");
            here.fail("Error while importing the filesystem");
        }
        // Mounted once on this node so that it can be discovered, then unmounted everywhere;
        // neither result decides the outcome.
        mountFS(fs, "", RP_LOCAL, true);
        VG vg;
        populateFS(fs, vg, &md.fsName, &md.fsId, &pvMap, &lvMap);
        unmountFS(fs, true);
        return vg;
    } catch (const YbException& e) {
        g_ptrLogWriter->log(-1, kRecreate, __LINE__, 0, 0, "[%s:%d] %s", e.getFileName().c_str(),
                            e.getLineNum(), e.getMessage().c_str());
        if (touched == ClusterTouched::Yes) exportAgain(*this, fs);
        // The refusals keep their number, and so does a failure the host marked 60606.
        const int err =
            e.getErrno() == kLiveFileSystem || e.getErrno() == 60606 ? e.getErrno() : -1;
        here.fail(e.getMessage(), __LINE__, err);
    } catch (...) {
        g_ptrLogWriter->log(-1, kRecreate, __LINE__, 0, 0, "Exception in recreateVG");
        if (touched == ClusterTouched::Yes) exportAgain(*this, fs);
        here.fail("Exception in recreateVG");
    }
}
