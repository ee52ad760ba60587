// volbridge: the library's operations from the command line, for the people who integrate and
// operate it. Everything goes through the public interface (class LVM and the backend classes)
// and the host services, as an agent loading the library would call them.
//
// Exit status: 0 success, 1 the operation failed, 2 usage error (nothing was run), 128 + N when
// signal N arrived while an operation changed disks (which was let run to its end first).
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <list>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "HostOptions.h"
#include "LVM/LVM.h"
#include "ManPage.h"
#include "PlanReport.h"
#include "ToolBackends.h"
#include "ToolSupport.h"
#include "host/YbException.h"

namespace {

using vbtool::UsageError;

const int kFailed = 1;
const int kUsage = 2;

// An operation that reported failure through its result (false, an empty record, an error
// status) rather than by an exception.
class OperationFailed : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What the subcommands read from the command line.
struct Inputs {
    vbtool::HostOptions host;
    std::string vendor;  // empty when --vendor was not given
    std::string device;
    std::string uuid;
    std::string metadataFile;
    std::string mapFile;
    std::string metadataOut;
    std::string mapOut;
    std::string vgName;
    std::vector<std::string> devices;
    bool json = false;
    // File-system control.
    std::string fs;
    std::string nodeFile;
    RevertPhase phase = RP_REVERT;
    bool readOnly = false;
    bool force = false;
    // Show the plan of the operation instead of carrying it out.
    bool check = false;
};

// The signal that arrived while DeferredSignals held it; 0 when none did.
volatile sig_atomic_t g_deferredSignal = 0;

extern "C" void deferSignal(int signal) {
    if (g_deferredSignal == 0) g_deferredSignal = signal;
}

// Holds SIGINT, SIGTERM and SIGHUP back for its lifetime, while an operation changes disks: a
// clone import or a revert stopped between re-initialising its PVs and restoring the group would
// leave PVs whose new identifiers nobody has written down, and its temporary files behind. The
// operation runs to its end; then the tool writes the map as usual and exits with 128 + the
// signal. The commands the library starts are not protected from a signal sent to them.
class DeferredSignals {
  public:
    DeferredSignals() {
        struct sigaction action {};
        action.sa_handler = deferSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &action, &previous_[i]);
    }
    ~DeferredSignals() {
        for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
    }
    DeferredSignals(const DeferredSignals&) = delete;
    DeferredSignals& operator=(const DeferredSignals&) = delete;

    int received() const { return g_deferredSignal; }

  private:
    static constexpr size_t kCount = 3;
    static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction previous_[kCount];
};

// Why `name` is not one that recreate gives with the backend `vendor`: empty when it is. LVM2
// clones are named "<name>_copy_<NNN>", VxVM clones "yb_<name>_<seconds>"; a GPFS clone keeps the
// file system's own name, so no GPFS name tells a clone apart from its source.
std::string notACloneName(const std::string& vendor, const std::string& name) {
    static const std::regex lvm2(".+_copy_[0-9]{3,}");
    static const std::regex vxvm("yb_.+_[0-9]+");
    if (vendor == LVM_linux_lvm::vendor) {
        if (std::regex_match(name, lvm2)) return "";
        return "its name is not of the form <name>_copy_<NNN> that recreate gives";
    }
    if (vendor == LVM_vxvm::vendor) {
        if (std::regex_match(name, vxvm)) return "";
        return "its name is not of the form yb_<name>_<seconds> that recreate gives";
    }
    return "a GPFS clone keeps the file system's name, so nothing tells it from its source";
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
    return text;
}

void showGroup(const LVM::VG& vg, bool json) {
    if (json) {
        std::cout << vbtool::jsonText(vbtool::groupToJson(vg));
    } else {
        vbtool::printGroup(std::cout, vg);
    }
}

// ---- the subcommands ----

// The backend discover works with, and how it came to it.
struct ChosenBackend {
    std::unique_ptr<LVM> backend;
    std::string vendor;
    // "device" (the library chose it for DEVICE), "--vendor", or "default" (--uuid alone).
    std::string chosenBy;
};

// --vendor when given; else, for a DEVICE, the backend the library chooses for it; else LinuxLVM.
ChosenBackend chooseBackend(const Inputs& in) {
    if (!in.vendor.empty()) return {vbtool::makeBackend(in.vendor), in.vendor, "--vendor"};
    if (!in.uuid.empty()) {
        return {vbtool::makeBackend(LVM_linux_lvm::vendor), LVM_linux_lvm::vendor, "default"};
    }
    std::unique_ptr<LVM> backend(LVM::getByLVDevice(in.device.c_str()));
    if (!backend) {
        throw OperationFailed("no backend manages " + in.device +
                              ": it is not under /dev/vx/, not a GPFS file system and not the "
                              "node of an LVM2 LV");
    }
    const std::string vendor = vbtool::vendorOf(*backend);
    return {std::move(backend), vendor, "device"};
}

// The group with the backend that found it: in JSON as "backend" and "chosen_by", in the table
// as a first line.
void showDiscovered(const LVM::VG& vg, const ChosenBackend& chosen, bool json) {
    if (json) {
        nlohmann::json group = vbtool::groupToJson(vg);
        group["backend"] = chosen.vendor;
        group["chosen_by"] = chosen.chosenBy;
        std::cout << vbtool::jsonText(group);
        return;
    }
    std::cout << "Backend: " << chosen.vendor;
    if (chosen.chosenBy == "device") std::cout << ", chosen by the library for the device";
    if (chosen.chosenBy == "default") std::cout << ", the default for --uuid";
    std::cout << "\n\n";
    vbtool::printGroup(std::cout, vg);
}

int discover(const Inputs& in) {
    if (in.device.empty() == in.uuid.empty()) {
        throw UsageError("give the DEVICE of one of the group's LVs, or --uuid ID");
    }
    const ChosenBackend chosen = chooseBackend(in);
    LVM::VG vg = in.uuid.empty() ? chosen.backend->getVGByLVDevice(in.device.c_str())
                                 : chosen.backend->getVGByUUID(in.uuid.c_str());
    if (vg.name.empty()) {
        throw OperationFailed("no " + chosen.vendor + " group " +
                              (in.uuid.empty() ? "holds " + in.device : "has uuid " + in.uuid));
    }
    if (!in.metadataOut.empty()) vbtool::writeTextFile(in.metadataOut, vg.metadata);
    if (!in.mapOut.empty()) vbtool::writeIdMap(in.mapOut, vbtool::identityMap(vg));
    showDiscovered(vg, chosen, in.json);
    return 0;
}

void showDevices(const LVM::DeviceInfoList& list, bool json) {
    if (json) {
        std::cout << vbtool::jsonText(vbtool::devicesToJson(list));
    } else {
        vbtool::printDevices(std::cout, list);
    }
}

// The listing of every backend. When one fails, the rows of the backends listed before it are
// shown, and then the failure.
int allDevices(const Inputs& in) {
    LVM::DeviceInfoList list;
    const CWmError status = LVM::getAllPVList(list);
    showDevices(list, in.json);
    if (status.IsError()) throw OperationFailed("the device listing failed: " + status.ToString());
    return 0;
}

int devices(const Inputs& in) {
    if (in.vendor.empty()) return allDevices(in);
    std::unique_ptr<LVM> backend = vbtool::makeBackend(in.vendor);
    LVM::DeviceInfoList list;
    CWmError status = backend->getPVList(list);
    if (status.IsError()) throw OperationFailed("the device listing failed: " + status.ToString());
    showDevices(list, in.json);
    return 0;
}

// recreate and revert: both read the map and update it, also when they fail half-way, so the
// map goes back to its file on every path.
int importGroup(const Inputs& in, bool revert) {
    std::unique_ptr<LVM> backend = vbtool::makeBackend(in.vendor);
    const std::string metadata = vbtool::readTextFile(in.metadataFile, "the metadata file");
    std::map<std::string, std::string> map = vbtool::readIdMap(in.mapFile);
    const std::list<std::string> devices(in.devices.begin(), in.devices.end());
    // Empty, or why the map could not be written back.
    auto saveMap = [&]() -> std::string {
        try {
            vbtool::writeIdMap(in.mapFile, map);
            return "";
        } catch (const std::exception& e) {
            return e.what();
        }
    };
    LVM::VG vg;
    try {
        vg = revert ? backend->revertLVs(devices, metadata.c_str(), map)
                    : backend->recreateVG(devices, metadata.c_str(), map);
    } catch (...) {
        const std::string problem = saveMap();
        if (!problem.empty()) std::cerr << "volbridge: " << problem << "\n";
        throw;
    }
    const std::string problem = saveMap();
    showGroup(vg, in.json);
    if (!problem.empty()) throw std::runtime_error(problem + " (the group's new ids are shown)");
    if (!in.json) std::cout << "\nThe identifier map " << in.mapFile << " holds the new PV ids.\n";
    return 0;
}

int revertStep(const Inputs& in, const std::string& step) {
    std::unique_ptr<LVM> backend = vbtool::makeBackend(in.vendor);
    const std::string metadata = vbtool::readTextFile(in.metadataFile, "the metadata file");
    const std::list<std::string> devices(in.devices.begin(), in.devices.end());
    // The backend reads the live group's current description by its name.
    LVM::VG vg;
    vg.name = vg.orig_name = in.vgName;
    vg.vendor = in.vendor;
    if (step == "can-revert") {
        if (!backend->canRevert(vg, metadata.c_str(), devices)) {
            throw OperationFailed("group " + in.vgName + " cannot be reverted from " +
                                  joined(in.devices) + " (the library's log says why)");
        }
        std::cout << "Group " << in.vgName << " can be reverted from " << joined(in.devices)
                  << ".\n";
    } else if (step == "prepare-revert") {
        if (!backend->prepRevertLV(vg, metadata.c_str(), devices)) {
            throw OperationFailed("preparing group " + in.vgName +
                                  " for the revert failed (the library's log says why)");
        }
        std::cout << "The LVs of group " << in.vgName << " on " << joined(in.devices)
                  << " are out of service; roll the disks back, then run revert or "
                     "cancel-revert.\n";
    } else {
        if (!backend->cancelRevertLV(metadata.c_str(), devices)) {
            throw OperationFailed("cancelling the revert failed (the library's log says why)");
        }
        std::cout << "The revert is cancelled; the LVs on " << joined(in.devices)
                  << " are back in service.\n";
    }
    return 0;
}

// The library removes any group it is given; the tool is for groups recreate made.
void requireCloneName(const Inputs& in) {
    const std::string why = notACloneName(in.vendor, in.vgName);
    if (!in.force && !why.empty()) {
        throw UsageError("refusing to destroy group " + in.vgName + ": " + why +
                         "; add --force to destroy it anyway");
    }
}

int destroy(const Inputs& in) {
    requireCloneName(in);
    std::unique_ptr<LVM> backend = vbtool::makeBackend(in.vendor);
    backend->destroyVG(in.vgName.c_str());
    // A group that does not exist is not a failure of destroyVG: the backend only logs it.
    std::cout << "destroy finished for group " << in.vgName << ".\n";
    return 0;
}

// mount, unmount, suspend and resume of a GPFS file system, through the interface.
int fileSystemControl(const Inputs& in, const std::string& step) {
    std::unique_ptr<LVM> backend = vbtool::makeBackend(LVM_gpfs::vendor);
    const std::string fs = "file system " + in.fs;
    if (step == "mount") {
        if (!backend->mountFS(in.fs, in.nodeFile, in.phase, in.readOnly)) {
            throw OperationFailed("mounting " + fs + " failed (the library's log says why)");
        }
        std::cout << "The " << fs << " is mounted.\n";
    } else if (step == "unmount") {
        if (!backend->unmountFS(in.fs, in.force)) {
            throw OperationFailed("unmounting " + fs + " failed (the library's log says why)");
        }
        std::cout << "The " << fs << " is unmounted on all nodes.\n";
    } else if (step == "suspend") {
        if (!backend->suspendFS(in.fs)) {
            throw OperationFailed("suspending " + fs + " failed (the library's log says why)");
        }
        std::cout << "The " << fs << " is suspended; 'volbridge resume " << in.fs
                  << "' resumes it.\n";
    } else {
        if (!backend->resumeFS(in.fs)) {
            throw OperationFailed("resuming " + fs + " failed (the library's log says why)");
        }
        std::cout << "The " << fs << " is resumed.\n";
    }
    return 0;
}

// The subcommands whose operation changes disks.
bool changesDisks(const std::string& subcommand) {
    for (const char* name : {"recreate", "revert", "prepare-revert", "cancel-revert", "destroy",
                             "mount", "unmount", "suspend", "resume"}) {
        if (subcommand == name) return true;
    }
    return false;
}

// Runs the check phase of the subcommand's operation: with the host asking for plans only, the
// backend reads the host, takes the import lock and hands its plan to `report` instead of acting.
// Nothing is written: not the map, not the operation's own records.
void checkOperation(const std::string& name, const Inputs& in) {
    if (name == "mount" || name == "unmount") {
        std::unique_ptr<LVM> backend = vbtool::makeBackend(LVM_gpfs::vendor);
        if (name == "mount") {
            backend->mountFS(in.fs, in.nodeFile, in.phase, in.readOnly);
        } else {
            backend->unmountFS(in.fs, in.force);
        }
        return;
    }
    if (name == "destroy") requireCloneName(in);
    std::unique_ptr<LVM> backend = vbtool::makeBackend(in.vendor);
    const std::list<std::string> devices(in.devices.begin(), in.devices.end());
    std::string metadata;
    if (!in.metadataFile.empty()) {
        metadata = vbtool::readTextFile(in.metadataFile, "the metadata file");
    }
    if (name == "recreate" || name == "revert") {
        std::map<std::string, std::string> map = vbtool::readIdMap(in.mapFile);
        if (name == "revert") {
            backend->revertLVs(devices, metadata.c_str(), map);
        } else {
            backend->recreateVG(devices, metadata.c_str(), map);
        }
    } else if (name == "prepare-revert") {
        LVM::VG vg;
        vg.name = vg.orig_name = in.vgName;
        vg.vendor = in.vendor;
        backend->prepRevertLV(vg, metadata.c_str(), devices);
    } else if (name == "cancel-revert") {
        backend->cancelRevertLV(metadata.c_str(), devices);
    } else {
        backend->destroyVG(in.vgName.c_str());
    }
}

// --check: the plan, and exit status 0 when the real run would go ahead; the refusal and 1 when
// it would not.
int showPlan(const std::string& name, const Inputs& in, const std::string& where) {
    vbtool::PlanReport report;
    std::string refusal;
    {
        vbhost::ScopedCheckOnly only(report);
        try {
            checkOperation(name, in);
        } catch (const YbException& e) {
            refusal = e.getFuncName() + " would refuse: " + e.getMessage();
            if (e.getErrno() != -1) refusal += " (error " + std::to_string(e.getErrno()) + ")";
        }
    }
    if (report.goesAhead()) {
        if (in.json) {
            std::cout << vbtool::jsonText(report.toJson(""));
        } else {
            report.print(std::cout);
        }
        return 0;
    }
    if (refusal.empty()) {
        refusal = report.refusal().empty()
                      ? "the operation would refuse (the library's log says why)"
                      : "it would refuse: " + report.refusal();
    }
    if (in.json) std::cout << vbtool::jsonText(report.toJson(refusal));
    std::cerr << where << ": " << refusal << "\n";
    return kFailed;
}

// Runs the subcommand `name`; its exit status, with any failure on standard error.
int perform(const std::string& name, const Inputs& in, const std::string& where) {
    try {
        if (in.check) {
            vbtool::HostSetup host(in.host, false);
            return showPlan(name, in, where);
        }
        // A subcommand that changes disks shows its progress on a terminal, unless it prints
        // JSON (for a program, not a person).
        vbtool::HostSetup host(in.host, changesDisks(name) && !in.json);
        if (name == "discover") return discover(in);
        if (name == "devices") return devices(in);
        if (name == "recreate") return importGroup(in, false);
        if (name == "revert") return importGroup(in, true);
        if (name == "destroy") return destroy(in);
        if (name == "mount" || name == "unmount" || name == "suspend" || name == "resume") {
            return fileSystemControl(in, name);
        }
        return revertStep(in, name);
    } catch (const UsageError& e) {
        std::cerr << where << ": " << e.what() << "\n";
        return kUsage;
    } catch (const YbException& e) {
        std::cerr << where << ": " << e.getFuncName() << " failed: " << e.getMessage();
        if (e.getErrno() != -1) std::cerr << " (error " << e.getErrno() << ")";
        std::cerr << "\n";
        return kFailed;
    } catch (const std::exception& e) {
        std::cerr << where << ": " << e.what() << "\n";
        return kFailed;
    }
}

// ---- the command line ----

// CLI11's check for an existing file, without adding its name to the option's help line.
CLI::Validator existingFile() { return CLI::Validator(CLI::ExistingFile).description(""); }

void addHostOptions(CLI::App* app, Inputs* in) {
    const char* group = "Common options";
    app->add_option_function<int>(
           "--log-level", [in](const int& level) { in->host.logLevel = level; },
           "level of the library's log: -1 errors only (the default on standard error), 0 (the "
           "default in a log file), 2 to 4 more detail (3 logs every command the library runs)")
        ->type_name("N")
        ->check(CLI::Validator(
            [](std::string& text) {
                // Text that is not a number is left to the conversion, which names it.
                char* end = nullptr;
                const long long level = strtoll(text.c_str(), &end, 10);
                return *end == '\0' && level < -1 ? "the log level is -1 or more, not " + text
                                                  : std::string();
            },
            ""))
        ->group(group);
    app->add_option("--log-file", in->host.logFile,
                    "append the library's log to FILE instead of standard error")
        ->type_name("FILE")
        ->group(group);
    app->add_option("--config", in->host.configFile,
                    "read the configuration from this INI file instead of $VOLBRIDGE_CONFIG or "
                    "/etc/volbridge/volbridge.conf")
        ->type_name("FILE")
        ->check(existingFile())
        ->group(group);
    app->add_flag("--trace", in->host.trace,
                  "show every command the library runs, with its exit status and duration, on "
                  "standard error")
        ->group(group);
    app->add_flag("--quiet", in->host.quiet,
                  "show no progress: without it, while an operation changes disks and standard "
                  "error is a terminal, one line there shows the step it is at")
        ->group(group);
}

// "the backend: VxVM LinuxLVM GPFS (<whenMissing>)"
std::string vendorHelp(const std::string& whenMissing) {
    std::string help = "the backend: ";
    for (const std::string& name : vbtool::vendorNames()) help += name + " ";
    return help + "(" + whenMissing + ")";
}

CLI::Option* addVendor(CLI::App* app, Inputs* in, bool required) {
    static const CLI::Validator known(
        [](std::string& vendor) { return vbtool::checkVendor(vendor); }, "", "vendor");
    const std::string help = vendorHelp(required ? "required" : "optional");
    CLI::Option* option = app->add_option("--vendor", in->vendor, help)->type_name("V");
    option->check(known);
    if (required) option->required();
    return option;
}

void addMetadata(CLI::App* app, Inputs* in) {
    app->add_option("--metadata", in->metadataFile,
                    "the group's metadata captured at backup time (discover --metadata-out)")
        ->type_name("FILE")
        ->required()
        ->check(existingFile());
}

void addMap(CLI::App* app, Inputs* in) {
    app->add_option("--map", in->mapFile,
                    "JSON object: each PV's uuid at backup time -> the uuid its copy carries now; "
                    "written back with the new uuids, also after a failure")
        ->type_name("FILE")
        ->required()
        ->check(existingFile());
}

void addDevices(CLI::App* app, Inputs* in, const char* help) {
    app->add_option("DEVICE", in->devices, help)->required();
}

void addJson(CLI::App* app, Inputs* in, const char* what) {
    app->add_flag("--json", in->json, std::string("print ") + what + " as JSON");
}

// The subcommands that show their plan with --check.
bool checks(const std::string& subcommand) {
    for (const char* name :
         {"recreate", "revert", "prepare-revert", "cancel-revert", "destroy", "mount", "unmount"}) {
        if (subcommand == name) return true;
    }
    return false;
}

void addCheck(CLI::App* app, Inputs* in) {
    app->add_flag("--check", in->check,
                  "change nothing: run the operation's checks for real (they read the host and "
                  "take the import lock) and print what it would change, with the evidence, and "
                  "its steps; exit status 0 when it would go ahead, 1 with the reason when it "
                  "would refuse (--json: the plan as JSON)");
    if (!app->get_option_no_throw("--json")) {
        app->add_flag("--json", in->json, "with --check: print the plan as JSON");
    }
}

// Adds to the subcommand's help what each backend makes of its inputs.
void noteBackends(CLI::App* cmd, const std::string& note) {
    cmd->footer(cmd->get_footer().empty() ? note : cmd->get_footer() + "\n" + note);
}

// How discover chooses the backend, and what the backends read of the inputs of the import and
// revert subcommands.
const char* const kDiscoverNote =
    "Without --vendor, the library chooses the backend for DEVICE: VxVM for a path under "
    "/dev/vx/, GPFS for a GPFS file system (such as /dev/gpfs0), LinuxLVM for the node of an LVM2 "
    "LV.";
const char* const kRecreateNote =
    "LinuxLVM and VxVM import the clone DEVICEs and read --map (VxVM looks the captured disk "
    "group id up in it). GPFS reads neither the map nor the DEVICEs: it imports the file system "
    "the metadata names from the disks that carry its NSDs, so any map file will do (one holding "
    "{}).";
const char* const kCanRevertNote =
    "--vg is read by LinuxLVM only; VxVM and GPFS judge from the metadata and the DEVICEs.";
const char* const kPrepareNote =
    "VxVM flushes and deports the disk group --vg (the metadata is not read). GPFS records the "
    "nodes that have the file system --vg mounted, unmounts it on all nodes and exports it (the "
    "DEVICEs are not read).";
const char* const kRevertNote =
    "LinuxLVM and VxVM read the map and the DEVICEs. GPFS reads neither: it imports the file "
    "system the metadata names from its captured cluster configuration and mounts it on all "
    "nodes, so any map file will do (one holding {}).";
const char* const kCancelNote =
    "VxVM imports the disk group the metadata names again. GPFS imports the file system again "
    "from the file prepare-revert exported it to (run both with the same configuration: the file "
    "is named with the job id). Neither reads the DEVICEs.";

// mount, unmount, suspend and resume: GPFS file-system control.
void addFileSystemCommands(CLI::App& app, Inputs* in) {
    const char* fsHelp = "the GPFS file system (its device name, e.g. gpfs0)";
    CLI::App* mountCmd = app.add_subcommand(
        "mount", "GPFS: mount the file system FS, on all nodes unless an option says otherwise.");
    mountCmd->add_option("FS", in->fs, fsHelp)->required();
    mountCmd
        ->add_option("--node-file", in->nodeFile,
                     "mount on the nodes listed in FILE, one name per line (such as the list "
                     "prepare-revert records); --phase and --read-only do not count then")
        ->type_name("FILE")
        ->check(existingFile());
    mountCmd
        ->add_option_function<std::string>(
            "--phase", [in](const std::string& name) { vbtool::phaseNamed(name, &in->phase); },
            "the revert stage the mount belongs to: local mounts on this node only; prepare, "
            "revert, cancel, destroy and no-unmount mount on all nodes (default revert)")
        ->type_name("P")
        ->check(CLI::Validator(
            [](std::string& name) {
                RevertPhase phase;
                return vbtool::phaseNamed(name, &phase)
                           ? std::string()
                           : "unknown phase \"" + name + "\" (phases: " + vbtool::phaseNamesText() +
                                 ")";
            },
            ""));
    mountCmd->add_flag("--read-only", in->readOnly,
                       "mount read-only on this node, whatever the phase");

    CLI::App* unmountCmd =
        app.add_subcommand("unmount", "GPFS: unmount the file system FS on all nodes.");
    unmountCmd->add_option("FS", in->fs, fsHelp)->required();
    unmountCmd->add_flag("--force", in->force, "unmount also where the file system is in use");

    CLI::App* suspendCmd = app.add_subcommand(
        "suspend",
        "GPFS: bring the file system FS to a consistent state on disk and hold all further "
        "writes until resume (around a hardware snapshot).");
    suspendCmd->add_option("FS", in->fs, fsHelp)->required();

    CLI::App* resumeCmd =
        app.add_subcommand("resume", "GPFS: let a suspended file system FS go on.");
    resumeCmd->add_option("FS", in->fs, fsHelp)->required();
}

const char* const kFooter =
    "Exit status: 0 success, 1 the operation failed (its message and the library function on "
    "standard error), 2 usage error.";
const char* const kSignalFooter =
    "SIGINT, SIGTERM and SIGHUP wait until the operation has run to its end (recreate and revert "
    "still write the map); the exit status is then 128 + the signal. After a harder stop, run the "
    "same command again: it finishes the work (LinuxLVM, GPFS), or, for a VxVM import stopped "
    "after its vxdg import, changes nothing and names the disk group the clones already form.";

}  // namespace

int main(int argc, char** argv) {
    Inputs in;
    CLI::App app("The volume-manager operations of the volbridge library, from the command line.",
                 "volbridge");
    app.require_subcommand(1);
    addHostOptions(&app, &in);

    CLI::App* discoverCmd = app.add_subcommand(
        "discover",
        "Show the group that holds an LV (DEVICE) or has a given uuid (--uuid): its names, "
        "identifiers, vendor, PVs, LVs and captured metadata.");
    CLI::Option* device = discoverCmd->add_option(
        "DEVICE", in.device, "the device path of one of the group's LVs, e.g. /dev/data/home");
    discoverCmd->add_option("--uuid", in.uuid, "the group's uuid")
        ->type_name("ID")
        ->excludes(device);
    addVendor(discoverCmd, &in, false)
        ->description(vendorHelp(
            "default: the backend the library chooses for DEVICE, which the output names; "
            "LinuxLVM with --uuid"));
    addJson(discoverCmd, &in, "the group (with its metadata)");
    discoverCmd
        ->add_option("--metadata-out", in.metadataOut,
                     "write the captured metadata to FILE (for --metadata of recreate and revert)")
        ->type_name("FILE");
    discoverCmd
        ->add_option("--map-out", in.mapOut,
                     "write the identifier map for byte-for-byte clones of the group's PVs (each "
                     "PV uuid mapped to itself) to FILE, for recreate --map")
        ->type_name("FILE");

    CLI::App* devicesCmd = app.add_subcommand(
        "devices",
        "List the devices the backends manage and their groups: VxVM disks, LVM2 PVs and the GPFS "
        "NSDs this node serves.");
    addVendor(devicesCmd, &in, false)
        ->description(vendorHelp("default: every backend; exit status 1 when one fails, after "
                                 "the rows of those listed before it"));
    addJson(devicesCmd, &in, "the listing");

    CLI::App* recreateCmd = app.add_subcommand(
        "recreate",
        "Clone import: bring up a new group from the cloned DEVICEs under a new name with new "
        "identifiers, beside the group they were copied from; prints the new group.");
    addVendor(recreateCmd, &in, true);
    addMetadata(recreateCmd, &in);
    addMap(recreateCmd, &in);
    addDevices(recreateCmd, &in, "the clone devices");
    addJson(recreateCmd, &in, "the new group");
    recreateCmd->footer(
        "--map has no default: the backend needs each clone's backup-time PV uuid, which the "
        "captured metadata alone does not give through the library's interface. For clones that "
        "are byte-for-byte copies, 'volbridge discover --map-out FILE' writes the map at capture "
        "time.");

    CLI::App* canRevertCmd = app.add_subcommand(
        "can-revert",
        "Whether the live group --vg can be reverted in place from the DEVICEs (exit 0: it can, "
        "1: it cannot; the library logs why).");
    CLI::App* prepareCmd = app.add_subcommand(
        "prepare-revert",
        "Take the LVs of the live group --vg that lie on the DEVICEs out of service before the "
        "disks are rolled back.");
    for (CLI::App* cmd : {canRevertCmd, prepareCmd}) {
        addVendor(cmd, &in, true);
        addMetadata(cmd, &in);
        cmd->add_option("--vg", in.vgName,
                        "the live group's name (the backend reads its current description)")
            ->type_name("NAME")
            ->required();
        addDevices(cmd, &in, "the devices that will be rolled back");
    }

    CLI::App* revertCmd = app.add_subcommand(
        "revert",
        "Bring the live group back onto the rolled-back DEVICEs, merging the captured description "
        "of their PVs and LVs into it; prints the group.");
    addVendor(revertCmd, &in, true);
    addMetadata(revertCmd, &in);
    addMap(revertCmd, &in);
    addDevices(revertCmd, &in, "the rolled-back devices");
    addJson(revertCmd, &in, "the group");

    CLI::App* cancelCmd =
        app.add_subcommand("cancel-revert",
                           "Undo prepare-revert after an abandoned revert: the LVs on the DEVICEs "
                           "come back into service.");
    addVendor(cancelCmd, &in, true);
    addMetadata(cancelCmd, &in);
    addDevices(cancelCmd, &in, "the devices given to prepare-revert");

    CLI::App* destroyCmd = app.add_subcommand("destroy", "Remove a group made by recreate.");
    addVendor(destroyCmd, &in, true);
    destroyCmd->add_option("NAME", in.vgName, "the group's name")->required();
    destroyCmd->add_flag("--force", in.force,
                         "also remove a group whose name is not one recreate gives "
                         "(<name>_copy_<NNN> for LinuxLVM, yb_<name>_<seconds> for VxVM; any "
                         "GPFS file system, whose clone keeps its name): the source group, say");

    addFileSystemCommands(app, &in);
    noteBackends(discoverCmd, kDiscoverNote);
    noteBackends(recreateCmd, kRecreateNote);
    noteBackends(canRevertCmd, kCanRevertNote);
    noteBackends(prepareCmd, kPrepareNote);
    noteBackends(revertCmd, kRevertNote);
    noteBackends(cancelCmd, kCancelNote);

    // Each subcommand's footer: its own text, then the exit statuses, once. (Set on the tool
    // itself only now: a subcommand made earlier would have taken it over.)
    for (CLI::App* cmd : app.get_subcommands([](CLI::App*) { return true; })) {
        if (checks(cmd->get_name())) addCheck(cmd, &in);
        addHostOptions(cmd, &in);
        std::string footer = cmd->get_footer();
        footer += (footer.empty() ? "" : "\n") + std::string(kFooter);
        if (changesDisks(cmd->get_name())) footer += "\n" + std::string(kSignalFooter);
        cmd->footer(footer);
    }
    app.footer(std::string(kFooter) + "\nRun 'volbridge SUBCOMMAND --help' for its options.");
    app.set_version_flag("--version", "volbridge " VOLBRIDGE_VERSION);
    // The manual page, made from this description of the command line (the build installs it).
    app.add_flag_callback(
           "--manpage",
           [&app]() {
               std::cout << vbtool::manPage(app, VOLBRIDGE_VERSION, {kFooter, kSignalFooter});
               throw CLI::Success();
           })
        ->group("");

    // The subcommand's name for messages, once it is known.
    auto where = [&app]() {
        std::vector<CLI::App*> chosen = app.get_subcommands();
        return std::string("volbridge") + (chosen.empty() ? "" : " " + chosen[0]->get_name());
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        std::vector<std::string> left = app.remaining();
        if (app.get_subcommands().empty() && !left.empty() && left[0][0] != '-') {
            std::cerr << "volbridge: unknown subcommand \"" << left[0]
                      << "\"\nRun 'volbridge --help' for the subcommands.\n";
            return kUsage;
        }
        std::cerr << where() << ": " << e.what() << "\nRun '" << where()
                  << " --help' for the options.\n";
        return kUsage;
    }

    const std::string name = app.get_subcommands()[0]->get_name();
    std::optional<DeferredSignals> deferred;
    if (changesDisks(name) && !in.check) deferred.emplace();
    const int status = perform(name, in, where());
    if (deferred && deferred->received()) {
        const int signal = deferred->received();
        std::cerr << where() << ": received signal " << signal << " (" << strsignal(signal)
                  << ") during the operation, which was let run to its end first\n";
        return 128 + signal;
    }
    return status;
}
