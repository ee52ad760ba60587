// The LVM2 group listing (lvs) and device listing (pvdisplay -c).
#include <string>
#include <vector>

#include "core/Command.h"
#include "core/Operation.h"
#include "core/Text.h"
#include "host/FXString.h"
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
//   smp_snap    NJzdA1-MpHr-q6uv-lXIO-r21l-EvjD-4onjcM origin    Mw2Ucq-...    owi-XXs---
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
            // A snapshot's attributes begin with "s" ("S" while it merges); snapshots are left
            // out. Their origins ("o") are ordinary LVs with data and stay.
            const bool snapshot = !attr.empty() && (attr[0] == 's' || attr[0] == 'S');
            if (!lvUuid.empty() && !snapshot) vg.lvs[lvUuid] = lv;
        }
        vgs.push_back(vg);
    }
    return vgs;
}

// The same output, row by row, snapshots included; the lines up to the header (the first with
// the word "VG") and lines without five words are no rows:
//   VG          VG UUID                                LV        LV UUID       Attr
//   smp_snap    NJzdA1-MpHr-q6uv-lXIO-r21l-EvjD-4onjcM snap      xWL4cr-...    swi-XXs---
std::vector<LvsRow> parseLvsRows(std::string_view text) {
    std::vector<LvsRow> rows;
    bool header = false;
    for (const std::string& line : splitLines(text)) {
        std::vector<std::string> words = splitWords(line);
        if (!header) {
            for (const std::string& word : words) header = header || word == "VG";
            continue;
        }
        if (words.size() != 5) continue;
        rows.push_back(LvsRow{words[0], words[1], words[2], words[3], words[4]});
    }
    return rows;
}

// LVM2 names on standard error each clustered group it skips:
//   Skipping clustered VG smp_clustered.
//   See lvmlockd(8) for changing a clvm/clustered VG to a shared VG.
std::set<std::string> parseSkippedGroups(std::string_view err) {
    std::set<std::string> names;
    const std::string_view lead = "Skipping clustered VG ";
    for (const std::string& line : splitLines(err)) {
        std::string text = trimBlanks(line);
        if (!startsWith(text, lead)) continue;
        text.erase(0, lead.size());
        if (!text.empty() && text.back() == '.') text.pop_back();
        if (!text.empty()) names.insert(text);
    }
    return names;
}

GroupListing listGroups(const Origin& at) {
    GroupListing listing;
    CommandResult r = run(CommandLine(at, kGroupListingCommand));
    if (!r.succeeded()) {
        listing.problem = "\"" + std::string(kGroupListingCommand) + "\" exited with " +
                          std::to_string(r.status) + ": " + r.err;
        return listing;
    }
    listing.ok = true;
    // The rows of vgs have the two columns of "lvs -o vg_name,vg_uuid", one row per group.
    listing.groups = parseLvsListing(r.out, false);
    listing.skipped = parseSkippedGroups(r.err);
    return listing;
}

// One line per device, the five columns of kPvsReportOptions separated by "|", the last one
// "duplicate" for a device set aside; lines of another form (messages) are no rows:
//   /dev/loop0|YNDByI-OYHw-brJd-NW9k-q6DU-MmAA-NJJLos|smp_src|2pmn5h-TKa3-N0oV-31Xr-VuIj-bbZd-cgrjL5|
//   /dev/loop2|YNDByI-OYHw-brJd-NW9k-q6DU-MmAA-NJJLos|smp_src|2pmn5h-TKa3-N0oV-31Xr-VuIj-bbZd-cgrjL5|duplicate
//   /dev/loop4|Q2rFxk-Wq1d-0fRb-Ti9X-wbUz-pLdT-xYn5ab|||
std::vector<PvsRow> parsePvsRows(std::string_view text) {
    std::vector<PvsRow> rows;
    for (const std::string& line : splitLines(text)) {
        std::vector<std::string> fields = splitFields(trimBlanks(line), '|');
        if (fields.size() != 5 || !startsWith(fields[0], "/")) continue;
        rows.push_back(
            PvsRow{fields[0], fields[1], fields[2], fields[3], fields[4] == "duplicate"});
    }
    return rows;
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
    const volbridge::Operation op("LVM_linux_lvm::getVGs", volbridge::unit::kLinuxLvm);
    volbridge::CommandResult r = op.run(op.command(volbridge::lvm2::lvsListingCommand(with_lvs)));
    // A failed listing that printed rows is read as it stands.
    if (r.status != 0 && r.out.empty()) {
        op.error("Failed to query Linux LVM info: rc=%d, error=%s", r.status, r.err.c_str());
        return {};
    }
    return volbridge::lvm2::parseLvsListing(r.out, with_lvs);
}

CWmError LVM_linux_lvm::getPVList(LVM::DeviceInfoList& list) {
    static const char* const kFunc =
        "virtual CWmError LVM_linux_lvm::getPVList(LVM::DeviceInfoList&)";
    const volbridge::Operation op(kFunc, volbridge::unit::kLinuxLvm);
    volbridge::CommandResult r = op.run(op.command("pvdisplay -c"));
    if (!op.succeeded(r)) {
        op.error("CMD:pvdisplay -c\nOUT:\n%s\nError:\n%s", r.out.c_str(), r.err.c_str());
        return FXErrorUtil::ErrorErrNo(FXCodeLocation("LVM_linux_lvm", kFunc, 2294), 22,
                                       "pvdisplay failed");
    }
    LVM::DeviceInfoList rows = volbridge::lvm2::parsePvdisplayColon(r.out);
    list.splice(list.end(), rows);
    return CWmError::Success();
}
