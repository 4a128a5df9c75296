// orvo-admin bitcoin: import from a seed file, public keys and signatures along paths.
#include "orvo-admin/bitcoin_path.h"
#include "orvo-admin/report.h"
#include "tool_fixture.h"

using namespace tooltest;

TEST_F(ToolTest, BitcoinSlotFromImportToSignature) {
    withLibrary([&] { readyUser(); });
    Outcome none = tool({"bitcoin", "has"});
    ASSERT_EQ(none.code, 0) << none.err;
    EXPECT_EQ(none.out, "slot 0 holds no Bitcoin key\n");

    dir.write("seed.hex", "00010203 04050607\n08090a0b0c0d0e0f\n");
    ASSERT_EQ(tool({"bitcoin", "import", dir.file("seed.hex")}).code, 0);
    EXPECT_EQ(tool({"bitcoin", "has"}).out, "slot 0 holds a Bitcoin key\n");
    Outcome again = tool({"bitcoin", "import", dir.file("seed.hex")});
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.err.find("the token already holds a Bitcoin key"), std::string::npos) << again.err;

    // The published test vector of the derivation scheme for this seed.
    Outcome pub = tool({"bitcoin", "pub", "m/0'"});
    ASSERT_EQ(pub.code, 0) << pub.err;
    EXPECT_EQ(pub.out, "035a784662a4a20a65bf6aab9ae98a6c068a81c52e4b032c0fb5400c706cfccc56\n");
    EXPECT_EQ(tool({"bitcoin", "pub", "m/0h/1"}).out,
              "03501e454bf00751f24b1b489aa925215d66af2234e3891c3b21a52bedb3cd711c\n");
    EXPECT_EQ(tool({"bitcoin", "pub", "m"}).out, "0339a36013301597daef41fbe593a02cc513d0b55527ec2df1050e2e8ff49c85c2\n");

    const std::string hash = std::string(64, '1');
    nlohmann::json signed1 = nlohmann::json::parse(tool({"--json", "bitcoin", "sign", "m/44'/0'/0'/0/7", hash}).out);
    EXPECT_EQ(signed1["signature"].get<std::string>().size(), 128u);
    EXPECT_EQ(tool({"bitcoin", "sign", "m/44'/0'/0'/0/7", hash}).out, signed1["signature"].get<std::string>() + "\n");
    Outcome shortHash = tool({"bitcoin", "sign", "m/1", "abcd"});
    EXPECT_EQ(shortHash.code, 1);
    EXPECT_NE(shortHash.err.find("CKR_DATA_LEN_RANGE"), std::string::npos);

    pins.erase("user PIN");
    Outcome noPin = tool({"bitcoin", "has"});
    EXPECT_EQ(noPin.code, 1);
    EXPECT_NE(noPin.err.find("the user PIN is needed"), std::string::npos);
}

TEST(BitcoinPath, WrittenFormsAndMistakes) {
    using orvoadmin::parsePath;
    EXPECT_EQ(parsePath("m"), std::vector<uint32_t>{});
    EXPECT_EQ(parsePath("m/44'/0h/1H/2147483647"),
              (std::vector<uint32_t>{0x8000002Cu, 0x80000000u, 0x80000001u, 0x7FFFFFFFu}));
    for (const char* bad : {"", "44/0", "m/", "m//1", "m/2147483648", "m/1x", "m/-1", "m/1''", "M/1"})
        EXPECT_THROW(parsePath(bad), orvoadmin::Failure) << bad;
    std::string deep = "m";
    for (int i = 0; i < 256; ++i) deep += "/1";
    EXPECT_THROW(parsePath(deep), orvoadmin::Failure);
}
