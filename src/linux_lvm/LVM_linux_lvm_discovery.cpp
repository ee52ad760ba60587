// Discovery: which group holds a device, its PVs and LVs, and its metadata as vgcfgbackup
// writes it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/FileDescriptor.h"
#include "core/Operation.h"
#include "core/TempFile.h"
#include "core/Text.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"
#include "linux_lvm/lvm2_command.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_discovery.h"
#include "linux_lvm/lvm2_listing.h"
#include "linux_lvm/lvm2_tokens.h"

namespace volbridge {
namespace lvm2 {

namespace {

// The separator of the synchronisation report: a character no column ever holds.
constexpr char kReportSeparator = '\3';

}  // namespace

namespace {

// The whole content of `path`; throws from `here` when it cannot be read.
std::string readWholeFile(const Origin& here, const std::string& path) {
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        here.fail("Reading from metadata file " + path + " failed: " + strerror(errno));
    }
    std::string text;
    char chunk[1024];
    for (;;) {
        ssize_t n = read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) here.fail("Reading from metadata file " + path + " failed: " + strerror(errno));
        if (n == 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

// The "id" of the first top-level section that has one (the group's), or "" when the text holds
// none or cannot be parsed.
std::string groupIdOf(const std::string& text) {
    try {
        LVM_linux_lvm_parser parser;
        LVM_linux_lvm_parser::NodeAutoPtr root(parser.parse(text.c_str()));
        for (Node* n = root; n; n = n->next) {
            const std::string id = idOf(n);
            if (!id.empty()) return id;
        }
    } catch (const YbException&) {
        // The caller's own parse reports what is wrong with the text.
    }
    return "";
}

}  // namespace

std::string readVGMetadata(const std::string& vg_name, const std::string& vg_uuid,
                           const std::string& options) {
    const Operation op("LVM_linux_lvm::readVGMetadata", unit::kLinuxLvm);
    const Origin& here = op.origin();
    const std::string what = "Could not read metadata for VG " + printable(vg_name) + ": ";
    TempFile file(here, hostTempDirectory(here), kGroupExportPrefix);
    mustRunLvm(op,
               op.command("vgcfgbackup")
                   .literal(options.empty() ? "" : " " + options)
                   .literal(" -f")
                   .word(file.path(), "the metadata file")
                   .word(vg_name, "the VG name"),
               what + "vgcfgbackup failed");
    std::string text = readWholeFile(here, file.path());
    if (!vg_uuid.empty()) {
        // A text without a group is the caller's parse to report.
        const std::string id = groupIdOf(text);
        if (!id.empty() && id != vg_uuid) {
            here.fail(what + "LVM2 described the group with UUID " + printable(id) + ", not " +
                      printable(vg_uuid) + " (do two groups bear that name?)");
        }
    }
    return text;
}

std::string mirrorSyncCommand() { return std::string("lvs --separator ") + kReportSeparator; }

// Every column separated by the character with code 3 (shown here as ^C); the copy percentage
// is the second-to-last column, empty for a mirror that is not active:
//   LV^CVG^CAttr^CLSize^CPool^COrigin^CData%^CMeta%^CMove^CLog^CCpy%Sync^CConvert
//   mirlv^Csmp_mirror^Cmwi-XXm---^C16.00m^C^C^C^C^C^C[mirlv_mlog]^C100.00^C
std::vector<LvsSyncRow> parseMirrorSyncReport(std::string_view view) {
    const std::string text(view);
    std::vector<LvsSyncRow> rows;
    const char* p = text.c_str();
    bool first = true;
    while (*p) {
        while (*p && isspace(static_cast<unsigned char>(*p))) ++p;
        if (!*p) break;
        std::vector<std::string> fields;
        bool more = true;
        while (more) fields.push_back(getToken(p, kReportSeparator, &more));
        const bool header = first && fields.size() >= 2 && fields[0] == "LV" && fields[1] == "VG";
        first = false;
        if (header || fields.size() < 3) continue;
        rows.push_back(LvsSyncRow{fields[0], fields[1], fields[fields.size() - 2]});
    }
    return rows;
}

}  // namespace lvm2
}  // namespace volbridge

namespace {

using volbridge::lvm2::Node;
using Parser = LVM_linux_lvm_parser;

const char kMirrorMarker[] = "ABRACADABRA";

// LVM2 marks a PV it cannot find with the flag "MISSING".
bool isMissing(Node* pv) {
    Node* flags = Parser::findDirectChild(pv, "flags");
    for (Parser::Value* v = flags ? flags->value : nullptr; v; v = v->next) {
        if (v->str && strcmp(v->str, "MISSING") == 0) return true;
    }
    return false;
}

bool isBlockDevice(const char* path, dev_t* rdev) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    *rdev = st.st_rdev;
    return true;
}

}  // namespace

void LVM_linux_lvm::populateVG(VG& vg) {
    const volbridge::Operation op("LVM_linux_lvm::populateVG", volbridge::unit::kLinuxLvm);
    vg.metadata = volbridge::lvm2::readVGMetadata(vg.name, vg.uuid);
    if (!vg.pvs.empty() && !vg.lvs.empty()) return;

    op.log(2, "Populating PV info for VG %s", vg.name.c_str());
    volbridge::lvm2::CheckedMetadata meta;
    meta.read(vg.metadata, "metadata of VG " + vg.name);
    Node* pvsNode = meta.pvs;
    Node* lvsNode = meta.lvs;

    std::map<std::string, std::string> pvIdOfSection;
    for (Node* section = pvsNode->child; section; section = section->next) {
        PV pv;
        pv.uuid = pv.orig_uuid = volbridge::lvm2::idOf(section);
        if (isMissing(section)) {
            // LVM2 does not know where it is: its "device" is only where it was last seen.
            pv.state = PV_STATE_UNKNOWN;
        } else {
            pv.device = volbridge::lvm2::stringValue(section, "device");
        }
        vg.pvs[pv.uuid] = pv;
        pvIdOfSection[section->name] = pv.uuid;
    }
    op.log(2, "Found %lu PVs", static_cast<unsigned long>(vg.pvs.size()));
    op.log(2, "Populating LV info for VG %s", vg.name.c_str());

    // An LV is held by the PVs it uses: its own stripes and those of everything it is made of
    // (mirror sides and logs, raid images, pools and their data, origins).
    const volbridge::lvm2::LvUsage usage(pvsNode, lvsNode);
    std::map<std::string, std::string> mirrorIdOfName;
    for (Node* section = lvsNode->child; section; section = section->next) {
        LV lv;
        lv.device = "/dev/" + vg.name + "/" + section->name;
        lv.uuid = lv.orig_uuid = volbridge::lvm2::idOf(section);
        const bool mirror = volbridge::lvm2::hasSegmentOfType(section, "mirror");
        if (mirror) mirrorIdOfName[section->name] = lv.uuid;
        // Hidden LVs are parts of others; a snapshot holds no data of its own.
        if (!volbridge::lvm2::isVisibleLV(section, meta.parser) ||
            volbridge::lvm2::hasSegmentOfType(section, "snapshot")) {
            continue;
        }
        std::set<std::string> ids;
        for (const std::string& name : usage.pvs(section->name)) {
            auto known = pvIdOfSection.find(name);
            if (known == pvIdOfSection.end()) continue;
            ids.insert(known->second);
            if (mirror) vg.pvs[known->second].mirror_id = kMirrorMarker;
        }
        if (ids.empty()) continue;  // no PV of its own (an error or zero LV)
        lv.pvs.assign(ids.begin(), ids.end());
        vg.lvs[lv.uuid] = lv;
    }
    op.log(2, "Found %lu LVs", static_cast<unsigned long>(vg.lvs.size()));

    if (mirrorIdOfName.empty()) return;
    const volbridge::CommandLine cmd = op.command(volbridge::lvm2::mirrorSyncCommand());
    volbridge::CommandResult report = op.run(cmd);
    // Without the report the mirrors keep their states.
    if (!op.succeeded(report)) {
        op.error("%s failed: %s", cmd.text().c_str(), report.err.c_str());
        return;
    }
    // The report covers every group; only this group's rows count.
    for (const volbridge::lvm2::LvsSyncRow& row :
         volbridge::lvm2::parseMirrorSyncReport(report.out)) {
        if (row.vg != vg.name) continue;
        auto mirrorLV = mirrorIdOfName.find(row.lv);
        if (mirrorLV == mirrorIdOfName.end()) continue;
        if (atoi(row.copyPercent.c_str()) == 100) continue;
        auto stored = vg.lvs.find(mirrorLV->second);
        if (stored != vg.lvs.end()) stored->second.state = 4;
    }
}

LVM::VG LVM_linux_lvm::getVGByLVDevice(const char* dev) {
    const std::string path = dev ? dev : "";
    const volbridge::Origin here{"LVM_linux_lvm::getVGByLVDevice", volbridge::unit::kLinuxLvm};
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        here.fail("Failed to stat " + path + ": " + strerror(errno), 805);
    if (vgList_.empty()) vgList_ = getVGs(true);
    // Device numbers identify a block device only: a regular file or a character device would
    // otherwise match any LV node with the same (for files: zero) numbers.
    if (!S_ISBLK(st.st_mode)) return VG();
    auto sameDevice = [&st](const std::string& device) {
        dev_t rdev;
        return isBlockDevice(device.c_str(), &rdev) && rdev == st.st_rdev;
    };
    auto populated = [](VG& vg) {
        if (vg.pvs.empty()) {
            // Completed on a copy, so that a failure leaves the cached entry as it was.
            VG copy = vg;
            populateVG(copy);
            vg = copy;
        }
        return vg;
    };
    for (VG& vg : vgList_) {
        for (const auto& entry : vg.lvs) {
            if (sameDevice(entry.second.device)) return populated(vg);
        }
    }

    // Not an LV of a cached group: the LV of a group made since the list was filled, or a
    // snapshot, which the list leaves out. LVM2's listing of now says (a failed listing finds
    // nothing).
    const volbridge::CommandResult now =
        volbridge::run(volbridge::CommandLine(here, volbridge::lvm2::lvsListingCommand(true)));
    for (const volbridge::lvm2::LvsRow& row : volbridge::lvm2::parseLvsRows(now.out)) {
        if (!sameDevice("/dev/" + row.vg + "/" + row.lv)) continue;
        vgList_ = volbridge::lvm2::parseLvsListing(now.out, true);
        for (VG& vg : vgList_) {
            if (vg.uuid == row.vgUuid) return populated(vg);
        }
    }
    return VG();
}

LVM::VG LVM_linux_lvm::getVGByUUID(const char* uuid) {
    const std::string wanted = uuid ? uuid : "";
    const volbridge::Operation op("LVM_linux_lvm::getVGByUUID", volbridge::unit::kLinuxLvm);
    // Every group, also one without LVs.
    volbridge::lvm2::GroupListing listing = volbridge::lvm2::listGroups(op.origin());
    if (!listing.ok) {
        op.error("Failed to query Linux LVM info: %s", listing.problem.c_str());
        return VG();
    }
    for (VG& vg : listing.groups) {
        if (vg.uuid.empty() || vg.uuid != wanted) continue;
        populateVG(vg);
        return vg;
    }
    return VG();
}
