// The Bitcoin key slot on the wire: the key test's search, the path byte order, the outputs and
// the argument checks. Import and signing reach a simulated token in tests/tools and tests/e2e.
#include <cstring>

#include "orvo/admin.h"
#include "unit/device_fixture.h"

using namespace orvotest;

namespace {

// A C_FindObjects answer with these 32-bit handles.
Answer found(std::vector<uint32_t> handles) {
    Bytes list(handles.size() * 4);
    if (!handles.empty()) std::memcpy(list.data(), handles.data(), list.size());
    return answer(CKR_OK, list);
}

const dravenholt::wire::Attribute* attribute(const Request& r, CK_ATTRIBUTE_TYPE type) {
    for (const auto& a : r.templ)
        if (a.type == type) return &a;
    return nullptr;
}

}  // namespace

TEST_F(AdminTest, KeyTestSearchesForTheWholeKeyTemplate) {
    CK_SESSION_HANDLE h = open(1, 31);
    b->answer(reply(CKR_OK));
    b->answer(found({0x1234}));
    uint32_t key = 0;
    ASSERT_EQ(u32HasBitcoinKey(static_cast<uint32_t>(h), &key), CKR_OK);
    EXPECT_EQ(key, 0x1234u);
    auto sent = b->calls();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].function, 33u);
    EXPECT_EQ(sent[1].function, 37u);
    EXPECT_EQ(sent[1].length, 1u);
    EXPECT_EQ(sent[2].function, 38u);
    for (const Request& r : sent) EXPECT_EQ(r.session, 31u);
    const Request& init = sent[0];
    ASSERT_EQ(init.templ.size(), 6u);
    EXPECT_EQ(init.templ[0].type, CKA_CLASS);
    EXPECT_EQ(init.templ[0].number, CKO_PRIVATE_KEY);
    EXPECT_EQ(attribute(init, CKA_LABEL)->value, (Bytes{'b', 't', 'c'}));
    EXPECT_EQ(attribute(init, CKA_ID)->value, (Bytes{'b', 't', 'c'}));
    EXPECT_EQ(attribute(init, CKA_TOKEN)->flag, true);
    EXPECT_EQ(attribute(init, CKA_PRIVATE)->flag, true);
    EXPECT_EQ(attribute(init, CKA_KEY_TYPE)->number, CKK_EC);
    EXPECT_TRUE(logged("u32HasBitcoinKey"));
}

TEST_F(AdminTest, KeyTestResults) {
    CK_SESSION_HANDLE h = open(0, 5);
    uint32_t session = static_cast<uint32_t>(h);
    b->fallback = reply(CKR_GENERAL_ERROR);  // nothing may reach the other device
    a->answer(reply(CKR_OK));
    a->answer(found({9}));
    EXPECT_EQ(u32HasBitcoinKey(session, nullptr), CKR_OK);

    a->answer(reply(CKR_OK));
    a->answer(found({}));
    uint32_t key = 77;
    EXPECT_EQ(u32HasBitcoinKey(session, &key), ORVO_NO_BITCOIN_KEY);
    EXPECT_EQ(key, 77u);
    EXPECT_EQ(a->lastCall().function, 38u);  // the search is ended all the same

    a->answer(reply(CKR_OPERATION_ACTIVE));  // search refused: returned at once
    size_t before = a->calls().size();
    EXPECT_EQ(u32HasBitcoinKey(session, &key), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(a->calls().size(), before + 1);

    EXPECT_EQ(u32HasBitcoinKey(session + 100, &key), CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(b->calls().empty());
}

TEST_F(AdminTest, PublicKeyPathTravelsBigEndianAndStaysConverted) {
    uint32_t session = static_cast<uint32_t>(open(1, 8));
    uint32_t path[2] = {1, 2};
    CallerBuffer output(65);
    uint64_t length = 65;
    b->answer(answer(CKR_OK, pattern(33)));
    ASSERT_EQ(u32GetBitcoinPub(session, path, 2, output.data(), &length), CKR_OK);
    Request r = b->lastCall();
    EXPECT_EQ(r.function, 63u);
    EXPECT_EQ(r.session, 8u);
    EXPECT_EQ(r.data, (Bytes{0, 0, 0, 1, 0, 0, 0, 2}));
    EXPECT_EQ(r.length, 65u);
    EXPECT_EQ(length, 33u);
    EXPECT_EQ(output.content(33), pattern(33));
    EXPECT_TRUE(output.untouched(33));
    const uint8_t first[4] = {0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(&path[0], first, 4), 0);  // left in the device's byte order

    // An empty path is allowed; a failure leaves the length.
    b->answer(reply(CKR_KEY_HANDLE_INVALID));
    EXPECT_EQ(u32GetBitcoinPub(session, path, 0, output.data(), &length), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(b->lastCall().data, Bytes{});
    EXPECT_EQ(length, 33u);
}

TEST_F(AdminTest, BitcoinArgumentsAreCheckedBeforeAnythingIsSentOrConverted) {
    uint32_t session = static_cast<uint32_t>(open(0, 1));
    uint32_t path[1] = {0x80000000u};
    uint8_t out[8], hash[32] = {};
    uint64_t length = sizeof out, zero = 0;
    const std::pair<uint32_t, uint32_t> cases[] = {
        {u32GetBitcoinPub(session, nullptr, 1, out, &length), CKR_ARGUMENTS_BAD},
        {u32GetBitcoinPub(session, path, 1, nullptr, &length), CKR_ARGUMENTS_BAD},
        {u32GetBitcoinPub(session, path, 1, out, nullptr), CKR_ARGUMENTS_BAD},
        {u32GetBitcoinPub(session, path, 1, out, &zero), CKR_ARGUMENTS_BAD},
        {u32GetBitcoinPub(session, path, 1u << 20, out, &length), CKR_DATA_LEN_RANGE},
        {u32GetBitcoinPub(session + 9, path, 1, out, &length), CKR_SESSION_HANDLE_INVALID},
        {u32SignBitcoinHash(session, nullptr, 32, path, 1, out, &length), CKR_ARGUMENTS_BAD},
        {u32SignBitcoinHash(session, hash, 0, path, 1, out, &length), CKR_ARGUMENTS_BAD},
        {u32SignBitcoinHash(session, hash, 32, nullptr, 1, out, &length), CKR_ARGUMENTS_BAD},
        {u32SignBitcoinHash(session, hash, 32, path, 1, nullptr, &length), CKR_ARGUMENTS_BAD},
        {u32SignBitcoinHash(session, hash, 32, path, 1, out, &zero), CKR_ARGUMENTS_BAD},
        {u32ImportBitcoinKey(session, nullptr, 32), CKR_ARGUMENTS_BAD},
        {u32ImportBitcoinKey(session, hash, 0), CKR_ARGUMENTS_BAD},
        {u32ImportBitcoinKey(session, hash, 0x100000000ULL), CKR_DATA_LEN_RANGE},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
    EXPECT_EQ(path[0], 0x80000000u);  // nothing sent, nothing converted
    EXPECT_TRUE(a->calls().empty());
    a->answer(answer(CKR_OK, pattern(9)));  // longer than the output
    EXPECT_EQ(u32GetBitcoinPub(session, path, 1, out, &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, sizeof out);
}
