// The library configured for a networked device: the network pair makes port 0 a TLS
// transport, and device calls survive the device going away and coming back.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "frame/context.h"
#include "protocol/function_ids.h"
#include "support/scripted_device.h"
#include "tls_fixture.h"

using namespace orvotest;

namespace {

struct NetworkDevice : ::testing::Test {
    Pki pki;
    TestDir dir;
    TestDevice device{pki.server};
    std::vector<uint32_t> functions;
    std::mutex mutex;

    void SetUp() override {
        device.setBehaviour([this](const Bytes& raw) -> std::optional<Bytes> {
            Request request;
            if (!dravenholt::wire::decodeRequest(raw.data(), raw.size(), request)) return std::nullopt;
            std::lock_guard<std::mutex> guard(mutex);
            functions.push_back(request.function);
            return encode(Response{});
        });
        dir.write("ca.pem", pki.authority.certificatePem);
        dir.useAsConfig(R"({"logging": {"loglevel": 10, "logfile": ")" + dir.file("orvo.log") +
                        R"("}, "timeout": 400, "transport": {"address": "127.0.0.1", "port": )" +
                        std::to_string(device.port()) + R"(, "cacertbundle": ")" + dir.file("ca.pem") + "\"}}");
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override { C_Finalize(nullptr); }

    size_t calls(uint32_t function) {
        std::lock_guard<std::mutex> guard(mutex);
        return static_cast<size_t>(std::count(functions.begin(), functions.end(), function));
    }
    std::string logText() { return dir.read("orvo.log"); }
};

void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

}  // namespace

TEST_F(NetworkDevice, OnePortOverTls) {
    CK_ULONG n = 0;
    ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 1u);
    auto* transport = getContext().port(0);
    ASSERT_NE(transport, nullptr);
    EXPECT_STREQ(transport->getTypeName(), "TCP");
    EXPECT_EQ(transport->getTimeout(), 400u);
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(calls(dravenholt::fn::CloseAllSessions), 1u);
    EXPECT_NE(logText().find("INFO : Connecting to IP transport."), std::string::npos) << logText();
    EXPECT_EQ(logText().find("ERROR"), std::string::npos) << logText();
}

TEST_F(NetworkDevice, CallsFailWhileTheDeviceIsGoneAndRecoverWhenItReturns) {
    ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
    device.stop();
    settle();
    EXPECT_EQ(C_CloseAllSessions(0), CKR_FUNCTION_FAILED);
    EXPECT_EQ(C_CloseAllSessions(0), CKR_FUNCTION_FAILED);
    EXPECT_NE(logText().find("ERROR : connection failed"), std::string::npos) << logText();
    EXPECT_NE(logText().find("ERROR : no response from transport."), std::string::npos);
    device.restart();
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(calls(dravenholt::fn::CloseAllSessions), 2u);
}

TEST_F(NetworkDevice, DeviceRestartedBetweenCallsCostsNoCall) {
    ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
    device.restart();
    settle();
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(calls(dravenholt::fn::CloseAllSessions), 2u);
}

TEST_F(NetworkDevice, SilentDeviceFailsTheCallAfterTheTimeoutAndTheNextCallReconnects) {
    ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
    device.setBehaviour([](const Bytes&) { return std::optional<Bytes>(Bytes{}); });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(C_CloseAllSessions(0), CKR_FUNCTION_FAILED);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(350));
    EXPECT_FALSE(getContext().port(0)->isOpen());
    EXPECT_NE(logText().find("ERROR : tls read failed: -26624"), std::string::npos) << logText();
    device.setBehaviour([](const Bytes&) { return std::optional<Bytes>(encode(Response{})); });
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
}
