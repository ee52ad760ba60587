// Disks for LVM2 backend tests that run on the fake runner, on a fake host (FakeHost: the import
// lock and journal, the host's temporary directory, configuration, clock and log are the test's).
//
// Zero-filled files stand for the devices: they can be stat'ed and opened but carry no label,
// so their PV identifiers come from "pvdisplay", which the fake answers from `uuidOf`; a
// "pvcreate ... --uuid ID --restorefile FILE DEVICE" gives the device that identifier and keeps
// a copy of FILE. How LVM2 sees each device ("pvs ... pv_duplicate DEVICE...") comes from `seen`.
// The library's temporary metadata files go to the host's temporary directory, and the
// destructor fails the test if one is left there.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "FakeRunner.h"
#include "Fixtures.h"
#include "core/ScopedOverride.h"
#include "linux_lvm/lvm2_restore.h"

namespace vbtest {

class FakeDisks {
  public:
    // How LVM2 sees a device: as a PV of a group (`vg` empty: of none), set aside as a duplicate
    // of another device, or not at all.
    struct Seen {
        std::string vg;
        std::string vgUuid;
        bool duplicate = false;
        bool hidden = false;
    };

    FakeDisks()
        : dir_(host_.scratch("disks")),
          tmpGuard_(volbridge::lvm2::metadataTempDirectory(), host_.tempDir()) {
        mkdir(dir_.c_str(), 0700);
    }
    ~FakeDisks() { EXPECT_EQ(host_.leftoverTempFiles(), ""); }
    FakeDisks(const FakeDisks&) = delete;
    FakeDisks& operator=(const FakeDisks&) = delete;

    FakeHost& host() { return host_; }
    const std::string& dir() const { return dir_; }
    std::string journal() const { return readFile(host_.stateDir() + "/lvm2-import.journal"); }

    std::string add(const std::string& name, const std::string& uuid) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << std::string(4096, '\0');
        uuidOf[path] = uuid;
        return path;
    }

    // The commands with the temporary files' paths shown as "FILE".
    std::vector<std::string> withoutTempPaths(const std::vector<std::string>& commands) const {
        std::vector<std::string> shown;
        const std::regex path(std::regex_replace(host_.tempDir(), std::regex("[.+]"), "\\$&") +
                              "/\\S+");
        for (const std::string& cmd : commands) {
            shown.push_back(std::regex_replace(cmd, path, "FILE"));
        }
        return shown;
    }

    // The commands with the new identifier of a pvcreate shown as "NEW".
    static std::vector<std::string> withoutNewIds(const std::vector<std::string>& commands) {
        std::vector<std::string> shown;
        const std::regex id("--uuid \\S+");
        for (const std::string& cmd : commands)
            shown.push_back(std::regex_replace(cmd, id, "--uuid NEW"));
        return shown;
    }

    // "pvdisplay DEVICE" from `uuidOf`, "pvcreate" as said above (the device is a PV of no
    // group afterwards), and the "pvs" view of devices from `seen` (`unlisted` for a device it
    // does not name).
    void answerPvTools(FakeRunner& fake) {
        fake.alwaysMatch("pvdisplay (\\S+)", [this](const std::string& cmd) {
            std::string device = cmd.substr(cmd.find(' ') + 1);
            return Reply{0,
                         "  --- Physical volume ---\n  PV Name               " + device +
                             "\n  PV UUID               " + uuidOf[device] + "\n",
                         ""};
        });
        static const std::regex pvcreate(
            "pvcreate (--config '.*' )?-ffy --uuid (\\S+) --restorefile (\\S+) (\\S+)");
        fake.alwaysMatch("pvcreate .*", [this](const std::string& cmd) {
            std::smatch m;
            if (!std::regex_match(cmd, m, pvcreate)) {
                ADD_FAILURE() << "unexpected pvcreate: " << cmd;
                return Reply{3, "", "bad"};
            }
            restoreFiles.push_back(readFile(m[3]));
            uuidOf[m[4]] = m[2];
            seen[m[4]] = Seen{};
            return Reply{0, "  Physical volume \"" + m[4].str() + "\" successfully created.\n", ""};
        });
        fake.alwaysMatch(kViewPattern, [this](const std::string& cmd) {
            Reply reply{0, "", ""};
            std::string words = cmd.substr(cmd.find("pv_duplicate") + 12);
            std::istringstream in(words);
            for (std::string device; in >> device;) {
                const Seen how = seen.count(device) ? seen[device] : unlisted;
                if (how.hidden) {
                    reply.status = 5;
                    reply.err +=
                        "  Cannot use " + device + ": device is rejected by filter config\n";
                    continue;
                }
                reply.out += "  " + device + "|" + uuidOf[device] + "|" + how.vg + "|" +
                             how.vgUuid + "|" + (how.duplicate ? "duplicate" : "") + "\n";
            }
            return reply;
        });
    }

    // Answers every "vgcfgbackup [OPTIONS] -f FILE <vg>" by writing what `text` gives into FILE.
    void answerGroupExport(FakeRunner& fake, const std::string& vg,
                           std::function<std::string()> text) {
        fake.alwaysMatch("vgcfgbackup (.* )?-f (\\S+) " + vg, [text](const std::string& cmd) {
            std::smatch m;
            std::regex_match(cmd, m, std::regex("vgcfgbackup (.* )?-f (\\S+) \\S+"));
            std::ofstream(m[2].str(), std::ios::trunc) << text();
            return Reply{0, "  Volume group \"x\" successfully backed up.\n", ""};
        });
    }

    // The "pvs" view of devices, as the backend asks for it before a clone import.
    static constexpr const char* kViewPattern =
        "pvs --config 'devices/use_devicesfile=0' --noheadings --separator '\\|' -o "
        "pv_name,pv_uuid,vg_name,vg_uuid,pv_duplicate .*";

    std::map<std::string, std::string> uuidOf;  // device -> identifier on its label
    std::vector<std::string> restoreFiles;      // what each pvcreate was handed
    std::map<std::string, Seen> seen;           // device -> how LVM2 sees it
    Seen unlisted;                              // how LVM2 sees a device not in `seen`

  private:
    FakeHost host_;
    std::string dir_;
    volbridge::ScopedOverride<std::string> tmpGuard_;
};

}  // namespace vbtest
