// C_GetAttributeValue: the types sent, and what reaches the caller's template from well-formed,
// broken and hostile replies.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;
using dravenholt::wire::Attribute;

namespace {

class Attributes : public SessionTest {
protected:
    void answerWith(std::vector<Attribute> attributes, uint32_t rv = CKR_OK) {
        Response r;
        r.rv = rv;
        r.attributes = std::move(attributes);
        device->answer(reply(r));
    }
};

Attribute number(uint32_t type, uint32_t value) { return Attribute{type, {}, {}, value, {}}; }
Attribute flag(uint32_t type, bool value) { return Attribute{type, {}, {}, {}, value}; }
Attribute text(uint32_t type, const std::string& value) {
    return Attribute{type, static_cast<uint32_t>(value.size()), bytes(value), {}, {}};
}
Attribute announced(uint32_t type, uint32_t length, std::optional<Bytes> value) {
    return Attribute{type, length, std::move(value), {}, {}};
}

// A nested record in the device layout: type, an 8-byte pointer value, length; packed.
void appendDeviceRecord(Bytes& out, uint32_t type, uint64_t pointer, uint32_t length) {
    uint8_t record[16];
    std::memcpy(record, &type, 4);
    std::memcpy(record + 4, &pointer, 8);
    std::memcpy(record + 12, &length, 4);
    out.insert(out.end(), record, record + 16);
}

TEST_F(Attributes, SendsOnlyTheTypesAndLeavesOutputBuffersUnread) {
    // An uninitialised output for a number type must not be read as a value to send.
    const CK_ULONG kGarbage = static_cast<CK_ULONG>(0xDEADBEEFCAFEF00DULL);
    CK_ULONG garbage = kGarbage;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &garbage, sizeof garbage}, {CKA_LABEL, nullptr, 50}};
    answerWith({});
    EXPECT_EQ(C_GetAttributeValue(session, 0x44, tmpl, 2), CKR_DEVICE_ERROR);
    Request r = only();
    EXPECT_EQ(r.function, fn::GetAttributeValue);
    EXPECT_EQ(r.handle, 0x44u);
    ASSERT_EQ(r.templ.size(), 2u);
    for (const Attribute& a : r.templ) EXPECT_FALSE(a.length || a.value || a.number || a.flag);
    EXPECT_EQ(r.templ[0].type, CKA_CLASS);
    EXPECT_EQ(r.templ[1].type, CKA_LABEL);
    // A success without a value for either type is not believed; both records stay as the caller
    // left them.
    EXPECT_EQ(garbage, kGarbage);
    EXPECT_EQ(tmpl[1].ulValueLen, 50u);
}

TEST_F(Attributes, SizeQueriesReportHostSizes) {
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, nullptr, 0},
                           {CKA_TOKEN, nullptr, 0},
                           {CKA_LABEL, nullptr, 0},
                           {CKA_VALUE, nullptr, 0},
                           {CKA_WRAP_TEMPLATE, nullptr, 0}};
    Bytes nested;
    appendDeviceRecord(nested, CKA_ENCRYPT, 0, 1);
    appendDeviceRecord(nested, CKA_KEY_TYPE, 0, 4);
    nested.push_back(0x99);  // not a whole record
    answerWith({number(CKA_CLASS, CKO_SECRET_KEY), flag(CKA_TOKEN, true), text(CKA_LABEL, "ten bytes!"),
                announced(CKA_VALUE, 0xFFFFFFFFu, {}),
                announced(CKA_WRAP_TEMPLATE, static_cast<uint32_t>(nested.size()), nested)});
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 5), CKR_OK);
    EXPECT_EQ(tmpl[0].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(tmpl[1].ulValueLen, 1u);
    EXPECT_EQ(tmpl[2].ulValueLen, 10u);
    EXPECT_EQ(tmpl[3].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(tmpl[4].ulValueLen, 2 * sizeof(CK_ATTRIBUTE));
}

TEST_F(Attributes, ValuesAreCopiedAndATooSmallBufferSpoilsOnlyItsRecord) {
    CK_ULONG keyType = ~CK_ULONG{0};
    CK_BBOOL sensitive = 7;
    char shortLabel[3] = {'x', 'x', 'x'};
    char id[8] = {};
    CK_ATTRIBUTE tmpl[] = {{CKA_KEY_TYPE, &keyType, sizeof keyType},
                           {CKA_SENSITIVE, &sensitive, 1},
                           {CKA_LABEL, shortLabel, sizeof shortLabel},
                           {CKA_ID, id, sizeof id}};
    answerWith({number(CKA_KEY_TYPE, CKK_AES), flag(CKA_SENSITIVE, false), text(CKA_LABEL, "ten bytes!"),
                text(CKA_ID, "abc")});
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 4), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(keyType, CKK_AES);  // every byte written: the wire number became a host CK_ULONG
    EXPECT_EQ(tmpl[0].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(sensitive, CK_FALSE);
    EXPECT_EQ(tmpl[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(std::string(shortLabel, 3), "xxx");
    EXPECT_EQ(tmpl[3].ulValueLen, 3u);
    EXPECT_EQ(std::string(id, 3), "abc");
}

// A reply whose return value says every record was processed must hold every type asked: a
// missing one may be the part of the reply that has not arrived. Other answers carry no values.
TEST_F(Attributes, ProcessedAllWithoutEveryTypeIsADeviceError) {
    for (CK_RV rv : {CKR_OK, CKR_BUFFER_TOO_SMALL, CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_SENSITIVE,
                     CKR_OBJECT_HANDLE_INVALID}) {
        SCOPED_TRACE(rv);
        CK_ULONG bits = 55;
        CK_ATTRIBUTE tmpl[] = {{CKA_LABEL, nullptr, 0}, {CKA_MODULUS_BITS, &bits, sizeof bits}};
        answerWith({text(CKA_LABEL, "abc")}, static_cast<uint32_t>(rv));
        bool processed = rv != CKR_OBJECT_HANDLE_INVALID;
        EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 2), processed ? CKR_DEVICE_ERROR : rv);
        EXPECT_EQ(tmpl[1].ulValueLen, sizeof bits);
        EXPECT_EQ(bits, 55u);
    }
}

TEST_F(Attributes, NumberNeedsRoomForAHostULongAndDeviceErrorsStayTheResult) {
    uint8_t narrow[sizeof(CK_ULONG) - 1] = {};
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, narrow, sizeof narrow}};
    answerWith({number(CKA_CLASS, CKO_DATA)});
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tmpl[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    tmpl[0].ulValueLen = sizeof narrow;
    answerWith({number(CKA_CLASS, CKO_DATA)}, CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(tmpl[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(Attributes, ValuesShorterThanAnnouncedAreReportedUnavailable) {
    // Exactly-sized heap buffers: any copy past the bytes received would be caught.
    auto label = std::make_unique<char[]>(10);
    auto id = std::make_unique<char[]>(5);
    std::memset(label.get(), '-', 10);
    std::memset(id.get(), '-', 5);
    CK_ATTRIBUTE tmpl[] = {{CKA_LABEL, label.get(), 10}, {CKA_ID, id.get(), 5}, {CKA_SUBJECT, nullptr, 0}};
    answerWith({announced(CKA_LABEL, 10, bytes("abc")), announced(CKA_ID, 5, {}),
                announced(CKA_SUBJECT, 300, bytes("x"))});
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 3), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tmpl[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(tmpl[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(tmpl[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(std::string(label.get(), 10), "----------");
    EXPECT_EQ(std::string(id.get(), 5), "-----");
}

TEST_F(Attributes, ValueLongerThanAnnouncedCopiesOnlyTheAnnouncedLength) {
    auto label = std::make_unique<char[]>(4);
    CK_ATTRIBUTE tmpl[] = {{CKA_LABEL, label.get(), 4}};
    answerWith({announced(CKA_LABEL, 4, bytes("abcdefghijklmnop"))});
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 1), CKR_OK);
    EXPECT_EQ(tmpl[0].ulValueLen, 4u);
    EXPECT_EQ(std::string(label.get(), 4), "abcd");
}

TEST_F(Attributes, NestedRecordsGiveTypeAndLengthAndNeverAValueThatDidNotCome) {
    CK_ULONG keyTypeValue = 0;
    auto nested = std::make_unique<CK_ATTRIBUTE[]>(3);
    nested[0] = {0, nullptr, 0};
    nested[1] = {0, &keyTypeValue, sizeof keyTypeValue};
    nested[2] = {0x1234, nullptr, 77};
    CK_ATTRIBUTE tmpl[] = {{CKA_UNWRAP_TEMPLATE, nested.get(), 3 * sizeof(CK_ATTRIBUTE)}};
    Bytes records;
    appendDeviceRecord(records, CKA_ENCRYPT, 0x4141414141414141ULL, 1);
    appendDeviceRecord(records, CKA_KEY_TYPE, 0x10, 4);
    auto answer = [&] { answerWith({announced(CKA_UNWRAP_TEMPLATE, static_cast<uint32_t>(records.size()), records)}); };
    // A nested size query is served; a nested buffer asks for a value the device never sends.
    answer();
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(tmpl[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(nested[0].type, CKA_ENCRYPT);
    EXPECT_EQ(nested[0].ulValueLen, 1u);
    EXPECT_EQ(nested[0].pValue, nullptr);  // never the device's pointer
    EXPECT_EQ(nested[1].type, CKA_KEY_TYPE);
    EXPECT_EQ(nested[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(nested[1].pValue, &keyTypeValue);
    EXPECT_EQ(keyTypeValue, 0u);
    EXPECT_EQ(nested[2].type, 0x1234u);  // beyond the device's records: untouched
    EXPECT_EQ(nested[2].ulValueLen, 77u);

    nested[1].pValue = nullptr;  // types and lengths only: all served
    tmpl[0].ulValueLen = 3 * sizeof(CK_ATTRIBUTE);
    answer();
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 1), CKR_OK);
    EXPECT_EQ(tmpl[0].ulValueLen, 2 * sizeof(CK_ATTRIBUTE));
    EXPECT_EQ(nested[1].ulValueLen, sizeof(CK_ULONG));
}

TEST_F(Attributes, NestedRecordsNeverBeyondTheCallersCount) {
    auto nested = std::make_unique<CK_ATTRIBUTE[]>(1);
    nested[0] = {0x77, nullptr, 5};
    CK_ATTRIBUTE tmpl[] = {{CKA_WRAP_TEMPLATE, nested.get(), sizeof(CK_ATTRIBUTE)}};
    Bytes records;
    for (uint32_t i = 0; i < 3; ++i) appendDeviceRecord(records, CKA_SIGN, 0, 0xFFFFFFFFu);
    answerWith({announced(CKA_WRAP_TEMPLATE, static_cast<uint32_t>(records.size()), records)});
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tmpl[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(nested[0].type, 0x77u);

    // With room for all three, an unavailable nested length becomes the host's marker.
    auto roomy = std::make_unique<CK_ATTRIBUTE[]>(3);
    tmpl[0] = {CKA_WRAP_TEMPLATE, roomy.get(), 3 * sizeof(CK_ATTRIBUTE)};
    answerWith({announced(CKA_WRAP_TEMPLATE, static_cast<uint32_t>(records.size()), records)});
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 1), CKR_OK);
    EXPECT_EQ(roomy[2].type, CKA_SIGN);
    EXPECT_EQ(roomy[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(Attributes, LongTemplatesAreReadFortyTypesACall) {
    std::vector<CK_ATTRIBUTE> tmpl(42);
    std::vector<Attribute> first, second;
    for (uint32_t i = 0; i < 42; ++i) {
        tmpl[i] = {0x80000100u + i, nullptr, 0};
        (i < 40 ? first : second).push_back(announced(0x80000100u + i, i + 1, Bytes(i + 1, 'v')));
    }
    answerWith(first);
    answerWith(second);
    EXPECT_EQ(C_GetAttributeValue(session, 9, tmpl.data(), 42), CKR_OK);
    for (uint32_t i = 0; i < 42; ++i) EXPECT_EQ(tmpl[i].ulValueLen, i + 1);
    auto calls = sent();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].templ.size(), 40u);
    ASSERT_EQ(calls[1].templ.size(), 2u);
    EXPECT_EQ(calls[1].templ[0].type, 0x80000100u + 40);
    EXPECT_EQ(calls[1].handle, 9u);
}

// 41 records: the first call's 40 get no values, the second's one has a buffer too small for
// its value; the answers of both calls combine.
TEST_F(Attributes, ResultsOfSeveralCallsCombineInTheStandardsOrder) {
    const struct {
        CK_RV first, second, result;
    } cases[] = {
        {CKR_OK, CKR_OK, CKR_BUFFER_TOO_SMALL},
        {CKR_ATTRIBUTE_TYPE_INVALID, CKR_OK, CKR_ATTRIBUTE_TYPE_INVALID},
        {CKR_OK, CKR_ATTRIBUTE_SENSITIVE, CKR_ATTRIBUTE_SENSITIVE},
        {CKR_ATTRIBUTE_SENSITIVE, CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_SENSITIVE},
        {CKR_ATTRIBUTE_TYPE_INVALID, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
        {CKR_OBJECT_HANDLE_INVALID, CKR_OK, CKR_OBJECT_HANDLE_INVALID},  // no second call
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        device->requests.clear();
        std::vector<CK_ATTRIBUTE> tmpl(41, CK_ATTRIBUTE{CKA_ID, nullptr, 0});
        char small[1];
        tmpl[40] = {CKA_LABEL, small, sizeof small};
        answerWith({announced(CKA_ID, 0xFFFFFFFFu, {})}, c.first);
        answerWith({text(CKA_LABEL, "abc")}, c.second);
        EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl.data(), 41), c.result);
        bool stopped = c.first == CKR_OBJECT_HANDLE_INVALID;
        EXPECT_EQ(sent().size(), stopped ? 1u : 2u);
        EXPECT_EQ(tmpl[40].ulValueLen, stopped ? sizeof small : CK_UNAVAILABLE_INFORMATION);
        if (stopped) device->script.clear();
    }
}

TEST_F(Attributes, UndecodableReplyStillFillsWhatWasDecoded) {
    // 41 attributes: the 41st fails the decoding, the first 40 are still copied.
    std::vector<Attribute> many;
    for (uint32_t i = 0; i < 41; ++i) many.push_back(number(0x80000100u + i, i));
    CK_ULONG first = 0, last = 99;
    CK_ATTRIBUTE tmpl[] = {{0x80000100u, &first, sizeof first}, {0x80000100u + 40, &last, sizeof last}};
    answerWith(many);
    EXPECT_EQ(C_GetAttributeValue(session, 1, tmpl, 2), CKR_FUNCTION_FAILED);
    EXPECT_EQ(tmpl[0].ulValueLen, 4u);  // vendor types carry their bytes as they are
    EXPECT_EQ(tmpl[1].ulValueLen, sizeof last);
    EXPECT_EQ(last, 99u);
}

}  // namespace
