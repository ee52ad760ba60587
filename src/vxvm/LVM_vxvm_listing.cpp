// The listings an operation reads once: the host's disk paths and the listings of one group.
#include <limits.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/Text.h"
#include "vxvm/vxvm_listing.h"

namespace volbridge {
namespace vxvm {

namespace {

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string resolveDevicePath(const Origin& at, const std::string& path) {
    if (path.empty() || path[0] != '/') return path;
    const std::string root = deviceRoot();
    struct stat st;
    if (lstat((root + path).c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char resolved[PATH_MAX];
    if (!realpath((root + path).c_str(), resolved)) {
        at.fail("Error: the device path '" + path +
                "' is a symbolic link that leads nowhere: " + strerror(errno));
    }
    std::string device = resolved;
    if (!root.empty()) {
        if (device.compare(0, root.size() + 1, root + "/") != 0) {
            at.fail("Error: the device path '" + path + "' is a symbolic link to '" + device +
                    "', outside the device tree");
        }
        device.erase(0, root.size());
    }
    return device;
}

HostDisks::HostDisks(std::string_view listing) : rows_(parseDiskPathRows(listing)) {}

HostDisks HostDisks::read(const Operation& op) {
    return HostDisks(op.mustRun(op.command("vxdisk -qe path")).out);
}

const DiskPathRow* HostDisks::find(const Origin& at, const std::string& path) const {
    const std::string base = baseName(resolveDevicePath(at, path));
    for (const DiskPathRow& row : rows_) {
        if (row.subpath == base) return &row;
    }
    return nullptr;
}

const std::list<std::string>& GroupListing::diskMediaNames() {
    if (!dms_) {
        const Operation op("LVM_vxvm::populatePV", unit::kVxvm);
        auto cmd = op.command("vxprint -g");
        cmd.word(group_, "the disk group name").literal(" -d -F%name");
        // One name a line, taken unchanged.
        dms_ = std::list<std::string>();
        for (std::string& dm : splitLines(op.mustRun(cmd).out)) dms_->push_back(std::move(dm));
    }
    return *dms_;
}

// Output of "vxdisk -g datadg list datadg01" (cut at ": \t\n", the token after "udid"):
//   guid:      -
//   udid:      EMC%5FSYMMETRIX%5F000197600123%5F0A1B
const std::string& GroupListing::udid(const std::string& dm) {
    auto known = udids_.find(dm);
    if (known != udids_.end()) return known->second;
    const Operation op("LVM_vxvm::getDiskUuid", unit::kVxvm);
    auto cmd = op.command("vxdisk -g");
    cmd.word(group_, "the disk group name").literal(" list").word(dm, "the disk media name");
    std::string udid;
    parseKeyedToken(op.mustRun(cmd).out, ": \t\n", "udid", &udid);
    if (udid.empty()) {
        op.fail("Error: the disk '" + dm + "' of disk group '" + group_ + "' shows no udid in '" +
                cmd.text() + "'");
    }
    return udids_[dm] = udid;
}

std::string GroupListing::osDevice(const std::string& dm) {
    const Operation op("LVM_vxvm::getDiskOSName", unit::kVxvm);
    if (!flags_) {
        auto cmd = op.command("vxdisk -g");
        cmd.word(group_, "the disk group name").literal(" -s list | grep flags:");
        const CommandResult r = op.run(cmd);
        // This one failure reads "with error", as it always has.
        if (!r.succeeded()) {
            op.fail("Error: cmd: '" + cmd.text() + "' failed with error: '" + r.err + "'");
        }
        flags_ = parseFlagWords(r.out);
        if (EvDebug(nullptr).getDebugLevel() > 2) {
            op.log(2, "Info: flags...");
            for (const std::string& flag : *flags_) op.log(2, "      flag: '%s'", flag.c_str());
            op.log(2, "Info: flags done.");
        }
    }
    if (!diskRows_) {
        auto cmd = op.command("vxdisk -g");
        cmd.word(group_, "the disk group name").literal(" -qe list");
        diskRows_ = op.mustRun(cmd).out;
    }
    std::string osName, path;
    if (parseOsNativeName(*diskRows_, dm, *flags_, &osName)) {
        formOSDevName(dm, osName.c_str(), path);
    }
    return path;
}

const std::string& GroupListing::diskRecords(const std::string& dm) {
    auto known = records_.find(dm);
    if (known != records_.end()) return known->second;
    std::string records;
    get_disk_info(group_.c_str(), dm.c_str(), records);
    return records_[dm] = records;
}

const std::vector<std::pair<std::string, std::string>>& GroupListing::volumes() {
    if (!volumes_) {
        const Operation op("LVM_vxvm::populateLV", unit::kVxvm);
        auto cmd = op.command("vxprint -g");
        cmd.word(group_, "the disk group name").literal(" -v -F%guid:%name");
        volumes_ = parseGuidNames(op.mustRun(cmd).out);
    }
    return *volumes_;
}

std::list<std::string> GroupListing::volumeDisks(const std::string& volume) {
    if (!hierarchy_) {
        const Operation op("LVM_vxvm::fillPVList", unit::kVxvm);
        auto cmd = op.command("vxprint -hqtps -g");
        cmd.word(group_, "the disk group name");
        hierarchy_ = op.mustRun(cmd).out;
    }
    return parseVolumeDisks(*hierarchy_, volume);
}

const std::string& GroupListing::description(const std::string& volume) {
    auto known = descriptions_.find(volume);
    if (known != descriptions_.end()) return known->second;
    const Operation op("LVM_vxvm::populateLV", unit::kVxvm);
    auto cmd = op.command("vxprint -g");
    cmd.word(group_, "the disk group name").literal(" -mr -v").word(volume, "the volume name");
    return descriptions_[volume] = op.mustRun(cmd).out;
}

}  // namespace vxvm
}  // namespace volbridge
