// Disk identity: the identifier in a disk's descriptor, the identity of every snapshotted NSD,
// and the descriptor quorum of a snapshot that takes one failure group only.
#include <climits>
#include <set>

#include "core/ShellWord.h"
#include "core/Text.h"
#include "gpfs/gpfs_discovery.h"
#include "gpfs/gpfs_identity.h"
#include "gpfs/gpfs_internal.h"
#include "gpfs/gpfs_metadata.h"

namespace volbridge {
namespace gpfs {

// One line per disk after the dashed line; the NSD name, the node the I/O goes through and the
// device on this node ("-" when it has none here):
//
//   Disk name     IO performed on node     Device             Availability
//   ------------  -----------------------  -----------------  ------------
//   nsd1          localhost                /dev/sdb           up
std::vector<DiskView> readDiskView(std::string_view text, std::string* devices) {
    std::vector<DiskView> disks;
    if (devices) devices->clear();
    for (const std::vector<std::string>& words : rowsAfterDashedLine(text)) {
        if (devices) *devices += (words.size() > 2 ? words[2] : "") + ";";
        if (words.size() > 2) disks.push_back(DiskView{words[0], words[2]});
    }
    return disks;
}

std::vector<DiskView> localDiskView(const Operation& op, const std::string& fs,
                                    std::string* devices) {
    CommandLine cmd = op.command("mmlsdisk");
    cmd.word(fs, "the file-system name").literal(" -m");
    const CommandResult r = listed(op, cmd);
    if (!op.succeeded(r)) {
        op.logFailure(cmd, r);
        op.fail(op.failureText(cmd, r));
    }
    return readDiskView(r.out, devices);
}

namespace {

bool isYes(const std::string& word) { return word == "yes" || word == "Yes"; }
bool isYesOrNo(const std::string& word) { return isYes(word) || word == "no" || word == "No"; }

bool isAvailability(const std::string& word) {
    return word == "up" || word == "down" || word == "recovering" || word == "unrecovered";
}

}  // namespace

// Each disk's failure group, what it holds, its status (one or more words), its availability,
// its number, storage pool and remarks; older releases print "yes"/"no", current ones "Yes"/"No":
//
//   disk         driver   sector     failure holds    holds storage name         type       size
//   group metadata data  status        availability disk id pool         remarks
//   ------------ -------- ------ ----------- -------- ----- ------------- ------------ -------
//   ------------ --------- nsd1         nsd         512           1 yes      yes   ready         up
//   1 system        desc nsd2         nsd         512           1 yes      yes   to be emptied up
//   2 system Number of quorum disks: 3
std::vector<DiskRow> readDiskListing(std::string_view text) {
    std::vector<DiskRow> disks;
    for (const std::vector<std::string>& words : rowsAfterDashedLine(text)) {
        if (words.size() < 8 || !isYesOrNo(words[4]) || !isYesOrNo(words[5])) continue;
        // The status may take several words; the availability follows it.
        size_t availability = 7;
        while (availability < words.size() && !isAvailability(words[availability])) ++availability;
        if (availability == words.size()) continue;
        DiskRow disk;
        disk.nsd = words[0];
        disk.failureGroup = leadingInt(words[3]);
        disk.metadata = isYes(words[4]);
        disk.data = isYes(words[5]);
        for (size_t i = 6; i < availability; ++i)
            disk.status += (disk.status.empty() ? "" : " ") + words[i];
        disk.availability = words[availability];
        // Disk id and storage pool come next, the remarks last.
        for (size_t i = availability + 3; i < words.size(); ++i)
            disk.descriptor = disk.descriptor || words[i] == "desc";
        disks.push_back(disk);
    }
    return disks;
}

int leadingInt(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

DescriptorTally tallyDescriptors(const std::vector<DiskRow>& disks, int failureGroup) {
    DescriptorTally tally;
    // A disk that holds neither metadata nor data is a descriptor-only (tiebreaker) disk; with
    // several, the last one's failure group is taken along.
    for (const DiskRow& disk : disks) {
        if (!disk.metadata && !disk.data) {
            tally.tiebreakerGroup = disk.failureGroup;
            tally.tiebreakerPresent = 1;
        }
    }
    for (const DiskRow& disk : disks) {
        if (!disk.descriptor) continue;
        ++tally.total;
        if (disk.failureGroup == failureGroup || disk.failureGroup == tally.tiebreakerGroup) {
            ++tally.available;
        }
    }
    return tally;
}

bool quorumSatisfied(const DescriptorTally& tally) { return tally.available > tally.total / 2; }

std::vector<std::string> keptNsds(const std::vector<DiskRow>& disks, int failureGroup,
                                  int tiebreakerGroup) {
    std::vector<std::string> kept;
    for (const DiskRow& disk : disks) {
        if (disk.failureGroup == failureGroup || disk.failureGroup == tiebreakerGroup) {
            kept.push_back(disk.nsd);
        }
    }
    return kept;
}

}  // namespace gpfs
}  // namespace volbridge

namespace {

using volbridge::CommandLine;
using volbridge::CommandResult;
using volbridge::Operation;
using volbridge::gpfs::ValueKind;
namespace gpfs = volbridge::gpfs;
using Map = gpfs::Map;

const char kDiskId[] = "int LVM_gpfs::getDiskIdfromDevice(const std::string&, std::string&)";
const char kGenerate[] =
    "bool LVM_gpfs::generatePVId(std::string, std::map<std::string, std::string>&)";
const char kParsePVId[] =
    "bool LVM_gpfs::parsePVId(const std::map<std::string, std::string>&, std::map<std::string, "
    "std::string>&, std::map<std::string, std::string>&)";

// "name:volumeid;" for every NSD of `fs`, from "mmlsnsd -f <fs> -L".
std::string nsdVolumeIds(const Operation& op, const std::string& fs) {
    CommandLine cmd = op.command("mmlsnsd -f");
    cmd.word(fs, "the file-system name")
        .literal(
            " -L | awk 'BEGIN {flag=0;} {if (flag > 0 && $1 != \"\") { printf $2\":\"$3\";\" } "
            "if ( $0 ~/------/ ) flag=1;}'");
    const std::string out = gpfs::listing(op, cmd);
    op.log(0, "Info: mmlsnsdOut: '%s' ", out.c_str());
    if (out.empty()) op.fail("Error: mmlsnsdOut did not return disks!!!");
    return out;
}

// The disks of `fs` with their failure groups and descriptors ("mmlsdisk <fs> -L"). A listing
// that fails (also one that printed some rows first) fails the discovery.
std::vector<gpfs::DiskRow> diskListing(const Operation& op, const std::string& fs) {
    CommandLine cmd = op.command("mmlsdisk");
    cmd.word(fs, "the file-system name").literal(" -L");
    const std::string out = gpfs::listing(op, cmd);
    op.log(0, "Info: mmlsdiskOut: '%s' ", volbridge::quotedOutput(out).c_str());
    std::vector<gpfs::DiskRow> disks = gpfs::readDiskListing(out);
    if (disks.empty()) {
        op.fail("Error: mmlsdisk for filesystem descriptor verification did not return disks!!!");
    }
    return disks;
}

// Counts the descriptor replicas of `fs` and those the snapshot of `failureGroup` holds; refuses
// a snapshot without a majority of them.
gpfs::DescriptorTally requireQuorum(const Operation& op, const std::vector<gpfs::DiskRow>& disks,
                                    int failureGroup) {
    for (const gpfs::DiskRow& disk : disks) {
        if (disk.descriptor) op.log(3, "found FG$desc '%d$desc'", disk.failureGroup);
    }
    const gpfs::DescriptorTally tally = gpfs::tallyDescriptors(disks, failureGroup);
    if (tally.tiebreakerPresent) op.log(3, "found TieBreaker Disk FG '%d'", tally.tiebreakerGroup);
    if (gpfs::quorumSatisfied(tally)) return tally;
    op.log(0,
           "Error:filesystem descriptor quorum is not satisfied with failure group and tiebreaker "
           "disks. available=[%d] total desc=[%d]",
           tally.available, tally.total);
    op.fail(
        "Error:filesystem descriptor quorum is not satisfied with failure group and tiebreaker "
        "disks (optional).");
}

// The device of every NSD of `fs` on this node ("-" when it has none here), from the listing
// the discovery read already.
std::map<std::string, std::string> localDevices(const Operation& op, const std::string& fs) {
    std::map<std::string, std::string> devices;
    for (const gpfs::DiskView& disk : gpfs::localDiskView(op, fs)) devices[disk.nsd] = disk.device;
    return devices;
}

}  // namespace

int LVM_gpfs::getDiskIdfromDevice(const std::string& dev, std::string& diskId) {
    const Operation op(kDiskId, volbridge::unit::kGpfs);
    diskId.clear();
    if (!volbridge::isShellWord(dev)) {
        op.error(
            "Refusing to read the descriptor of the device [%s]: not a device path the shell "
            "takes literally",
            volbridge::printable(dev).c_str());
        return 1;
    }
    CommandLine cmd = op.command("mmfsadm test readdescraw");
    cmd.word(dev, "the device path").literal(" | awk '{ if ( $0 ~/FS disk/ ){ printf $5; } }'");
    const CommandResult r = gpfs::listed(op, cmd);
    diskId = r.out;
    if (!op.succeeded(r)) {
        op.logFailure(cmd, r);
        return 1;
    }
    op.log(0, "Info: diskUuid: '%s' ", diskId.c_str());
    if (diskId.empty()) {
        op.error("Error: the descriptor of '%s' gave no disk identifier", dev.c_str());
    }
    return 0;
}

bool LVM_gpfs::generatePVId(std::string fs, Map& idMap) {
    const Operation op(kGenerate, volbridge::unit::kGpfs);
    gpfs::ListingScope listings;
    try {
        const std::string nsds = nsdVolumeIds(op, fs);
        std::set<std::string> kept;
        if (m_failureGroup >= 0) {
            const std::vector<gpfs::DiskRow> disks = diskListing(op, fs);
            const gpfs::DescriptorTally tally = requireQuorum(op, disks, m_failureGroup);
            for (const gpfs::DiskRow& disk : disks) {
                op.log(3, "found FG$nsd '%d$%s'", disk.failureGroup, disk.nsd.c_str());
            }
            for (const std::string& nsd :
                 gpfs::keptNsds(disks, m_failureGroup, tally.tiebreakerGroup)) {
                kept.insert(nsd);
            }
        }
        std::map<std::string, std::string> devices;
        bool devicesRead = false;
        std::map<std::string, std::string> nsdOnDevice;
        for (const std::string& token : gpfs::cutTokens(nsds, ";", ";")) {
            op.log(3, "found nsd:id '%s'", token.c_str());
            const size_t colon = token.find(':');
            if (colon == std::string::npos) op.fail("Error: invalid LV:ID pair!!!");
            const std::string nsd = token.substr(0, colon);
            const std::string volumeId = token.substr(colon + 1);
            // Every NSD name goes into the metadata text, taken or left out.
            gpfs::requireValue(op, "NSD name", nsd, ValueKind::GpfsName);
            if (m_failureGroup >= 0 && !kept.count(nsd)) {
                if (!gpfs::listHolds(m_excludeList, nsd)) {
                    if (!m_excludeList.empty() && m_excludeList.back() != ';') m_excludeList += ';';
                    m_excludeList += nsd;
                }
                continue;
            }
            if (!devicesRead) {
                devices = localDevices(op, fs);
                devicesRead = true;
            }
            const auto found = devices.find(nsd);
            const std::string device = found == devices.end() ? "" : found->second;
            op.log(0, "Info: pvdevice: '%s' ", device.c_str());
            if (device.empty()) op.fail("Error: mmlsdisk for NSD did not return disks!!!");
            if (device[0] == '-') {
                op.log(0, "Info: skip device pvdevice: '%s' ", device.c_str());
                continue;
            }
            // Every part of the identity goes into the metadata text.
            gpfs::requireValue(op, "NSD volume id", volumeId, ValueKind::Word, ";");
            gpfs::requireValue(op, "device path", device, ValueKind::Word, ":;");
            volbridge::requireShellWord(device, "the device path", op.func(), op.unit(), __LINE__);
            // One device is one disk: two NSDs on it would give one of them the other's identity.
            const auto first = nsdOnDevice.emplace(device, nsd);
            if (!first.second) {
                op.fail("Error: mmlsdisk names the device " + device + " for two NSDs, " +
                        first.first->second + " and " + nsd);
            }
            std::string diskId;
            if (getDiskIdfromDevice(device, diskId) == 1) {
                op.fail("Error: cmd: getDiskIdfromDevice failed");
            }
            op.log(0, "Info: diskUid: '%s' ", diskId.c_str());
            if (diskId.empty()) op.fail("Error: mmfsadm dev did not return disk id!!!");
            gpfs::requireValue(op, "disk id", diskId, ValueKind::Word, "#:;");
            idMap[device] = diskId + "#" + nsd + ":" + volumeId;
        }
        if (!m_excludeList.empty() && m_excludeList.back() == ';') m_excludeList.pop_back();
        if (!m_excludeList.empty()) op.log(0, "Info: excludeList: '%s' ", m_excludeList.c_str());
        return true;
    } catch (...) {
        gpfs::throwAgain(op, "Exception in generatePVId", gpfs::ErrorNumber::Reset);
    }
}

bool LVM_gpfs::parsePVId(const Map& pvMap, Map& diskIdMap, Map& nsdMap) {
    const Operation op(kParsePVId, volbridge::unit::kGpfs);
    for (const auto& entry : pvMap) {
        const std::string& pvId = entry.second;
        const size_t hash = pvId.find('#');
        if (hash == std::string::npos) {
            op.error("Error: invalid pvId pair!!!");
            return false;
        }
        const std::string diskId = pvId.substr(0, hash);
        op.log(2, " disk Name: '%s' Id '%s'", entry.first.c_str(), diskId.c_str());
        diskIdMap[entry.first] = diskId;
        const std::string nsd = pvId.substr(hash + 1);
        const size_t colon = nsd.find(':');
        if (colon == std::string::npos) {
            op.error("Error: invalid NSD:NSDID pair!!!");
            return false;
        }
        nsdMap[nsd.substr(0, colon)] = nsd.substr(colon + 1);
        op.log(2, " nsd Name: '%s' Id '%s'", nsd.substr(0, colon).c_str(),
               nsd.substr(colon + 1).c_str());
    }
    return true;
}
