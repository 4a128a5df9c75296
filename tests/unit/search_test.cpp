// Object search on the wire, and handle batches from honest and hostile devices.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

class Search : public SessionTest {};

Bytes handleBytes(std::initializer_list<uint32_t> handles) {
    Bytes out(handles.size() * 4);
    std::memcpy(out.data(), std::data(handles), out.size());
    return out;
}

TEST_F(Search, InitSendsTheTemplateOnlyWhenThereIsOne) {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
    EXPECT_EQ(C_FindObjectsInit(session, tmpl, 1), CKR_OK);
    EXPECT_EQ(C_FindObjectsInit(session, nullptr, 5), CKR_OK);
    EXPECT_EQ(C_FindObjectsInit(session, tmpl, 0), CKR_OK);
    device->answer(reply(CKR_OPERATION_NOT_INITIALIZED));
    EXPECT_EQ(C_FindObjectsFinal(session), CKR_OPERATION_NOT_INITIALIZED);
    auto r = sent();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].function, fn::FindObjectsInit);
    ASSERT_EQ(r[0].templ.size(), 1u);
    EXPECT_EQ(r[0].templ[0].number, CKO_PRIVATE_KEY);
    EXPECT_TRUE(r[1].templ.empty());
    EXPECT_TRUE(r[2].templ.empty());
    EXPECT_EQ(r[3].function, fn::FindObjectsFinal);
}

TEST_F(Search, HandlesAreWidenedInOrderAndPartialTrailingBytesIgnored) {
    CK_OBJECT_HANDLE found[4] = {};
    CK_ULONG count = 99;
    Bytes list = handleBytes({7, 0xFFFFFFFEu, 9});
    list.push_back(0xAA);  // 13 bytes: still three handles
    device->answer(output(list));
    EXPECT_EQ(C_FindObjects(session, found, 4, &count), CKR_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(found[0], 7u);
    EXPECT_EQ(found[1], 0xFFFFFFFEu);
    EXPECT_EQ(found[2], 9u);
    EXPECT_EQ(found[3], 0u);
    Request r = only();
    EXPECT_EQ(r.function, fn::FindObjects);
    EXPECT_EQ(r.length, 4u);
}

// Replies that carry no usable list: no handles, more handles than asked for (a hostile device
// overflowing the caller's array), or a reply that does not decode.
TEST_F(Search, BadHandleListsGiveZeroAndWriteNothing) {
    Bytes truncated = encode([] {
        Response r;
        r.data = Bytes(40, 1);
        return r;
    }());
    truncated.erase(truncated.end() - 3, truncated.end());
    const std::pair<Answer, CK_RV> cases[] = {{reply(CKR_OPERATION_NOT_INITIALIZED), CKR_OPERATION_NOT_INITIALIZED},
                                              {output(handleBytes({1, 2, 3})), CKR_FUNCTION_FAILED},
                                              {replyRaw(truncated), CKR_FUNCTION_FAILED}};
    for (const auto& [answer, rv] : cases) {
        auto found = std::make_unique<CK_OBJECT_HANDLE[]>(2);
        found[0] = found[1] = 0x55;
        CK_ULONG count = 99;
        device->answer(answer);
        EXPECT_EQ(C_FindObjects(session, found.get(), 2, &count), rv);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(found[0], 0x55u);
        EXPECT_EQ(found[1], 0x55u);
    }
}

}  // namespace
