// Names and paths are checked before they go into a shell line.
#include <gtest/gtest.h>

#include "core/ShellWord.h"
#include "host/YbException.h"

namespace {

TEST(ShellWord, AcceptsOnlyCharactersTheShellTakesLiterally) {
    const char* accepted[] = {"/dev/loop7", "vg_copy_001", "/dev/disk/by-id/scsi-3600a0b8:0",
                              "lv+1.x",     "user@host",   "/dev/mapper/vg--data-lv"};
    for (const char* value : accepted) {
        SCOPED_TRACE(value);
        EXPECT_TRUE(volbridge::isShellWord(value));
    }
    const char* refused[] = {"",
                             "-ffy",
                             "vg name",
                             "vg;reboot",
                             "$(id)",
                             "`id`",
                             "a|b",
                             "a&b",
                             "a>b",
                             "a<b",
                             "vg'x",
                             "vg\"x",
                             "a\\b",
                             "a\nb",
                             "a*",
                             "a?",
                             "~root",
                             "a#b",
                             "{a,b}",
                             "a=b",
                             "[a]",
                             "a!b",
                             "\xc3\xa9t\xc3\xa9",
                             "a\tb"};
    for (const char* value : refused) {
        SCOPED_TRACE(value);
        EXPECT_FALSE(volbridge::isShellWord(value));
    }
}

TEST(ShellWord, RefusalNamesTheValueAndTheCaller) {
    try {
        volbridge::requireShellWord("vg;rm -rf /\n", "the group name", "LVM_linux_lvm::destroyVG",
                                    "LVM_linux_lvm", 42);
        FAIL() << "no exception";
    } catch (const YbException& e) {
        EXPECT_EQ(e.getFuncName(), "LVM_linux_lvm::destroyVG");
        EXPECT_EQ(e.getFileName(), "LVM_linux_lvm");
        EXPECT_EQ(e.getLineNum(), 42);
        EXPECT_EQ(e.getErrno(), -1);
        EXPECT_EQ(e.getMessage(),
                  "Refusing to run a command with the group name [vg;rm -rf /\\x0a]: it holds "
                  "characters that the shell would interpret (allowed: letters, digits and "
                  "\"._+-:/@\")");
    }
    EXPECT_THROW(volbridge::requireShellWord("-ay", "the device path", "f", "u", 1), YbException);
}

}  // namespace
