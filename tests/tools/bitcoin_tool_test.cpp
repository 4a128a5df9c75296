// orvo-admin bitcoin: the commands over the slot, and derivation paths as people write them.
#include "orvo-admin/bitcoin_path.h"
#include "orvo-admin/report.h"
#include "tool_fixture.h"

using namespace tooltest;

TEST_F(ToolTest, BitcoinSlot) {
    withLibrary([&] { readyUser(); });
    EXPECT_EQ(tool({"bitcoin", "has"}).out, "slot 0 holds no Bitcoin key\n");
    dir.write("seed.hex", "00010203 04050607\n08090a0b0c0d0e0f\n");
    ASSERT_EQ(tool({"bitcoin", "import", dir.file("seed.hex")}).code, 0);
    EXPECT_EQ(tool({"bitcoin", "has"}).out, "slot 0 holds a Bitcoin key\n");
    Outcome again = tool({"bitcoin", "import", dir.file("seed.hex")});
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.err.find("the token already holds a Bitcoin key"), std::string::npos) << again.err;
    // The master key of the published test vector for this seed: the empty path works too.
    EXPECT_EQ(tool({"bitcoin", "pub", "m"}).out, "0339a36013301597daef41fbe593a02cc513d0b55527ec2df1050e2e8ff49c85c2\n");
    pins.erase("user PIN");
    EXPECT_NE(tool({"bitcoin", "has"}).err.find("the user PIN is needed"), std::string::npos);
}

TEST(BitcoinPath, WrittenFormsAndMistakes) {
    using orvoadmin::parsePath;
    EXPECT_EQ(parsePath("m"), std::vector<uint32_t>{});
    EXPECT_EQ(parsePath("m/44'/0h/1H/2147483647"),
              (std::vector<uint32_t>{0x8000002Cu, 0x80000000u, 0x80000001u, 0x7FFFFFFFu}));
    for (const char* bad : {"", "44/0", "m/", "m//1", "m/2147483648", "m/1x", "m/-1", "m/1''", "M/1"})
        EXPECT_THROW(parsePath(bad), orvoadmin::Failure) << bad;
}
