// Every operation on the wire as one table: the call, the scripted device's answers, the result,
// the fields the device must see (exactly those, and only fields the function table declares),
// and what the caller gets back.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "frame/context.h"
#include "orvo/admin.h"
#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
using namespace dravenholt;
using wire::Attribute;

namespace {

constexpr FieldSet S = sent::Session;

struct Row {
    const char* name;
    std::function<CK_RV()> call;
    std::vector<Answer> answers;
    CK_RV rv;
    uint32_t function;                    // of every request the call sends
    FieldSet fields;                      // besides the function field
    std::function<void(const std::vector<Request>&)> check = nullptr;
    size_t sends = 1;
};

Answer attributes(std::vector<Attribute> list, uint32_t rv = CKR_OK) {
    Response r;
    r.rv = rv;
    r.attributes = std::move(list);
    return reply(r);
}
Attribute number(uint32_t type, uint32_t value) { return Attribute{type, {}, {}, value, {}}; }
Attribute announced(uint32_t type, uint32_t length, std::optional<Bytes> value) {
    return Attribute{type, length, std::move(value), {}, {}};
}
Attribute text(uint32_t type, const std::string& value) {
    return announced(type, static_cast<uint32_t>(value.size()), bytes(value));
}
// 32-bit numbers as the device stores them (little-endian, like every host this runs on).
Bytes le32(const std::vector<uint32_t>& values) {
    const auto* first = reinterpret_cast<const uint8_t*>(values.data());
    return Bytes(first, first + 4 * values.size());
}
// Nested records in the device layout: type, an 8-byte pointer value, length; packed.
Bytes deviceRecords(std::initializer_list<std::tuple<uint32_t, uint64_t, uint32_t>> records) {
    std::vector<uint32_t> words;
    for (auto [type, pointer, length] : records)
        words.insert(words.end(), {type, static_cast<uint32_t>(pointer), static_cast<uint32_t>(pointer >> 32), length});
    return le32(words);
}
Answer randomBytes(uint8_t fill, int extra = 0) {  // as many bytes as asked for, and `extra`
    return [fill, extra](const Request& request) {
        Response r;
        r.data = Bytes(request.length.value_or(0) + extra, fill);
        return encode(r);
    };
}

class WireTable : public SessionTest {
protected:
    void run(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            SCOPED_TRACE("row " + std::to_string(&row - rows.data()) + " " + row.name);
            device->requests.clear(), device->rawRequests.clear(), device->script.clear();
            for (const Answer& a : row.answers) device->answer(a);
            EXPECT_EQ(row.call(), row.rv);
            auto calls = sent();
            ASSERT_EQ(calls.size(), row.sends);
            const DeviceFunction* declared = deviceFunction(row.function);
            ASSERT_TRUE(declared);
            for (size_t i = 0; i < calls.size(); ++i) {
                FieldSet carried = 0;
                ASSERT_TRUE(fieldsOnWire(device->rawRequests[i].data(), device->rawRequests[i].size(), carried));
                EXPECT_EQ(calls[i].function, row.function);
                EXPECT_EQ(carried, row.fields | sent::Function) << "request " << i;
                EXPECT_EQ(carried & ~declared->request, 0u) << "undeclared field " << firstField(carried & ~declared->request);
                if (carried & S) {
                    EXPECT_EQ(calls[i].session, kDeviceSession);
                }
            }
            if (row.check) row.check(calls);
        }
    }
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE one[1] = {{CKA_VERIFY, &yes, 1}};
    CK_ATTRIBUTE two[2] = {{CKA_SIGN, &yes, 1}, {CKA_SENSITIVE, &yes, 1}};
    CK_OBJECT_HANDLE key = 5, pub = 0, priv = 0;
    CK_ULONG length = 0;
};

TEST_F(WireTable, SigningDigestingEncrypting) {
    CK_BYTE data[3] = {1, 2, 3}, sig[6] = {9, 9, 9, 9, 9, 9}, five[5] = {9, 8, 7, 6, 5};
    CallerBuffer out(64), small(16), enc(16);
    Bytes big = pattern(4500), value(32, 0x77);
    run({
        {"C_Sign", [&] { return length = 64, C_Sign(session, data, 3, out.data(), &length); }, {output(pattern(40), 40)},
         CKR_OK, fn::Sign, S | sent::Data | sent::Length, [&](auto& r) {
             EXPECT_EQ(std::make_tuple(r[0].data, r[0].length, length), std::tuple(Bytes(data, data + 3), 64u, 40u));
             EXPECT_EQ(out.content(40), pattern(40));
             EXPECT_TRUE(out.untouched(40));
         }},
        {"C_DigestUpdate in pieces of 2000", [&] { return C_DigestUpdate(session, big.data(), 4500); }, {}, CKR_OK, fn::DigestUpdate,
         S | sent::Data, [&](auto& r) {
             for (size_t i = 0; i < 3; ++i) EXPECT_EQ(r[i].data, Bytes(big.begin() + i * 2000, big.begin() + std::min<size_t>(i * 2000 + 2000, 4500)));
         }, 3},
        {"update stops at a failing piece", [&] { return C_SignUpdate(session, big.data(), big.size()); },
         {reply(CKR_OK), reply(CKR_DEVICE_ERROR)}, CKR_DEVICE_ERROR, fn::SignUpdate, S | sent::Data, nullptr, 2},
        {"C_VerifyUpdate, no data: one empty piece", [&] { return C_VerifyUpdate(session, nullptr, 0); }, {}, CKR_OK,
         fn::VerifyUpdate, S | sent::Data, [](auto& r) { EXPECT_EQ(r[0].data, Bytes{}); }},
        {"C_Verify", [&] { return C_Verify(session, data, 3, sig, 6); }, {reply(CKR_SIGNATURE_INVALID)}, CKR_SIGNATURE_INVALID,
         fn::Verify, S | sent::Data | sent::Data2,
         [&](auto& r) { EXPECT_EQ(std::make_tuple(r[0].data, r[0].data2), std::tuple(Bytes(data, data + 3), Bytes(sig, sig + 6))); }},
        {"C_VerifyFinal: the signature in field 4", [&] { return C_VerifyFinal(session, sig, 6); }, {}, CKR_OK,
         fn::VerifyFinal, S | sent::Data, [&](auto& r) { EXPECT_EQ(r[0].data, Bytes(sig, sig + 6)); }},
        {"C_DigestKey", [&] { return C_DigestKey(session, 0x1234); }, {}, CKR_OK, fn::DigestKey, S | sent::Handle,
         [](auto& r) { EXPECT_EQ(r[0].handle, 0x1234u); }},
        {"C_DigestFinal without a length pointer", [&] { return C_DigestFinal(session, out.data(), nullptr); },
         {output(value, 32)}, CKR_OK, fn::DigestFinal, S},
        {"C_DigestFinal, digest beyond the buffer", [&] { return length = 16, C_DigestFinal(session, small.data(), &length); },
         {output(value, 32)}, CKR_FUNCTION_FAILED, fn::DigestFinal, S | sent::Length,
         [&](auto&) { EXPECT_TRUE(length == 16u && small.untouched()); }},
        {"C_Digest without a buffer asks the length only", [&] { return length = 0, C_Digest(session, data, 3, nullptr, &length); },
         {lengthOnly(32)}, CKR_OK, fn::DigestFinal, S | sent::LengthOnly, [&](auto&) { EXPECT_EQ(length, 32u); }},
        {"C_Digest, null data with a length: the operation ends, then the refusal",
         [&] { return length = 7, C_Digest(session, nullptr, 10, nullptr, &length); }, {}, CKR_ARGUMENTS_BAD,
         fn::DigestFinal, S | sent::Length, [&](auto& r) { EXPECT_EQ(std::make_tuple(length, r[0].length), std::tuple(7u, 64u)); }},
        {"C_Encrypt, length query", [&] { return length = 3, C_Encrypt(session, five, 5, nullptr, &length); },
         {lengthOnly(16)}, CKR_OK, fn::Encrypt, S | sent::Data | sent::LengthOnly,
         [&](auto& r) { EXPECT_EQ(std::make_tuple(r[0].data, length), std::tuple(Bytes(five, five + 5), 16u)); }},
        {"C_Encrypt", [&] { return length = 16, C_Encrypt(session, five, 5, enc.data(), &length); },
         {output(Bytes(16, 0xC1), 16)}, CKR_OK, fn::Encrypt, S | sent::Data | sent::Length,
         [&](auto& r) { EXPECT_TRUE(r[0].length == 16u && enc.content(16) == Bytes(16, 0xC1) && enc.untouched(16)); }},
        {"C_DecryptUpdate, null input, output without field 4", [&] { return length = 16, C_DecryptUpdate(session, nullptr, 100, enc.data(), &length); },
         {output(Bytes(10, 0xD0))}, CKR_OK, fn::DecryptUpdate, S | sent::Length, [&](auto&) { EXPECT_EQ(length, 10u); }},
        {"C_DecryptFinal, success without bytes is empty output", [&] { return length = 16, C_DecryptFinal(session, enc.data(), &length); },
         {}, CKR_OK, fn::DecryptFinal, S | sent::Length, [&](auto&) { EXPECT_EQ(length, 0u); }},
        {"C_EncryptFinal without buffer or length", [&] { return C_EncryptFinal(session, nullptr, nullptr); }, {},
         CKR_OK, fn::EncryptFinal, S | sent::LengthOnly},
        {"C_EncryptFinal without a length: capacity 0", [&] { return enc = CallerBuffer(16), C_EncryptFinal(session, enc.data(), nullptr); },
         {output(Bytes(1, 0xAB))}, CKR_FUNCTION_FAILED, fn::EncryptFinal, S, [&](auto&) { EXPECT_TRUE(enc.untouched()); }},
        {"C_Encrypt, success announcing more than it carried", [&] { return length = 16, C_Encrypt(session, five, 4, enc.data(), &length); },
         {output(Bytes(8, 0xAB), 4000)}, CKR_FUNCTION_FAILED, fn::Encrypt, S | sent::Data | sent::Length,
         [&](auto&) { EXPECT_EQ(length, 16u); }},
    });
}

// A buffer that may be too small is measured before the data goes out, so that the caller's
// retry digests the data once.
TEST_F(WireTable, DigestSendsItsDataOnce) {
    Bytes data = bytes("abc");
    CallerBuffer digest(64);
    length = 10;
    device->answer(lengthOnly(32));
    EXPECT_EQ(C_Digest(session, data.data(), data.size(), digest.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    EXPECT_TRUE(digest.untouched());
    for (auto answer : {lengthOnly(32), reply(CKR_OK), output(Bytes(32, 0x77), 32)}) device->answer(answer);
    ASSERT_EQ(C_Digest(session, data.data(), data.size(), digest.data(), &length), CKR_OK);
    EXPECT_EQ(digest.content(32), Bytes(32, 0x77));
    auto calls = sent();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(std::make_tuple(calls[2].function, calls[2].data, calls[3].length), std::tuple(fn::DigestUpdate, data, 32u));
}

TEST_F(WireTable, Keys) {
    uint8_t params[3] = {1, 2, 3}, point[65], junk[4] = {9, 9, 9, 9}, wrapped[5] = {1, 2, 3, 4, 5};
    std::memset(point, 0x04, sizeof point);
    CK_MECHANISM aesGen = {CKM_AES_KEY_GEN, params, 3}, ecGen = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_ECDH1_DERIVE_PARAMS ecdh = {CKD_NULL, 0, nullptr, sizeof point, point};
    CK_MECHANISM derive = {CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh};
    CK_RSA_PKCS_OAEP_PARAMS oaep = {CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_MECHANISM wrapOaep = {CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep}, rsa = {CKM_RSA_PKCS, junk, 4};
    CK_MECHANISM aesWrap = {CKM_AES_KEY_WRAP, nullptr, 8};
    CallerBuffer out(300);
    uint32_t during = 0;
    Answer pair = [&](const Request&) {
        during = device->timeout;  // the device's mutex is held while it answers
        return encode([] { Response r; r.handle = 10, r.handle2 = 11; return r; }());
    };
    constexpr FieldSet M = sent::Mechanism;
    run({
        {"C_GenerateKey: the block raw, no length", [&] { return C_GenerateKey(session, &aesGen, one, 1, &key); },
         {answer(CKR_OK, {}, 0x80)}, CKR_OK, fn::GenerateKey, S | M | sent::Template, [&](auto& r) {
             EXPECT_EQ(std::make_tuple(key, r[0].mechanism->mechanism), std::tuple(0x80u, CKM_AES_KEY_GEN));
             EXPECT_TRUE(!r[0].mechanism->parameterLength && r[0].mechanism->parameter == Bytes(params, params + 3));
         }},
        {"C_GenerateKeyPair under the key timeout", [&] { return C_GenerateKeyPair(session, &ecGen, one, 1, two, 2, &pub, &priv); },
         {pair}, CKR_OK, fn::GenerateKeyPair, S | M | sent::Template | sent::Template2, [&](auto& r) {
             EXPECT_EQ(std::make_tuple(during, device->timeout, pub, priv), std::tuple(65000u, 12000u, 10u, 11u));
             EXPECT_TRUE(r[0].templ2.size() == 2u && r[0].mechanism->parameter == Bytes{});
         }},
        {"C_GenerateKeyPair, failed exchange: timeout restored, handles stay",
         [&] { return device->timeouts.clear(), C_GenerateKeyPair(session, &ecGen, one, 1, two, 2, &pub, &priv); },
         {replyRaw({})}, CKR_FUNCTION_FAILED, fn::GenerateKeyPair, S | M | sent::Template | sent::Template2,
         [&](auto&) { EXPECT_TRUE(device->timeouts == (std::vector<uint32_t>{65000, 12000}) && pub == 10u); }},
        {"C_DeriveKey", [&] { return C_DeriveKey(session, &derive, 0x21, nullptr, 0, &key); }, {answer(CKR_OK, {}, 0x33)},
         CKR_OK, fn::DeriveKey, S | M | sent::Handle, [&](auto& r) {
             EXPECT_EQ(std::make_tuple(key, r[0].handle), std::tuple(0x33u, 0x21u));
             ASSERT_TRUE(r[0].mechanism->ecdhParams);
             EXPECT_EQ(r[0].mechanism->ecdhParams->publicData, Bytes(point, point + sizeof point));
         }},
        {"C_WrapKey: the block in the device layout", [&] { return length = 300, C_WrapKey(session, &wrapOaep, 0x10, 0x20, out.data(), &length); },
         {output(Bytes(256, 0xC3))}, CKR_OK, fn::WrapKey, S | M | sent::Handle | sent::Handle2 | sent::Length, [&](auto& r) {
             EXPECT_TRUE(length == 256u && out.untouched(256));  // no field 4: the bytes received
             EXPECT_EQ(std::make_tuple(r[0].handle, r[0].handle2, r[0].length), std::tuple(0x20u, 0x10u, 300u));
             // packed 32-bit, not the host's layout, and never taken apart
             EXPECT_TRUE(r[0].mechanism->parameterLength == 24u && r[0].mechanism->parameter->size() == 24u && !r[0].mechanism->oaepParams);
         }},
        {"C_UnwrapKey: RSA PKCS without its parameter, the caller's mechanism unwritten",
         [&] { return C_UnwrapKey(session, &rsa, 0x12, wrapped, 5, two, 2, &key); }, {answer(CKR_OK, {}, 0x44)}, CKR_OK,
         fn::UnwrapKey, S | M | sent::Handle | sent::Data | sent::Template, [&](auto& r) {
             EXPECT_EQ(std::make_tuple(key, rsa.pParameter, r[0].data), std::tuple(0x44u, junk, Bytes(wrapped, wrapped + 5)));
             EXPECT_TRUE(r[0].mechanism->parameterLength == 0u && r[0].mechanism->parameter == Bytes{});
         }},
        {"C_UnwrapKey, null parameter with a length", [&] { return C_UnwrapKey(session, &aesWrap, 0x12, wrapped, 5, nullptr, 0, &key); },
         {reply(CKR_WRAPPED_KEY_INVALID)}, CKR_WRAPPED_KEY_INVALID, fn::UnwrapKey, S | M | sent::Handle | sent::Data,
         [&](auto& r) { EXPECT_TRUE(key == 0x44u && r[0].mechanism->parameterLength == 0u); }},
    });
}

// Blocks holding CK_ULONGs travel in the device layout (32-bit numbers, zero 8-byte pointers, packed)
// with field 2 the wire length, whether the call encodes its mechanism or fills it directly; derivations
// by encryption carry their data in the block; other blocks travel as they are; a null block is never read.
TEST_F(WireTable, MechanismBlocks) {
    CK_BYTE label[5] = {1, 2, 3, 4, 5}, packed[12] = {0x50, 0x02, 0, 0, 2, 0, 0, 0, 32, 0, 0, 0};
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_AES_CTR_PARAMS ctr{64, {}};
    std::memset(ctr.cb, 0xA0, sizeof ctr.cb);
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, label, sizeof label};
    CK_ECDH1_DERIVE_PARAMS ecdh{CKD_NULL, 5, label, 5, label};
    CK_AES_CBC_ENCRYPT_DATA_PARAMS aesCbc{{}, label, 5};
    CK_DES_CBC_ENCRYPT_DATA_PARAMS desCbc{{}, label, 5};
    std::memset(aesCbc.iv, 0x11, sizeof aesCbc.iv), std::memset(desCbc.iv, 0x22, sizeof desCbc.iv);
    CK_KEY_DERIVATION_STRING_DATA text{label, 5};
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const Bytes noPointer(8, 0), data(label, label + 5);
    auto block = [&](uint32_t function, CK_MECHANISM m, uint32_t length, Bytes expected) {
        return Row{"", [&, function, m]() mutable {
                       return function == fn::SignInit      ? C_SignInit(session, &m, 1)
                              : function == fn::EncryptInit ? C_EncryptInit(session, &m, 1)
                                                            : C_DeriveKey(session, &m, 1, nullptr, 0, &key);
                   },
                   {answer(CKR_OK, {}, 9)}, CKR_OK, function, S | sent::Mechanism | sent::Handle, [=](auto& r) {
                       EXPECT_EQ(std::make_tuple(r[0].mechanism->mechanism, r[0].mechanism->parameterLength, r[0].mechanism->parameter),
                                 std::make_tuple(m.mechanism, std::optional(length), std::optional(expected)));
                       EXPECT_FALSE(r[0].mechanism->oaepParams || r[0].mechanism->ecdhParams);
                   }};
    };
    run({
        block(fn::SignInit, {CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss}, 12, le32({CKM_SHA256, CKG_MGF1_SHA256, 32})),
        block(fn::EncryptInit, {CKM_AES_CTR, &ctr, sizeof ctr}, 20, cat({le32({64}), Bytes(16, 0xA0)})),
        block(fn::SignInit, {CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep}, 24, cat({le32({CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED}), noPointer, le32({5})})),
        block(fn::SignInit, {CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh}, 28, cat({le32({CKD_NULL, 5}), noPointer, le32({5}), noPointer})),
        block(fn::EncryptInit, {CKM_AES_CBC_ENCRYPT_DATA, &aesCbc, sizeof aesCbc}, 21, cat({Bytes(16, 0x11), data})),
        block(fn::EncryptInit, {CKM_DES3_CBC_ENCRYPT_DATA, &desCbc, sizeof desCbc}, 13, cat({Bytes(8, 0x22), data})),
        block(fn::EncryptInit, {CKM_AES_ECB_ENCRYPT_DATA, &text, sizeof text}, 5, data),
        block(fn::SignInit, {CKM_DES_ECB_ENCRYPT_DATA, &text, sizeof text}, 5, data),
        block(fn::SignInit, {CKM_SHA256_RSA_PKCS_PSS, packed, sizeof packed}, 12, Bytes(packed, packed + 12)),
        block(fn::DeriveKey, {CKM_ECDH1_DERIVE, nullptr, sizeof ecdh}, 0, Bytes{}),
    });
}

TEST_F(WireTable, ObjectsAndSearch) {
    CK_ULONG valueLen = 32;
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    char label[] = "my key";
    CK_ATTRIBUTE forms[] = {{CKA_TOKEN, &yes, 1}, {CKA_VALUE_LEN, &valueLen, sizeof valueLen}, {CKA_LABEL, label, 6},
                            {CKA_CLASS, &cls, 0}, {CKA_ID, nullptr, 10}, {CKA_KEY_TYPE, &cls, sizeof(CK_ULONG) - 1}};
    CK_KEY_TYPE aes = CKK_AES;
    CK_ATTRIBUTE nested[] = {{CKA_EXTRACTABLE, &yes, 1}, {CKA_KEY_TYPE, &aes, sizeof aes}};
    CK_ATTRIBUTE wrapTemplate[] = {{CKA_WRAP_TEMPLATE, nested, sizeof nested}};
    CK_ATTRIBUTE ragged[] = {{CKA_WRAP_TEMPLATE, nested, sizeof nested - 1}};
    CK_OBJECT_HANDLE found[4] = {}, object = 77;
    CK_ULONG count = 99, size = 1234;
    auto search = [&](const char* name, Answer answer, CK_RV rv) {
        return Row{name, [&] { return found[0] = found[1] = 0x55, C_FindObjects(session, found, 2, &count); }, {answer}, rv,
                   fn::FindObjects, S | sent::Length,
                   [&](auto&) { EXPECT_EQ(std::tuple(count, found[0], found[1]), std::tuple(0u, 0x55u, 0x55u)); }};
    };
    run({
        {"C_CreateObject: each value in its form", [&] { return C_CreateObject(session, forms, 6, &object); },
         {answer(CKR_OK, {}, 0xFFFFFFF0u)}, CKR_OK, fn::CreateObject, S | sent::Template, [&](auto& r) {
             EXPECT_EQ(object, 0xFFFFFFF0u);  // widened, not sign-extended
             const auto& t = r[0].templ;
             ASSERT_EQ(t.size(), 6u);
             EXPECT_EQ(t[0].flag, true);
             EXPECT_EQ(t[1].number, 32u);
             EXPECT_FALSE(t[1].length);
             EXPECT_EQ(t[2].value, bytes("my key"));
             EXPECT_TRUE(t[3].length == 0u && !t[3].value && !t[3].number);  // no value: empty bytes form
             EXPECT_EQ(t[4].value, Bytes{});
             EXPECT_EQ(forms[4].ulValueLen, 10u);  // the caller's template is never written
             EXPECT_TRUE(!t[5].number && t[5].length == sizeof(CK_ULONG) - 1);
         }},
        {"C_CreateObject fails: the handle stays", [&] { return C_CreateObject(session, one, 1, &object); },
         {answer(CKR_TEMPLATE_INCOMPLETE, {}, 5)}, CKR_TEMPLATE_INCOMPLETE, fn::CreateObject, S | sent::Template,
         [&](auto&) { EXPECT_EQ(object, 0xFFFFFFF0u); }},
        {"array attribute: device records without addresses", [&] { return C_CreateObject(session, wrapTemplate, 1, &object); },
         {answer(CKR_OK, {}, 5)}, CKR_OK, fn::CreateObject, S | sent::Template, [&](auto& r) {
             EXPECT_EQ(r[0].templ[0].value, deviceRecords({{CKA_EXTRACTABLE, 0, 1}, {CKA_KEY_TYPE, 0, sizeof aes}}));
         }},
        {"array attribute of a ragged length: refused before sending", [&] { return C_CreateObject(session, ragged, 1, &object); },
         {}, CKR_ATTRIBUTE_VALUE_INVALID, fn::CreateObject, 0, nullptr, 0},
        {"C_CopyObject", [&] { return C_CopyObject(session, 0x1234, one, 0, &object); }, {answer(CKR_OK, {}, 9)}, CKR_OK,
         fn::CopyObject, S | sent::Handle, [&](auto& r) { EXPECT_EQ(std::make_tuple(r[0].handle, object), std::tuple(0x1234u, 9u)); }},
        {"C_DestroyObject", [&] { return C_DestroyObject(session, 42); }, {reply(CKR_OBJECT_HANDLE_INVALID)},
         CKR_OBJECT_HANDLE_INVALID, fn::DestroyObject, S | sent::Handle, [](auto& r) { EXPECT_EQ(r[0].handle, 42u); }},
        {"C_SetAttributeValue", [&] { return C_SetAttributeValue(session, 11, forms + 2, 1); }, {reply(CKR_ATTRIBUTE_READ_ONLY)},
         CKR_ATTRIBUTE_READ_ONLY, fn::SetAttributeValue, S | sent::Handle | sent::Template,
         [](auto& r) { EXPECT_EQ(r[0].templ[0].value, bytes("my key")); }},
        {"C_GetObjectSize", [&] { return C_GetObjectSize(session, 7, &size); }, {lengthOnly(300)}, CKR_OK,
         fn::GetObjectSize, S | sent::Handle, [&](auto&) { EXPECT_EQ(size, 300u); }},
        {"C_GetObjectSize, unavailable", [&] { return C_GetObjectSize(session, 7, &size); }, {lengthOnly(0xFFFFFFFFu)},
         CKR_OK, fn::GetObjectSize, S | sent::Handle, [&](auto&) { EXPECT_EQ(size, CK_UNAVAILABLE_INFORMATION); }},
        {"C_FindObjectsInit", [&] { return C_FindObjectsInit(session, forms + 3, 1); }, {}, CKR_OK, fn::FindObjectsInit,
         S | sent::Template},
        {"C_FindObjectsInit, null template", [&] { return C_FindObjectsInit(session, nullptr, 5); }, {}, CKR_OK,
         fn::FindObjectsInit, S},
        {"C_FindObjects: widened in order, a partial trailing handle ignored",
         [&] { return C_FindObjects(session, found, 4, &count); }, {output([] { Bytes b = le32({7, 0xFFFFFFFEu, 9}); b.push_back(0xAA); return b; }())},
         CKR_OK, fn::FindObjects, S | sent::Length, [&](auto& r) {
             EXPECT_EQ(r[0].length, 4u);
             EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>(found, found + 4), (std::vector<CK_OBJECT_HANDLE>{7, 0xFFFFFFFEu, 9, 0}));
             EXPECT_EQ(count, 3u);
         }},
        search("C_FindObjects, no list", reply(CKR_OPERATION_NOT_INITIALIZED), CKR_OPERATION_NOT_INITIALIZED),
        search("C_FindObjects, more handles than asked for", output(le32({1, 2, 3})), CKR_FUNCTION_FAILED),
        {"C_FindObjectsFinal", [&] { return C_FindObjectsFinal(session); }, {}, CKR_OK, fn::FindObjectsFinal, S},
    });
}

TEST_F(WireTable, RandomSessionsAndPins) {
    std::vector<uint8_t> buffer(2500, 0), seed(1500, 0x5A);
    auto ten = std::make_unique<uint8_t[]>(10);  // exactly sized: a write beyond it is caught
    CK_UTF8CHAR oldPin[] = "1111", newPin[] = "22222";
    CK_SESSION_INFO info{};
    Response sessionInfo;
    sessionInfo.sessionInfo = SessionInfoMsg{CKS_RW_USER_FUNCTIONS, CKF_SERIAL_SESSION | CKF_RW_SESSION, 3};
    run({
        {"C_GenerateRandom: pieces of 1024 at their offsets", [&] { return C_GenerateRandom(session, buffer.data(), 2500); },
         {randomBytes(1), randomBytes(2), randomBytes(3)}, CKR_OK, fn::GenerateRandom, S | sent::Length, [&](auto& r) {
             EXPECT_EQ(std::make_tuple(r[0].length, r[1].length, r[2].length), std::tuple(1024u, 1024u, 452u));
             EXPECT_EQ(std::make_tuple(buffer[1023], buffer[1024], buffer[2048], buffer[2499]), std::tuple(1, 2, 3, 3));
         }, 3},
        {"C_GenerateRandom stops at a failing piece", [&] { return std::fill(buffer.begin(), buffer.end(), 0), C_GenerateRandom(session, buffer.data(), 2500); },
         {randomBytes(1), reply(CKR_DEVICE_ERROR)}, CKR_DEVICE_ERROR, fn::GenerateRandom, S | sent::Length,
         [&](auto&) { EXPECT_EQ(std::make_tuple(buffer[1023], buffer[1024]), std::tuple(1, 0)); }, 2},
        {"C_GenerateRandom, long piece", [&] { return C_GenerateRandom(session, ten.get(), 10); }, {randomBytes(2, 1)},
         CKR_FUNCTION_FAILED, fn::GenerateRandom, S | sent::Length},
        {"C_SeedRandom in one piece", [&] { return C_SeedRandom(session, seed.data(), seed.size()); },
         {reply(CKR_RANDOM_SEED_NOT_SUPPORTED)}, CKR_RANDOM_SEED_NOT_SUPPORTED, fn::SeedRandom, S | sent::Data,
         [&](auto& r) { EXPECT_EQ(r[0].data, seed); }},
        {"C_Login", [&] { return C_Login(session, CKU_CONTEXT_SPECIFIC, oldPin, 4); }, {}, CKR_OK, fn::Login,
         S | sent::Data | sent::Value, [&](auto& r) {
             EXPECT_EQ(std::tuple(r[0].value, r[0].data), std::tuple(CKU_CONTEXT_SPECIFIC, Bytes(oldPin, oldPin + 4)));
         }},
        {"C_InitPIN, empty", [&] { return C_InitPIN(session, nullptr, 0); }, {}, CKR_OK, fn::InitPIN, S | sent::Data,
         [](auto& r) { EXPECT_EQ(r[0].data, Bytes{}); }},
        {"C_SetPIN", [&] { return C_SetPIN(session, oldPin, 4, newPin, 5); }, {}, CKR_OK, fn::SetPIN,
         S | sent::Data | sent::Data2, [&](auto& r) { EXPECT_EQ(r[0].data2, Bytes(newPin, newPin + 5)); }},
        {"C_GetSessionInfo", [&] { return C_GetSessionInfo(session, &info); }, {reply(sessionInfo)}, CKR_OK,
         fn::GetSessionInfo, S, [&](auto&) {
             EXPECT_EQ(std::make_tuple(info.state, info.flags, info.ulDeviceError),
                       std::tuple(CKS_RW_USER_FUNCTIONS, CK_FLAGS{CKF_SERIAL_SESSION | CKF_RW_SESSION}, 3u));
         }},
        {"C_Logout", [&] { return C_Logout(session); }, {}, CKR_OK, fn::Logout, S},
    });
}

TEST_F(WireTable, SlotCalls) {
    CK_SESSION_HANDLE h = 0;
    CK_UTF8CHAR pin[] = "so-pin", label[33] = "My token                        ";
    CK_TOKEN_INFO token;
    Response info;
    TokenInfoMsg t = TokenInfoMsg_init_zero;
    wire::setBytesField(t.label.bytes, t.label.size, 32, "short");
    t.maxSessionCount = 0xFFFFFFFF;
    t.hardwareVersionMajor = 0x102;
    info.tokenInfo = t;
    run({
        {"C_OpenSession: the flags", [&] { return C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h); },
         {answer(CKR_OK, {}, 78)}, CKR_OK, fn::OpenSession, sent::Value,
         [](auto& r) { EXPECT_EQ(r[0].value, CKF_SERIAL_SESSION | CKF_RW_SESSION); }},
        {"C_GetTokenInfo: blank padded", [&] { return std::memset(&token, '#', sizeof token), C_GetTokenInfo(0, &token); },
         {reply(info)}, CKR_OK, fn::GetTokenInfo, 0, [&](auto&) {
             EXPECT_EQ(std::string(reinterpret_cast<char*>(token.label), 32), "short" + std::string(27, ' '));
             EXPECT_EQ(std::string(reinterpret_cast<char*>(token.model), 16), std::string(16, ' '));
             EXPECT_EQ(std::make_tuple(token.ulMaxSessionCount, token.hardwareVersion.major), std::tuple(CK_UNAVAILABLE_INFORMATION, 2));
         }},
        {"C_GetTokenInfo fails: only the flags written", [&] { return std::memset(&token, '#', sizeof token), C_GetTokenInfo(0, &token); },
         {reply(CKR_DEVICE_ERROR)}, CKR_DEVICE_ERROR, fn::GetTokenInfo, 0,
         [&](auto&) { EXPECT_EQ(std::make_tuple(token.flags, token.label[0]), std::tuple(0u, '#')); }},
        {"C_InitToken: the PIN and 32 label bytes", [&] { return C_InitToken(0, pin, 6, label); }, {reply(CKR_PIN_INCORRECT)},
         CKR_PIN_INCORRECT, fn::InitToken, sent::Data | sent::Data2, [&](auto& r) {
             EXPECT_EQ(std::tuple(r[0].data, r[0].data2), std::tuple(Bytes(pin, pin + 6), Bytes(label, label + 32)));
         }},
        {"C_CloseSession", [&] { return C_CloseSession(session); }, {}, CKR_OK, fn::CloseSession, S},
        {"C_CloseAllSessions", [&] { return C_CloseAllSessions(0); }, {}, CKR_OK, fn::CloseAllSessions, 0},
    });
}

// C_GetAttributeValue sends the types alone and takes from well-formed, broken and hostile
// replies only what they carry, within each record's buffer.
TEST_F(WireTable, Attributes) {
    constexpr FieldSet F = S | sent::Handle | sent::Template;
    const CK_ULONG kGarbage = static_cast<CK_ULONG>(0xDEADBEEFCAFEF00DULL);
    CK_ULONG ul = kGarbage;
    CK_BBOOL flag = 7;
    char shortLabel[3] = {'x', 'x', 'x'}, id[8] = {};
    auto label = std::make_unique<char[]>(10);  // exactly sized: any copy past the bytes received is caught
    std::memset(label.get(), '-', 10);
    uint8_t narrow[sizeof(CK_ULONG) - 1] = {};
    auto nested = std::make_unique<CK_ATTRIBUTE[]>(3);
    Bytes records = deviceRecords({{CKA_ENCRYPT, 0x4141414141414141ULL, 1}, {CKA_KEY_TYPE, 0x10, 4}});
    Bytes ragged = records;
    ragged.push_back(0x99);
    std::vector<CK_ATTRIBUTE> t;
    auto get = [&](std::vector<CK_ATTRIBUTE> tmpl) {
        return [&, tmpl] { return t = tmpl, C_GetAttributeValue(session, 0x44, t.data(), t.size()); };
    };
    std::vector<Attribute> forty, fortyOne, numbers;
    std::vector<CK_ATTRIBUTE> vendor;
    for (uint32_t i = 0; i < 41; ++i) {
        (i < 40 ? forty : fortyOne).push_back(announced(0x80000100u + i, i + 1, Bytes(i + 1, 'v')));
        numbers.push_back(number(0x80000100u + i, i));
        vendor.push_back({0x80000100u + i, nullptr, 0});
    }
    // The results of the forty-type calls combine: the first call's 40 records without values, the
    // second's one with a buffer too small.
    char tiny[1];
    auto combined = [&](CK_RV first, CK_RV second, CK_RV rv) {
        std::vector<CK_ATTRIBUTE> tmpl(41, CK_ATTRIBUTE{CKA_ID, nullptr, 0});
        tmpl[40] = {CKA_LABEL, tiny, sizeof tiny};
        return Row{"combined", get(tmpl), {attributes({announced(CKA_ID, 0xFFFFFFFFu, {})}, first), attributes({text(CKA_LABEL, "abc")}, second)},
                   rv, fn::GetAttributeValue, F, nullptr, 2};
    };
    run({
        combined(CKR_OK, CKR_OK, CKR_BUFFER_TOO_SMALL),
        combined(CKR_ATTRIBUTE_TYPE_INVALID, CKR_OK, CKR_ATTRIBUTE_TYPE_INVALID),
        combined(CKR_OK, CKR_ATTRIBUTE_SENSITIVE, CKR_ATTRIBUTE_SENSITIVE),
        combined(CKR_ATTRIBUTE_SENSITIVE, CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_SENSITIVE),
        combined(CKR_ATTRIBUTE_TYPE_INVALID, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR),
        {"types only, output buffers unread; success without the types is not believed",
         get({{CKA_CLASS, &ul, sizeof ul}, {CKA_LABEL, nullptr, 50}}), {attributes({})}, CKR_DEVICE_ERROR,
         fn::GetAttributeValue, F, [&](auto& r) {
             EXPECT_EQ(r[0].handle, 0x44u);
             for (const Attribute& a : r[0].templ) EXPECT_FALSE(a.length || a.value || a.number || a.flag);
             EXPECT_EQ(std::make_tuple(r[0].templ[0].type, r[0].templ[1].type), std::tuple(CKA_CLASS, CKA_LABEL));
             EXPECT_EQ(std::make_tuple(ul, t[1].ulValueLen), std::tuple(kGarbage, 50u));
         }},
        {"sizes in host terms", get({{CKA_CLASS, nullptr, 0}, {CKA_TOKEN, nullptr, 0}, {CKA_VALUE, nullptr, 0}, {CKA_WRAP_TEMPLATE, nullptr, 0}}),
         {attributes({number(CKA_CLASS, CKO_SECRET_KEY), Attribute{CKA_TOKEN, {}, {}, {}, true}, announced(CKA_VALUE, 0xFFFFFFFFu, {}),
                      announced(CKA_WRAP_TEMPLATE, static_cast<uint32_t>(ragged.size()), ragged)})},
         CKR_OK, fn::GetAttributeValue, F, [&](auto&) {
             EXPECT_EQ(std::make_tuple(t[0].ulValueLen, t[1].ulValueLen, t[2].ulValueLen, t[3].ulValueLen),
                       std::tuple(sizeof(CK_ULONG), 1u, CK_UNAVAILABLE_INFORMATION, 2 * sizeof(CK_ATTRIBUTE)));
         }},
        {"a buffer too small spoils only its record",
         get({{CKA_KEY_TYPE, &ul, sizeof ul}, {CKA_SENSITIVE, &flag, 1}, {CKA_LABEL, shortLabel, 3}, {CKA_ID, id, 8}}),
         {attributes({number(CKA_KEY_TYPE, CKK_AES), Attribute{CKA_SENSITIVE, {}, {}, {}, false}, text(CKA_LABEL, "ten bytes!"), text(CKA_ID, "abc")})},
         CKR_BUFFER_TOO_SMALL, fn::GetAttributeValue, F, [&](auto&) {
             EXPECT_EQ(std::make_tuple(ul, flag, t[2].ulValueLen, t[3].ulValueLen), std::tuple(CKK_AES, CK_FALSE, CK_UNAVAILABLE_INFORMATION, 3u));
             EXPECT_EQ(std::string(shortLabel, 3) + std::string(id, 3), "xxxabc");
         }},
        {"processed all, a type missing: a device error, the record untouched",
         get({{CKA_LABEL, nullptr, 0}, {CKA_MODULUS_BITS, &ul, sizeof ul}}), {attributes({text(CKA_LABEL, "abc")}, CKR_ATTRIBUTE_SENSITIVE)},
         CKR_DEVICE_ERROR, fn::GetAttributeValue, F, [&](auto&) { EXPECT_EQ(ul, CKK_AES); }},
        {"a number needs room for a host CK_ULONG", get({{CKA_CLASS, narrow, sizeof narrow}}), {attributes({number(CKA_CLASS, CKO_DATA)})},
         CKR_BUFFER_TOO_SMALL, fn::GetAttributeValue, F, [&](auto&) { EXPECT_EQ(t[0].ulValueLen, CK_UNAVAILABLE_INFORMATION); }},
        {"a byte string one byte short is not copied", get({{CKA_LABEL, label.get(), 9}}), {attributes({text(CKA_LABEL, "ten bytes!")})},
         CKR_BUFFER_TOO_SMALL, fn::GetAttributeValue, F, [&](auto&) {
             EXPECT_EQ(t[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
             EXPECT_EQ(std::string(label.get(), 10), "----------");
         }},
        {"values shorter than announced are unavailable", get({{CKA_LABEL, label.get(), 10}, {CKA_ID, id, 5}, {CKA_SUBJECT, nullptr, 0}}),
         {attributes({announced(CKA_LABEL, 10, bytes("abc")), announced(CKA_ID, 5, {}), announced(CKA_SUBJECT, 300, bytes("x"))})},
         CKR_BUFFER_TOO_SMALL, fn::GetAttributeValue, F, [&](auto&) {
             for (const CK_ATTRIBUTE& a : t) EXPECT_EQ(a.ulValueLen, CK_UNAVAILABLE_INFORMATION);
             EXPECT_EQ(std::string(label.get(), 10), "----------");
         }},
        {"a value longer than announced: the announced length", get({{CKA_LABEL, label.get(), 4}}),
         {attributes({announced(CKA_LABEL, 4, bytes("abcdefghijklmnop"))})}, CKR_OK, fn::GetAttributeValue, F,
         [&](auto&) { EXPECT_EQ(std::string(label.get(), 10), "abcd------"); }},
        {"nested records: type and length, never a value that did not come, nor the device's pointer",
         [&] {
             nested[0] = {0, nullptr, 0}, nested[1] = {0, &ul, sizeof ul}, nested[2] = {0x1234, nullptr, 77};
             return get({{CKA_UNWRAP_TEMPLATE, nested.get(), 3 * sizeof(CK_ATTRIBUTE)}})();
         },
         {attributes({announced(CKA_UNWRAP_TEMPLATE, static_cast<uint32_t>(records.size()), records)})}, CKR_ATTRIBUTE_SENSITIVE,
         fn::GetAttributeValue, F, [&](auto&) {
             EXPECT_EQ(std::make_tuple(nested[0].type, nested[0].ulValueLen, nested[0].pValue), std::tuple(CKA_ENCRYPT, 1u, nullptr));
             EXPECT_EQ(std::make_tuple(nested[1].ulValueLen, nested[1].pValue), std::tuple(CK_UNAVAILABLE_INFORMATION, &ul));
             EXPECT_EQ(std::make_tuple(nested[2].type, nested[2].ulValueLen), std::tuple(0x1234u, 77u));  // beyond the records
         }},
        {"nested records beyond the caller's count",
         [&] { return nested[0] = {0x77, nullptr, 5}, nested[1] = {0x78, nullptr, 5}, get({{CKA_WRAP_TEMPLATE, nested.get(), sizeof(CK_ATTRIBUTE)}})(); },
         {attributes({announced(CKA_WRAP_TEMPLATE, 48, deviceRecords({{CKA_SIGN, 0, 1}, {CKA_SIGN, 0, 1}, {CKA_SIGN, 0, 1}}))})},
         CKR_BUFFER_TOO_SMALL, fn::GetAttributeValue, F, [&](auto&) { EXPECT_EQ(std::make_tuple(nested[0].type, nested[1].type), std::tuple(0x77u, 0x78u)); }},
        {"forty types a call", get(vendor), {attributes(forty), attributes(fortyOne)}, CKR_OK, fn::GetAttributeValue, F,
         [&](auto& r) {
             for (uint32_t i = 0; i < 41; ++i) EXPECT_EQ(t[i].ulValueLen, i + 1);
             EXPECT_EQ(std::make_tuple(r[0].templ.size(), r[1].templ.size(), r[1].handle), std::tuple(40u, 1u, 0x44u));
         }, 2},
        {"the first call's failure ends it", get(vendor), {attributes({}, CKR_OBJECT_HANDLE_INVALID)}, CKR_OBJECT_HANDLE_INVALID,
         fn::GetAttributeValue, F},
        {"an undecodable reply still fills what was decoded", get({{0x80000100u, &ul, sizeof ul}, {0x80000128u, &flag, 1}}),
         {attributes(numbers)},
         CKR_FUNCTION_FAILED, fn::GetAttributeValue, F, [&](auto&) {
             EXPECT_EQ(std::make_tuple(t[0].ulValueLen, t[1].ulValueLen, flag), std::tuple(4u, 1u, CK_FALSE));
         }},
    });
}

using Sessions = DeviceTest;

TEST_F(Sessions, SlotsAndTheirListsWithoutTheDevice) {
    CK_SLOT_ID list[3] = {9, 9, 9};
    CK_ULONG n = 1;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, list, &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::make_tuple(n, list[0]), std::tuple(2u, 9u));
    n = 3;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, list, &n), CKR_OK);
    EXPECT_EQ(std::make_tuple(n, list[0], list[1], list[2]), std::tuple(2u, 0u, 1u, 9u));
    ASSERT_EQ(C_GetMechanismList(0, nullptr, &n), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> mechanisms(n--, 0xDEAD);
    EXPECT_EQ(C_GetMechanismList(0, mechanisms.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::make_tuple(n, mechanisms[0]), std::tuple(mechanisms.size(), 0xDEADu));
    b->openError = "Device not detected";  // a device that cannot be opened: a slot without a token
    getContext().ports().find(1)->close();
    CK_SLOT_INFO slot;
    CK_TOKEN_INFO token;
    ASSERT_EQ(C_GetSlotInfo(1, &slot), CKR_OK);
    EXPECT_EQ(slot.flags, 0u);
    EXPECT_EQ(C_GetTokenInfo(1, &token), CKR_TOKEN_NOT_PRESENT);
    EXPECT_TRUE(b->calls().empty());
}

TEST_F(Sessions, TheLibrarysHandlesKeepDevicesApartAndOutliveTheDevicesAnswer) {
    CK_SESSION_HANDLE ha = open(0, 1), hb = open(1, 1), h2 = open(0, 5);
    EXPECT_NE(ha, hb);
    EXPECT_EQ(C_Logout(hb), CKR_OK);
    EXPECT_EQ(std::make_tuple(b->lastCall().function, b->lastCall().session), std::tuple(fn::Logout, std::optional<uint32_t>(1)));
    EXPECT_TRUE(a->calls().empty());
    a->answer(reply(CKR_DEVICE_ERROR));
    EXPECT_EQ(C_CloseSession(ha), CKR_DEVICE_ERROR);  // erased whatever the device says
    EXPECT_EQ(C_Logout(ha), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);  // the entries stay, and the device answers for them
    a->answer(reply(CKR_SESSION_HANDLE_INVALID));
    EXPECT_EQ(C_Logout(h2), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(a->calls().size(), 3u);
}

// By the time its reply is read, a request carrying a PIN is zeroed in the library's buffer; one of
// other data (the seed) is not. The trace log names the calls, never the PIN.
TEST_F(Sessions, PinsAreWipedOnceSentAndNeverLogged) {
    CK_SESSION_HANDLE h = open(0, 2);
    CK_UTF8CHAR pin[] = "8642097531", other[] = "1357924680", label[33] = "label";
    const std::pair<std::function<CK_RV()>, bool> cases[] = {
        {[&] { return C_Login(h, CKU_USER, pin, 10); }, true},
        {[&] { return C_InitPIN(h, pin, 10); }, true},
        {[&] { return C_SetPIN(h, pin, 10, other, 10); }, true},
        {[&] { return C_SetPIN(h, other, 10, pin, 10); }, true},
        {[&] { return C_InitToken(0, pin, 10, label); }, true},
        {[&] { return C_SeedRandom(h, pin, 10); }, false},
    };
    for (const auto& [call, wiped] : cases) {
        a->heldAtRead.clear();
        ASSERT_EQ(call(), CKR_OK);
        ASSERT_EQ(a->heldAtRead.size(), 1u);
        const Bytes& held = a->heldAtRead[0];
        EXPECT_EQ(std::search(held.begin(), held.end(), pin, pin + 10) != held.end(), !wiped);
        EXPECT_EQ(std::all_of(held.begin(), held.end(), [](uint8_t b) { return b == 0; }), wiped);
    }
    EXPECT_TRUE(logged("TRACE : C_Login\n") && !logged("8642097531"));
}

struct SessionThreads : DeviceTest {
    SessionThreads() { b->kind = dravenholt::TransportKind::Hid; }
};

// Four threads on two devices (one over HID), token and administration calls: each reaches the device
// its slot or session selected, and a backup's second piece names the transfer its first piece began.
TEST_F(SessionThreads, EachCallReachesThePortItSelected) {
    std::mutex m;
    uint32_t next = 1, pending[2] = {0, 0};
    std::atomic<int> wrong{0};
    for (int index : {0, 1}) {
        const std::string mark(1, "AB"[index]);  // in every answer
        (index ? b : a)->fallback = [&, index, mark](const Request& r) {
            std::lock_guard<std::mutex> g(m);
            Response out;
            TokenInfoMsg t = TokenInfoMsg_init_zero;
            wire::setBytesField(t.label.bytes, t.label.size, 32, mark);
            out.tokenInfo = t;
            out.data = Bytes(4, mark[0]);
            if (r.function == fn::BackupStorage && !r.handle) {
                wrong += pending[index] != 0;
                out.rv = CKR_OPERATION_ACTIVE;
                out.handle = pending[index] = next++;
            } else if (r.function == fn::BackupStorage) {
                wrong += *r.handle != pending[index];
                pending[index] = 0;
            } else {
                out.handle = 1;
            }
            return encode(out);
        };
    }
    CK_SESSION_HANDLE sessions[2] = {open(0, 1), open(1, 1)};
    auto worker = [&](CK_SLOT_ID slot) {
        const char mark = "AB"[slot];
        for (int i = 0; i < 200; ++i) {
            CK_TOKEN_INFO info;
            uint8_t buffer[16];
            uint64_t length = sizeof buffer;
            uint32_t path[1] = {0};
            wrong += C_GetTokenInfo(slot, &info) != CKR_OK || info.label[0] != mark;
            wrong += C_Logout(sessions[slot]) != CKR_OK;
            wrong += u32BackupStorage(slot, buffer, &length) != CKR_OK || length != 8 || buffer[7] != mark;
            length = sizeof buffer;
            wrong += u32GetBitcoinPub(sessions[slot], path, 1, buffer, &length) != CKR_OK || buffer[3] != mark;
        }
    };
    std::thread t1(worker, 0), t2(worker, 1), t3(worker, 0), t4(worker, 1);
    for (std::thread* t : {&t1, &t2, &t3, &t4}) t->join();
    EXPECT_EQ(std::make_tuple(wrong.load(), a->calls().size(), b->calls().size()), std::tuple(0, 2000u, 2000u));
}

}  // namespace
