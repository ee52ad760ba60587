// How LVM2 on this host sees the devices given to a clone import.
#include <sys/stat.h>

#include "core/Text.h"
#include "linux_lvm/lvm2_clone_set.h"
#include "linux_lvm/lvm2_command.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_discovery.h"

namespace volbridge {
namespace lvm2 {

namespace {

// The options that switch the devices file off for one command, alone and with the filters
// that the host's configuration sets opened wide, one after the other.
const char kWithoutDevicesFile[] = "--config 'devices/use_devicesfile=0'";
const char kFilterOpen[] = "--config 'devices/use_devicesfile=0 devices/filter=[\"a|.*|\"]'";
const char kBothFiltersOpen[] =
    "--config 'devices/use_devicesfile=0 devices/filter=[\"a|.*|\"] "
    "devices/global_filter=[\"a|.*|\"]'";

// "pvs <config> <report options> <devices>"; rows of the devices LVM2 reports, and what it said.
// A device it does not see, or that is no PV, makes it exit with 5 and is left out.
CommandResult pvsReport(const Operation& op, const char* config,
                        const std::vector<std::string>& devices, std::vector<PvsRow>* rows) {
    CommandLine cmd = op.command("pvs ");
    cmd.literal(std::string(config) + " " + kPvsReportOptions);
    for (const std::string& device : devices) cmd.word(device, "the PV device path");
    CommandResult r = op.run(cmd);
    *rows = parsePvsRows(r.out);
    return r;
}

// Whether a row is the device `path`: the same device under any of its names.
bool isRowOf(const PvsRow& row, const std::string& path) {
    struct stat a, b;
    return stat(row.device.c_str(), &a) == 0 && stat(path.c_str(), &b) == 0 && sameDevice(a, b);
}

bool reports(const std::vector<PvsRow>& rows, const std::string& device) {
    for (const PvsRow& row : rows) {
        if (isRowOf(row, device)) return true;
    }
    return false;
}

// The line of LVM2's standard error that names the device ("Cannot use /dev/loop3: device is
// rejected by filter config"); else what it said went wrong.
std::string whatLvm2Said(const std::string& err, const std::string& device) {
    for (const std::string& line : splitLines(err)) {
        if (contains(line, device + ":")) return trimBlanks(line);
    }
    return lvmFailureCause(err);
}

}  // namespace

std::vector<DeviceView> viewDevices(const Operation& op, const std::vector<PassedPV>& passed) {
    std::vector<std::string> devices;
    for (const PassedPV& pv : passed) devices.push_back(pv.device);
    std::vector<PvsRow> rows;
    pvsReport(op, kWithoutDevicesFile, devices, &rows);
    std::vector<DeviceView> view;
    for (const std::string& device : devices) {
        DeviceView seen{device, false, {}};
        for (const PvsRow& row : rows) {
            if (!isRowOf(row, device)) continue;
            seen.seen = true;
            seen.row = row;
        }
        view.push_back(seen);
    }
    return view;
}

void requireSeen(const Operation& op, const std::vector<DeviceView>& view) {
    for (const DeviceView& device : view) {
        if (device.seen) continue;
        // Which setting hides it: the filter, else the global filter, else something else that
        // LVM2 names.
        std::vector<PvsRow> rows;
        CommandResult r = pvsReport(op, kFilterOpen, {device.device}, &rows);
        std::string why = "its setting devices/filter rejects it";
        if (!reports(rows, device.device)) {
            const std::string said = whatLvm2Said(r.err, device.device);
            pvsReport(op, kBothFiltersOpen, {device.device}, &rows);
            why = reports(rows, device.device) ? "its setting devices/global_filter rejects it"
                                               : "LVM2 says: " + said;
        }
        op.fail("Can't use PV device " + device.device + ": LVM2 on this host does not see it; " +
                why);
    }
}

ExistingGroup classifyDevices(const Operation& op, const std::vector<DeviceView>& view,
                              const std::string& vg_uuid) {
    const DeviceView* member = nullptr;   // the first device that is a PV of a group
    const DeviceView* outside = nullptr;  // the first device that is not
    for (const DeviceView& device : view) {
        const PvsRow& row = device.row;
        if (row.duplicate || row.vgName.empty()) {
            outside = outside ? outside : &device;
            continue;
        }
        if (row.vgUuid == vg_uuid) {
            op.fail("PV device " + device.device + " is PV " + printable(row.pvUuid) + " of VG [" +
                    printable(row.vgName) +
                    "] on this host, not a copy of it: refusing to re-initialize it");
        }
        if (member && row.vgUuid != member->row.vgUuid) {
            op.fail("PV device " + device.device + " is a PV of VG [" + printable(row.vgName) +
                    "] on this host, and " + member->device + " of VG [" +
                    printable(member->row.vgName) + "]: refusing to re-initialize them");
        }
        member = member ? member : &device;
    }
    if (!member) return ExistingGroup{};
    if (outside) {
        op.fail("PV device " + member->device + " is a PV of VG [" + printable(member->row.vgName) +
                "] on this host, and " + outside->device + " is not: refusing to re-initialize " +
                member->device);
    }
    return ExistingGroup{member->row.vgName, member->row.vgUuid};
}

void readExistingGroup(const Operation& op, const ExistingGroup& group,
                       const std::string& filter_option, CheckedMetadata* d) {
    d->read(readVGMetadata(group.name, group.uuid, filter_option), "metadata of VG " + group.name);
    op.log(0, "VG [%s] already holds the given devices", group.name.c_str());
}

}  // namespace lvm2
}  // namespace volbridge
