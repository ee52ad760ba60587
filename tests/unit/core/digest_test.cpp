#include "core/Digest.h"

#include <gtest/gtest.h>

namespace {

// The published SHA-256 test vectors; any change of a byte changes the digest.
TEST(CaptureDigest, IsTheSha256OfTheText) {
    EXPECT_EQ(volbridge::captureDigest(""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(volbridge::captureDigest("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_NE(volbridge::captureDigest("seqno = 3\n"), volbridge::captureDigest("seqno = 4\n"));
}

}  // namespace
