// Disks for backend tests that run on the fake runner.
//
// Zero-filled files stand for the devices: they can be stat'ed and opened but carry no label,
// so their PV identifiers come from "pvdisplay", which the fake answers from `uuidOf`; a
// "pvcreate ... --uuid ID --restorefile FILE DEVICE" gives the device that identifier and keeps
// a copy of FILE. Temporary metadata files and the host's temporary files go to a directory of
// the object's own, and the destructor fails the test if one is left there; the import lock and
// journal live in another.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FakeRunner.h"
#include "Fixtures.h"
#include "core/ScopedOverride.h"
#include "host/HostSeams.h"
#include "core/ImportLock.h"
#include "linux_lvm/lvm2_import_state.h"
#include "linux_lvm/lvm2_restore.h"

namespace vbtest {

class FakeDisks {
  public:
    FakeDisks() : dir_(root_.path()), tmpDir_(root_.file("tmp")), stateDir_(root_.file("state")) {
        mkdir(tmpDir_.c_str(), 0700);
        tmpGuard_ = std::make_unique<volbridge::ScopedOverride<std::string>>(
            volbridge::lvm2::metadataTempDirectory(), tmpDir_);
        stateGuard_ = std::make_unique<volbridge::ScopedOverride<std::string>>(
            volbridge::stateDirectory(), stateDir_);
        config_ =
            std::make_unique<vbhost::ScopedConfig>(vbhost::IniConfig::fromString(hostSection()));
    }
    ~FakeDisks() {
        config_.reset();
        stateGuard_.reset();
        tmpGuard_.reset();
        EXPECT_EQ(leftoverTempFiles(), "");
    }
    FakeDisks(const FakeDisks&) = delete;
    FakeDisks& operator=(const FakeDisks&) = delete;

    const std::string& dir() const { return dir_; }
    const std::string& tmpDir() const { return tmpDir_; }
    const std::string& stateDir() const { return stateDir_; }

    // The "[host]" section that points the host's temporary directory at tmpDir(), for tests that
    // install a configuration of their own.
    std::string hostSection() const { return "[host]\ntemp_dir = " + tmpDir_ + "\n"; }

    std::string add(const std::string& name, const std::string& uuid) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << std::string(4096, '\0');
        uuidOf[path] = uuid;
        return path;
    }

    // The temporary files present now, one name per line.
    std::string leftoverTempFiles() const {
        std::string list;
        std::string cmd = "ls -A " + tmpDir_;
        FILE* p = popen(cmd.c_str(), "r");
        char buf[256];
        while (p && fgets(buf, sizeof buf, p)) list += buf;
        if (p) pclose(p);
        return list;
    }

    // The commands with the temporary files' paths shown as "FILE".
    std::vector<std::string> withoutTempPaths(const std::vector<std::string>& commands) const {
        std::vector<std::string> shown;
        const std::regex path(std::regex_replace(tmpDir_, std::regex("[.+]"), "\\$&") + "/\\S+");
        for (const std::string& cmd : commands)
            shown.push_back(std::regex_replace(cmd, path, "FILE"));
        return shown;
    }

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
            return Reply{0, "  Physical volume \"" + m[4].str() + "\" successfully created.\n", ""};
        });
    }

    // Answers every "vgcfgbackup -f FILE <vg>" by writing what `text` gives into FILE.
    void answerGroupExport(FakeRunner& fake, const std::string& vg,
                           std::function<std::string()> text) {
        fake.alwaysMatch("vgcfgbackup -f (\\S+) " + vg, [text](const std::string& cmd) {
            const std::string file = cmd.substr(15, cmd.rfind(' ') - 15);
            std::ofstream(file, std::ios::trunc) << text();
            return Reply{0, "  Volume group \"x\" successfully backed up.\n", ""};
        });
    }

    std::map<std::string, std::string> uuidOf;  // device -> identifier on its label
    std::vector<std::string> restoreFiles;      // what each pvcreate was handed

  private:
    ScopedTempDir root_;
    std::string dir_;
    std::string tmpDir_;
    std::string stateDir_;
    std::unique_ptr<volbridge::ScopedOverride<std::string>> tmpGuard_;
    std::unique_ptr<volbridge::ScopedOverride<std::string>> stateGuard_;
    std::unique_ptr<vbhost::ScopedConfig> config_;
};

}  // namespace vbtest
