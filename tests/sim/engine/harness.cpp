#include "harness.h"

namespace simtest {

Device::Device(dravenholt::sim::EngineOptions options)
    : engine_(std::make_unique<dravenholt::sim::Engine>(std::move(options))) {}

Response Device::call(const Request& req) {
    Bytes encoded;
    std::string error;
    EXPECT_TRUE(dravenholt::wire::encodeRequest(req, encoded, 2048, &error)) << error;
    Bytes reply = engine_->process(client, encoded);
    EXPECT_LE(reply.size(), 2048u);
    Response resp;
    EXPECT_TRUE(dravenholt::wire::decodeResponse(reply.data(), reply.size(), resp, &error)) << error;
    return resp;
}

void Device::initToken() { ASSERT_EQ(rv(Call(fn::InitToken).data(kSoPin).data2(toBytes("test token" + std::string(22, ' ')))), CKR_OK); }

uint32_t Device::open(bool rw) {
    Response resp = call(Call(fn::OpenSession).value(CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0)));
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.handle.value_or(0);
}

uint32_t Device::login(uint32_t session, uint32_t userType, const Bytes& pin) {
    return rv(Call(fn::Login, session).value(userType).data(pin));
}

uint32_t Device::readyUserSession() {
    initToken();
    uint32_t s = open(true);
    EXPECT_EQ(login(s, CKU_SO, kSoPin), CKR_OK);
    EXPECT_EQ(rv(Call(fn::InitPIN, s).data(kUserPin)), CKR_OK);
    EXPECT_EQ(rv(Call(fn::Logout, s)), CKR_OK);
    EXPECT_EQ(login(s, CKU_USER, kUserPin), CKR_OK);
    return s;
}

uint32_t Device::create(uint32_t session, const std::vector<Attribute>& templ) {
    Response resp = call(Call(fn::CreateObject, session).templ(templ));
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.handle.value_or(0);
}

Response Device::getAttributes(uint32_t session, uint32_t object, std::initializer_list<uint32_t> types) {
    std::vector<Attribute> asked;
    for (uint32_t t : types) asked.push_back(Attribute{t, {}, {}, {}, {}});
    return call(Call(fn::GetAttributeValue, session).handle(object).templ(asked));
}

Bytes Device::attribute(uint32_t session, uint32_t object, uint32_t type) {
    Response resp = getAttributes(session, object, {type});
    EXPECT_EQ(resp.rv, CKR_OK);
    if (resp.attributes.size() != 1) return {};
    const Attribute& a = resp.attributes[0];
    if (a.number) return le32(*a.number);
    if (a.flag) return Bytes{uint8_t(*a.flag)};
    return a.value.value_or(Bytes{});
}

uint32_t Device::secretKey(uint32_t session, uint32_t keyType, const Bytes& value, std::vector<Attribute> extra) {
    std::vector<Attribute> templ = {num(CKA_CLASS, CKO_SECRET_KEY), num(CKA_KEY_TYPE, keyType), bytes(CKA_VALUE, value)};
    templ.insert(templ.end(), extra.begin(), extra.end());
    return create(session, templ);
}

std::pair<uint32_t, uint32_t> Device::keyPair(uint32_t session, const Mechanism& m, std::vector<Attribute> pub,
                                              std::vector<Attribute> priv) {
    Response resp = call(Call(fn::GenerateKeyPair, session).mech(m).templ(std::move(pub)).templ2(std::move(priv)));
    EXPECT_EQ(resp.rv, CKR_OK);
    return {resp.handle.value_or(0), resp.handle2.value_or(0)};
}

std::vector<uint32_t> Device::find(uint32_t session, std::vector<Attribute> templ) {
    EXPECT_EQ(rv(Call(fn::FindObjectsInit, session).templ(std::move(templ))), CKR_OK);
    std::vector<uint32_t> found;
    for (;;) {
        Bytes batch = call(Call(fn::FindObjects, session).length(2)).data.value_or(Bytes{});
        if (batch.empty()) break;
        for (size_t i = 0; i + 4 <= batch.size(); i += 4)
            found.push_back(batch[i] | batch[i + 1] << 8 | batch[i + 2] << 16 | uint32_t(batch[i + 3]) << 24);
    }
    EXPECT_EQ(rv(Call(fn::FindObjectsFinal, session)), CKR_OK);
    return found;
}

}  // namespace simtest
