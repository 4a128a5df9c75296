// orvo-admin over USB HID: the backup's file and what lies at its temporary name, and
// derivation paths as people write them. The commands' round trips over TLS are in tests/e2e.
#include <sys/stat.h>

#include <filesystem>

#include "orvo-admin/bitcoin_path.h"
#include "orvo-admin/report.h"
#include "tool_fixture.h"

using namespace tooltest;

// Something put at FILE.tmp beforehand (by someone who may write to the directory) is neither
// used nor written through: the backup fails, naming it, and writes nothing.
TEST_F(ToolTest, BackupRefusesWhatLiesAtItsTemporaryName) {
    initialiseToken();
    const std::string file = dir.file("token.backup"), temporary = file + ".tmp";
    for (bool link : {false, true}) {
        SCOPED_TRACE(link ? "symbolic link" : "file");
        std::filesystem::remove(temporary);
        if (link) std::filesystem::create_symlink(dir.file("target"), temporary);
        else dir.write("token.backup.tmp", "planted");
        Outcome o = tool({"backup", file});
        EXPECT_EQ(o.code, 1);
        EXPECT_NE(o.err.find(temporary + " already exists"), std::string::npos) << o.err;
        EXPECT_FALSE(std::filesystem::exists(file));
        EXPECT_FALSE(std::filesystem::exists(dir.file("target")));
        if (!link) {
            EXPECT_EQ(dir.read("token.backup.tmp"), "planted");
        }
    }
    // Made afresh, for its owner alone, and renamed into place.
    std::filesystem::remove(temporary);
    ASSERT_EQ(tool({"backup", file}).code, 0);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(temporary));
}

TEST(BitcoinPath, WrittenFormsAndMistakes) {
    using orvoadmin::parsePath;
    EXPECT_EQ(parsePath("m"), std::vector<uint32_t>{});
    EXPECT_EQ(parsePath("m/44'/0h/1H/2147483647"),
              (std::vector<uint32_t>{0x8000002Cu, 0x80000000u, 0x80000001u, 0x7FFFFFFFu}));
    for (const char* bad : {"", "44/0", "m/", "m//1", "m/2147483648", "m/1x", "m/-1", "m/1''", "M/1"})
        EXPECT_THROW(parsePath(bad), orvoadmin::Failure) << bad;
}
