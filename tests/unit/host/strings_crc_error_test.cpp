// FXString helpers, the label checksum, CWmError and YbException.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "host/CWmError.h"
#include "host/FXString.h"
#include "host/YbException.h"
#include "host/yb_crc32.h"

namespace {

TEST(FXString, SplitKeepsOrDropsEmptyFields) {
    struct Case {
        const char* text;
        const char* sep;
        int flags;
        std::vector<std::string> fields;
    } cases[] = {
        {"/dev/sda::1:", ":", FXString::KEEP_EMPTY, {"/dev/sda", "", "1", ""}},
        {"/dev/sda::1:", ":", FXString::DROP_EMPTY, {"/dev/sda", "1"}},
        {"", ":", FXString::KEEP_EMPTY, {""}},
        {"", ":", FXString::DROP_EMPTY, {}},
        {"a\r\nb", "\r\n", FXString::KEEP_EMPTY, {"a", "b"}},
        {"abc", "", FXString::KEEP_EMPTY, {"abc"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> fields;
        FXString::Split(c.text, c.sep, fields, c.flags);
        EXPECT_EQ(fields, c.fields);
        std::list<std::string> asList;
        FXString::Split(c.text, c.sep, asList, c.flags);
        EXPECT_EQ(std::vector<std::string>(asList.begin(), asList.end()), c.fields);
    }
}

TEST(FXString, TrimMatchReplaceLower) {
    std::string s = " \t value\t ";
    EXPECT_EQ(FXString::TrimWhiteSpace(s), "value");
    s = "xxyxx";
    EXPECT_EQ(FXString::Trim(s, "x"), "y");
    s = " \t ";
    EXPECT_EQ(FXString::TrimWhiteSpace(s), "");
    EXPECT_TRUE(FXString::MatchLeft("/dev/loop1", "/dev/"));
    EXPECT_FALSE(FXString::MatchLeft("/de", "/dev/"));
    s = "a-b--c";
    EXPECT_EQ(FXString::ReplaceAll(s, "-", "--", 0), 3);
    EXPECT_EQ(s, "a--b----c");
    s = "MiXeD";
    EXPECT_EQ(FXString::ToLower(s), "mixed");
}

// LVM2's label checksum, bit by bit: reflected CRC-32 polynomial, no inversion at either end.
uint32_t referenceLabelCrc(uint32_t crc, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

TEST(YbCrc32, MatchesTheLabelChecksumAndContinues) {
    std::mt19937 random(7);
    for (size_t size : {0u, 1u, 492u, 4096u}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> data(size);
        for (uint8_t& b : data) b = static_cast<uint8_t>(random());
        unsigned int crc = 0xf597a6cf;
        yb_crc32(data.data(), data.size(), &crc);
        EXPECT_EQ(crc, referenceLabelCrc(0xf597a6cf, data.data(), data.size()));

        unsigned int split = 0xf597a6cf;
        yb_crc32(data.data(), size / 3, &split);
        yb_crc32(data.data() + size / 3, size - size / 3, &split);
        EXPECT_EQ(split, crc);
    }
}

TEST(CWmError, Win32ErrorPushAndCopies) {
    CWmError ok = CWmError::Success();
    EXPECT_FALSE(ok.IsError());
    EXPECT_EQ(ok.GetCode(), 0);

    CWmError err = FXErrorUtil::ErrorWin32(FXCodeLocation("LVM", "f", 231), 50);
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ(err.GetWin32Code(), 50u);
    CWmError copy = err;
    CWmError pushed = err.Push(FXCodeLocation("LVM_linux", "caller", 99));
    EXPECT_EQ(pushed.GetLocations().size(), 2u);
    EXPECT_EQ(pushed.GetLocations()[1].line, 99);
    EXPECT_EQ(copy.GetLocations().size(), 1u);  // a copy made before keeps its own list

    CWmError byErrno =
        FXErrorUtil::ErrorErrNo(FXCodeLocation("u", "g", 2294), 22, "%s failed", "pvdisplay");
    EXPECT_TRUE(byErrno.IsError());
    EXPECT_EQ(byErrno.GetErrno(), 22);
    EXPECT_EQ(byErrno.GetMessage(), "pvdisplay failed");
    EXPECT_NE(byErrno.ToString().find("g (u:2294)"), std::string::npos);
}

TEST(YbException, CarriesWhatItWasThrownWith) {
    try {
        throw YbException("LVM_linux_lvm::op", std::string("message"), "LVM_linux_lvm", 586, -1);
    } catch (const std::exception& e) {
        const YbException* yb = dynamic_cast<const YbException*>(&e);
        ASSERT_NE(yb, nullptr);
        EXPECT_EQ(yb->getFuncName(), "LVM_linux_lvm::op");
        EXPECT_EQ(yb->getMessage(), "message");
        EXPECT_STREQ(e.what(), "message");
        EXPECT_EQ(yb->getFileName(), "LVM_linux_lvm");
        EXPECT_EQ(yb->getLineNum(), 586);
        EXPECT_EQ(yb->getErrno(), -1);
    }
}

}  // namespace
