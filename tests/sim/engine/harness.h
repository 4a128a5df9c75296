// Drives one engine through encoded requests, as the library would.
#pragma once
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "call.h"
#include "engine/engine.h"

namespace simtest {

using dravenholt::sim::Engine;
using dravenholt::wire::Response;

class Device {
public:
    explicit Device(dravenholt::sim::EngineOptions options = {}) : engine_(std::move(options)) {}

    // Every reply must decode and fit the message limit.
    Response raw(const Bytes& request) {
        Bytes reply = engine_.process(client, request);
        EXPECT_LE(reply.size(), 2048u);
        Response resp;
        std::string error;
        EXPECT_TRUE(dravenholt::wire::decodeResponse(reply.data(), reply.size(), resp, &error)) << error;
        return resp;
    }
    Response call(const Call& c) { return raw(encoded(c.r)); }
    uint32_t rv(const Call& c) { return call(c).rv; }

    void initToken() { ASSERT_EQ(rv(Call(fn::InitToken).data(kSoPin).data2(Bytes(32, ' '))), CKR_OK); }
    uint32_t open(bool rw = true) {
        Response resp = call(Call(fn::OpenSession).value(CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0)));
        EXPECT_EQ(resp.rv, CKR_OK);
        return resp.handle.value_or(0);
    }
    uint32_t login(uint32_t session, uint32_t userType, const Bytes& pin) {
        return rv(Call(fn::Login, session).value(userType).data(pin));
    }
    // Fresh token with both PINs set, one RW session logged in as the user.
    uint32_t readyUserSession() {
        initToken();
        uint32_t s = open(true);
        EXPECT_EQ(login(s, CKU_SO, kSoPin), CKR_OK);
        EXPECT_EQ(rv(Call(fn::InitPIN, s).data(kUserPin)), CKR_OK);
        EXPECT_EQ(rv(Call(fn::Logout, s)), CKR_OK);
        EXPECT_EQ(login(s, CKU_USER, kUserPin), CKR_OK);
        return s;
    }
    uint32_t state(uint32_t s) { return call(Call(fn::GetSessionInfo, s)).sessionInfo.value_or(SessionInfoMsg{}).state; }
    TokenInfoMsg tokenInfo() { return call(Call(fn::GetTokenInfo)).tokenInfo.value_or(TokenInfoMsg{}); }

    uint32_t create(uint32_t session, const std::vector<Attribute>& templ) {
        Response resp = call(Call(fn::CreateObject, session).templ(templ));
        EXPECT_EQ(resp.rv, CKR_OK);
        return resp.handle.value_or(0);
    }
    uint32_t secretKey(uint32_t session, uint32_t keyType, const Bytes& value, std::vector<Attribute> extra = {}) {
        extra.insert(extra.begin(), {num(CKA_CLASS, CKO_SECRET_KEY), num(CKA_KEY_TYPE, keyType), bytes(CKA_VALUE, value)});
        return create(session, extra);
    }
    Response getAttributes(uint32_t session, uint32_t object, std::initializer_list<uint32_t> types) {
        std::vector<Attribute> asked;
        for (uint32_t t : types) asked.push_back(Attribute{t, {}, {}, {}, {}});
        return call(Call(fn::GetAttributeValue, session).handle(object).templ(asked));
    }
    Bytes attribute(uint32_t session, uint32_t object, uint32_t type) {
        Response resp = getAttributes(session, object, {type});
        EXPECT_EQ(resp.rv, CKR_OK);
        return resp.attributes.size() == 1 ? resp.attributes[0].value.value_or(Bytes{}) : Bytes{};
    }
    // Every handle a search with this template finds, fetched two at a time.
    std::vector<uint32_t> find(uint32_t session, std::vector<Attribute> templ) {
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

    Engine& engine() { return engine_; }
    Engine::ClientId client = Engine::kDefaultClient;

private:
    Engine engine_;
};

}  // namespace simtest
