// The LVM2 group listing (lvs) and device listing (pvdisplay -c).
#include <string>
#include <vector>

#include "core/Command.h"
#include "host/FXString.h"
#include "host/LogWriter.h"
#include "linux_lvm/lvm2_listing.h"
#include "linux_lvm/lvm2_tokens.h"

namespace volbridge {
namespace lvm2 {

const char* lvsListingCommand(bool with_lvs) {
    return with_lvs ? "lvs -o vg_name,vg_uuid,lv_name,lv_uuid,lv_attr" : "lvs -o vg_name,vg_uuid";
}

// Reads the output of lvsListingCommand(true) by token position:
//   VG          VG UUID                                LV        LV UUID       Attr
//   smp_linear  J08Rg3-CEQV-agPX-nhmR-mwzF-FdIt-tJJnRV lv1       FxtuEJ-...    -wi-XX----
//   smp_snap    NJzdA1-MpHr-q6uv-lXIO-r21l-EvjD-4onjcM snap      xWL4cr-...    swi-XXs---
// Lines before the header are skipped up to the first word "VG". Rows of one group are adjacent.
// Without LVs there are two columns and every row gives one entry.
std::list<LVM::VG> parseLvsListing(std::string_view view, bool with_lvs) {
    const std::string text(view);
    std::list<LVM::VG> vgs;
    const char* p = text.c_str();

    // Skip everything up to the header word "VG", then the rest of the header line.
    for (;;) {
        std::string token = getToken(p);
        if (token.empty() || token == "VG") break;
    }
    while (*p && *p != '\n') ++p;

    auto startVG = [](const char*& q) {
        LVM::VG vg;
        vg.vendor = LVM_linux_lvm::vendor;
        vg.orig_name = vg.name = getToken(q);
        vg.orig_uuid = vg.uuid = getToken(q);
        return vg;
    };

    if (!with_lvs) {
        for (;;) {
            LVM::VG vg = startVG(p);
            if (vg.uuid.empty()) break;
            vgs.push_back(vg);
        }
        return vgs;
    }

    bool exhausted = false;
    while (!exhausted) {
        const char* rowStart = p;
        LVM::VG vg = startVG(p);
        p = rowStart;
        if (vg.uuid.empty()) break;
        for (;;) {
            const char* mark = p;
            std::string vgName = getToken(p);
            std::string vgUuid = getToken(p);
            if (vgUuid.empty()) {
                exhausted = true;
                break;
            }
            if (vgUuid != vg.uuid) {
                p = mark;
                break;
            }
            std::string lvName = getToken(p);
            std::string lvUuid = getToken(p);
            std::string attr = getToken(p);
            LVM::LV lv;
            lv.device = "/dev/" + vgName + "/" + lvName;
            lv.orig_uuid = lv.uuid = lvUuid;
            // Snapshots and snapshot origins carry an "s" in their attributes; they are left out.
            if (!lvUuid.empty() && attr.find('s') == std::string::npos) vg.lvs[lvUuid] = lv;
        }
        vgs.push_back(vg);
    }
    return vgs;
}

// One line per PV, fields separated by ":", the device first and its group second:
//   /dev/loop9:smp_mixed:262144:-1:8:8:-1:4096:31:17:14:mF5Nbd-aisf-B0ur-j11g-MBML-SGdh-Yz3Tqa
//   /dev/loop0::131072:-1:0:0:-1:0:0:0:0:xTsTpk-AIcq-oKwW-pIlV-PMzY-dT2L-YbEm03
// Lines without a colon are messages. So are lines whose first field is not a path (a message
// such as "WARNING: ..." holds a colon too); they give no row.
LVM::DeviceInfoList parsePvdisplayColon(std::string_view view) {
    LVM::DeviceInfoList rows;
    std::vector<std::string> lines;
    FXString::Split(std::string(view), "\n", lines, FXString::KEEP_EMPTY);
    for (std::string& line : lines) {
        FXString::TrimWhiteSpace(line);
        if (line.empty()) continue;
        std::vector<std::string> fields;
        FXString::Split(line, ":", fields, FXString::KEEP_EMPTY);
        if (fields.size() < 2 || !FXString::MatchLeft(fields[0], "/")) continue;
        LVM::DeviceVGInfo row;
        row.device = fields[0];
        row.vg_name = fields[1];
        row.vendor = LVM_linux_lvm::vendor;
        rows.push_back(row);
    }
    return rows;
}

}  // namespace lvm2
}  // namespace volbridge

std::list<LVM::VG> LVM_linux_lvm::getVGs(bool with_lvs) {
    const volbridge::Origin here{"LVM_linux_lvm::getVGs", volbridge::unit::kLinuxLvm};
    volbridge::CommandResult r =
        volbridge::run(volbridge::CommandLine(here, volbridge::lvm2::lvsListingCommand(with_lvs)));
    if (r.status != 0 && r.out.empty()) {
        EvDebug dbg(nullptr);
        dbg.Error(here.func, "Failed to query Linux LVM info: rc=%d, error=%s", r.status,
                  r.err.c_str());
        return {};
    }
    return volbridge::lvm2::parseLvsListing(r.out, with_lvs);
}

CWmError LVM_linux_lvm::getPVList(LVM::DeviceInfoList& list) {
    static const char* const kFunc =
        "virtual CWmError LVM_linux_lvm::getPVList(LVM::DeviceInfoList&)";
    const volbridge::Origin here{kFunc, volbridge::unit::kLinuxLvm};
    volbridge::CommandResult r = volbridge::run(volbridge::CommandLine(here, "pvdisplay -c"));
    if (!r.succeeded()) {
        g_ptrLogWriter->log(-1, kFunc, __LINE__, 0, 0, "CMD:pvdisplay -c\nOUT:\n%s\nError:\n%s",
                            r.out.c_str(), r.err.c_str());
        return FXErrorUtil::ErrorErrNo(FXCodeLocation("LVM_linux_lvm", kFunc, 2294), 22,
                                       "pvdisplay failed");
    }
    LVM::DeviceInfoList rows = volbridge::lvm2::parsePvdisplayColon(r.out);
    list.splice(list.end(), rows);
    return CWmError::Success();
}
