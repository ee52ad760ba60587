// Disk identity: the identifier in a disk's descriptor, the identity of every snapshotted NSD,
// and the descriptor quorum of a snapshot that takes one failure group only.
#include "core/ShellWord.h"
#include "core/Text.h"
#include "gpfs/gpfs_internal.h"
#include "host/LogWriter.h"

namespace volbridge {
namespace gpfs {

std::vector<std::string> awkEntries(std::string_view output) {
    if (output.empty()) return {};
    return splitFields(output.substr(1), ':');
}

// The survey prints, for every disk after the dashed line of "mmlsdisk <fs> -L", ":" + failure
// group + "$" + remarks for a disk that holds metadata and data, and ":" + failure group +
// "$descOnly" for a disk that holds neither:
//   :1$desc:1$desc:2$desc:3$descOnly
DescriptorTally tallyDescriptors(const std::vector<std::string>& entries, int failureGroup) {
    DescriptorTally tally;
    for (const std::string& entry : entries) {
        const size_t dollar = entry.find('$');
        if (dollar == std::string::npos) continue;
        const int group = leadingInt(std::string_view(entry).substr(0, dollar));
        const std::string_view tail = std::string_view(entry).substr(dollar);
        const bool descriptor = contains(tail, "desc");
        if (descriptor) ++tally.total;
        if (contains(tail, "descOnly")) {
            tally.tiebreakerGroup = group;
            tally.tiebreakerPresent = 1;
        }
        if (descriptor && group == failureGroup) ++tally.available;
    }
    return tally;
}

bool quorumSatisfied(const DescriptorTally& tally) {
    return tally.tiebreakerPresent + tally.available > tally.total / 2;
}

}  // namespace gpfs
}  // namespace volbridge

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Origin;
namespace gpfs = volbridge::gpfs;
using Map = std::map<std::string, std::string>;

const char kDiskId[] = "int LVM_gpfs::getDiskIdfromDevice(const std::string&, std::string&)";
const char kGenerate[] =
    "bool LVM_gpfs::generatePVId(std::string, std::map<std::string, std::string>&)";
const char kParsePVId[] =
    "bool LVM_gpfs::parsePVId(const std::map<std::string, std::string>&, std::map<std::string, "
    "std::string>&, std::map<std::string, std::string>&)";

// "name:volumeid;" for every NSD of `fs`, from "mmlsnsd -f <fs> -L".
std::string nsdVolumeIds(const Origin& here, const std::string& fs) {
    CommandLine cmd(here, "mmlsnsd -f");
    cmd.word(fs, "the file-system name")
        .literal(
            " -L | awk 'BEGIN {flag=0;} {if (flag > 0 && $1 != \"\") { printf $2\":\"$3\";\" } "
            "if ( $0 ~/------/ ) flag=1;}'");
    const std::string out = gpfs::outputOf(here, cmd);
    g_ptrLogWriter->log(0, kGenerate, __LINE__, 0, 0, "Info: mmlsnsdOut: '%s' ", out.c_str());
    if (out.empty()) here.fail("Error: mmlsnsdOut did not return disks!!!");
    return out;
}

// Counts the descriptor replicas of `fs` and those in `failureGroup`. The columns "holds
// metadata" and "holds data" read "yes"/"no" on older GPFS releases and "Yes"/"No" on current
// ones: both are compared without regard to case.
gpfs::DescriptorTally surveyDescriptors(const Origin& here, const std::string& fs,
                                        int failureGroup) {
    CommandLine cmd(here, "mmlsdisk");
    cmd.word(fs, "the file-system name")
        .literal(
            " -L 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag > 0 && tolower($5) == \"yes\" && "
            "tolower($6) == \"yes\") printf \":\"$4\"$\"$11; if ( flag > 0 && tolower($5) == "
            "\"no\" && tolower($6) == \"no\" && $11 \"/de*/\") printf \":\"$4\"$descOnly\"; if "
            "($1 ~/-------/) flag = 1;}'");
    const std::string out = gpfs::outputOf(here, cmd);
    g_ptrLogWriter->log(0, kGenerate, __LINE__, 0, 0, "Info: mmlsdiskOut: '%s' ", out.c_str());
    if (out.empty()) {
        here.fail("Error: mmlsdisk for filesystem descriptor verification did not return disks!!!");
    }
    const std::vector<std::string> entries = gpfs::awkEntries(out);
    for (const std::string& entry : entries) {
        g_ptrLogWriter->log(3, kGenerate, __LINE__, 0, 0, "found FG$desc '%s'", entry.c_str());
    }
    gpfs::DescriptorTally tally = gpfs::tallyDescriptors(entries, failureGroup);
    if (tally.tiebreakerPresent) {
        g_ptrLogWriter->log(3, kGenerate, __LINE__, 0, 0, "found TieBreaker Disk FG '%d'",
                            tally.tiebreakerGroup);
    }
    return tally;
}

// Refuses a snapshot that does not hold a majority of the file-system descriptors.
void requireQuorum(const Origin& here, const gpfs::DescriptorTally& tally) {
    if (gpfs::quorumSatisfied(tally)) return;
    g_ptrLogWriter->log(0, kGenerate, __LINE__, 0, 0,
                        "Error:filesystem descriptor quorum is not satisfied with failure group "
                        "and tiebreaker disks. available=[%d] total desc=[%d]",
                        tally.tiebreakerPresent + tally.available, tally.total);
    here.fail(
        "Error:filesystem descriptor quorum is not satisfied with failure group and tiebreaker "
        "disks (optional).");
}

// The NSDs of `fs` in `failureGroup` or in the tiebreaker's failure group.
std::vector<std::string> keptNsds(const Origin& here, const std::string& fs, int failureGroup,
                                  int tiebreakerGroup) {
    CommandLine cmd(here, "mmlsdisk");
    cmd.word(fs, "the file-system name")
        .literal(
            " 2>/dev/null| awk 'BEGIN {flag=0;} {if (flag > 0 ) printf \":\"$4\"$\"$1; if ($1 "
            "~/-------/) flag = 1;}'");
    const std::string out = gpfs::outputOf(here, cmd);
    g_ptrLogWriter->log(0, kGenerate, __LINE__, 0, 0, "Info: mmlsdiskOut: '%s' ", out.c_str());
    if (out.empty()) here.fail("Error: mmlsdisk with FG did not return disks!!!");
    std::vector<std::string> kept;
    for (const std::string& entry : gpfs::awkEntries(out)) {
        g_ptrLogWriter->log(3, kGenerate, __LINE__, 0, 0, "found FG$nsd '%s'", entry.c_str());
        const size_t dollar = entry.find('$');
        if (dollar == std::string::npos) here.fail("Error: invalid FG$NSD pair!!!");
        const int group = gpfs::leadingInt(std::string_view(entry).substr(0, dollar));
        if (group == failureGroup || group == tiebreakerGroup) {
            kept.push_back(entry.substr(dollar + 1));
        }
    }
    return kept;
}

// The device of the NSD `nsd` on this node ("-" when it has none here).
std::string localDevice(const Origin& here, const std::string& fs, const std::string& nsd) {
    CommandLine cmd(here, "mmlsdisk");
    cmd.word(fs, "the file-system name")
        .literal(" -d")
        .word(nsd, "the NSD name")
        .literal(
            " -m | awk 'BEGIN {flag=0;} {if (flag > 0 ) printf $3; if ($1 ~/-------/) flag = "
            "1;}'");
    const std::string device = gpfs::outputOf(here, cmd);
    g_ptrLogWriter->log(0, kGenerate, __LINE__, 0, 0, "Info: pvdevice: '%s' ", device.c_str());
    if (device.empty()) here.fail("Error: mmlsdisk for NSD did not return disks!!!");
    return device;
}

bool holds(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names) {
        if (n == name) return true;
    }
    return false;
}

}  // namespace

int LVM_gpfs::getDiskIdfromDevice(const std::string& dev, std::string& diskId) {
    const Origin here{kDiskId, volbridge::unit::kGpfs};
    diskId.clear();
    if (!volbridge::isShellWord(dev)) {
        g_ptrLogWriter->log(-1, kDiskId, __LINE__, 0, 0,
                            "Refusing to read the descriptor of the device [%s]: not a device "
                            "path the shell takes literally",
                            volbridge::printable(dev).c_str());
        return 1;
    }
    CommandLine cmd(here, "mmfsadm test readdescraw");
    cmd.word(dev, "the device path").literal(" | awk '{ if ( $0 ~/FS disk/ ){ printf $5; } }'");
    CommandResult r = volbridge::run(cmd);
    diskId = r.out;
    if (!r.succeededQuietly()) {
        g_ptrLogWriter->log(-1, kDiskId, __LINE__, 0, 0, "Error: cmd: '%s' failed with error: '%s'",
                            cmd.text().c_str(), r.err.c_str());
        return 1;
    }
    g_ptrLogWriter->log(0, kDiskId, __LINE__, 0, 0, "Info: diskUuid: '%s' ", diskId.c_str());
    if (diskId.empty()) {
        g_ptrLogWriter->log(-1, kDiskId, __LINE__, 0, 0,
                            "Error: the descriptor of '%s' gave no disk identifier", dev.c_str());
    }
    return 0;
}

bool LVM_gpfs::generatePVId(std::string fs, Map& idMap) {
    const Origin here{kGenerate, volbridge::unit::kGpfs};
    try {
        const std::string nsds = nsdVolumeIds(here, fs);
        std::vector<std::string> kept;
        if (m_failureGroup >= 0) {
            const gpfs::DescriptorTally tally = surveyDescriptors(here, fs, m_failureGroup);
            requireQuorum(here, tally);
            kept = keptNsds(here, fs, m_failureGroup, tally.tiebreakerGroup);
        }
        for (const std::string& token : gpfs::cutTokens(nsds, ";", ";")) {
            g_ptrLogWriter->log(3, kGenerate, __LINE__, 0, 0, "found nsd:id '%s'", token.c_str());
            const size_t colon = token.find(':');
            if (colon == std::string::npos) here.fail("Error: invalid LV:ID pair!!!");
            const std::string nsd = token.substr(0, colon);
            const std::string volumeId = token.substr(colon + 1);
            if (m_failureGroup >= 0 && !holds(kept, nsd)) {
                if (!gpfs::listHolds(m_excludeList, nsd)) {
                    if (!m_excludeList.empty() && m_excludeList.back() != ';') m_excludeList += ';';
                    m_excludeList += nsd;
                }
                continue;
            }
            const std::string device = localDevice(here, fs, nsd);
            if (device[0] == '-') {
                g_ptrLogWriter->log(0, kGenerate, __LINE__, 0, 0,
                                    "Info: skip device pvdevice: '%s' ", device.c_str());
                continue;
            }
            volbridge::requireShellWord(device, "the device path", here.func, here.unit, __LINE__);
            std::string diskId;
            if (getDiskIdfromDevice(device, diskId) == 1) {
                here.fail("Error: cmd: getDiskIdfromDevice failed");
            }
            g_ptrLogWriter->log(0, kGenerate, __LINE__, 0, 0, "Info: diskUid: '%s' ",
                                diskId.c_str());
            if (diskId.empty()) here.fail("Error: mmfsadm dev did not return disk id!!!");
            idMap[device] = diskId + "#" + nsd + ":" + volumeId;
        }
        if (!m_excludeList.empty() && m_excludeList.back() == ';') m_excludeList.pop_back();
        if (!m_excludeList.empty()) {
            g_ptrLogWriter->log(0, kGenerate, __LINE__, 0, 0, "Info: excludeList: '%s' ",
                                m_excludeList.c_str());
        }
        return true;
    } catch (...) {
        gpfs::rethrowFrom(here, "Exception in generatePVId", gpfs::ErrorNumber::Reset);
    }
}

bool LVM_gpfs::parsePVId(const Map& pvMap, Map& diskIdMap, Map& nsdMap) {
    for (const auto& entry : pvMap) {
        const std::string& pvId = entry.second;
        const size_t hash = pvId.find('#');
        if (hash == std::string::npos) {
            g_ptrLogWriter->log(-1, kParsePVId, __LINE__, 0, 0, "Error: invalid pvId pair!!!");
            return false;
        }
        const std::string diskId = pvId.substr(0, hash);
        g_ptrLogWriter->log(2, kParsePVId, __LINE__, 0, 0, " disk Name: '%s' Id '%s'",
                            entry.first.c_str(), diskId.c_str());
        diskIdMap[entry.first] = diskId;
        const std::string nsd = pvId.substr(hash + 1);
        const size_t colon = nsd.find(':');
        if (colon == std::string::npos) {
            g_ptrLogWriter->log(-1, kParsePVId, __LINE__, 0, 0, "Error: invalid NSD:NSDID pair!!!");
            return false;
        }
        nsdMap[nsd.substr(0, colon)] = nsd.substr(colon + 1);
        g_ptrLogWriter->log(2, kParsePVId, __LINE__, 0, 0, " nsd Name: '%s' Id '%s'",
                            nsd.substr(0, colon).c_str(), nsd.substr(colon + 1).c_str());
    }
    return true;
}
