// Disks for backend tests that run on the fake runner.
//
// Zero-filled files stand for the devices: they can be stat'ed and opened but carry no label,
// so their PV identifiers come from "pvdisplay", which the fake answers from `uuidOf`; a
// "pvcreate ... --uuid ID --restorefile FILE DEVICE" gives the device that identifier and keeps
// a copy of FILE. Temporary metadata files go to a directory of the object's own, and the
// destructor fails the test if one is left there.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FakeRunner.h"
#include "Fixtures.h"
#include "core/ScopedOverride.h"
#include "linux_lvm/lvm2_restore.h"

namespace vbtest {

class FakeDisks {
  public:
    FakeDisks() : dir_(root_.path()), tmpDir_(root_.file("tmp")) {
        mkdir(tmpDir_.c_str(), 0700);
        tmpGuard_ = std::make_unique<volbridge::ScopedOverride<std::string>>(
            volbridge::lvm2::metadataTempDirectory(), tmpDir_);
    }
    ~FakeDisks() {
        tmpGuard_.reset();
        EXPECT_EQ(leftoverTempFiles(), "");
    }
    FakeDisks(const FakeDisks&) = delete;
    FakeDisks& operator=(const FakeDisks&) = delete;

    const std::string& dir() const { return dir_; }

    std::string add(const std::string& name, const std::string& uuid) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << std::string(4096, '\0');
        uuidOf[path] = uuid;
        return path;
    }

    // The temporary metadata files present now, one name per line.
    std::string leftoverTempFiles() const {
        std::string list;
        std::string cmd = "ls -A " + tmpDir_;
        FILE* p = popen(cmd.c_str(), "r");
        char buf[256];
        while (p && fgets(buf, sizeof buf, p)) list += buf;
        if (p) pclose(p);
        return list;
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

    std::map<std::string, std::string> uuidOf;  // device -> identifier on its label
    std::vector<std::string> restoreFiles;      // what each pvcreate was handed

  private:
    ScopedTempDir root_;
    std::string dir_;
    std::string tmpDir_;
    std::unique_ptr<volbridge::ScopedOverride<std::string>> tmpGuard_;
};

}  // namespace vbtest
