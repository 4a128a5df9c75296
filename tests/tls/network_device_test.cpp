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

}  // namespace

TEST_F(NetworkDevice, OnePortOverTlsSurvivesADeviceRestart) {
    CK_ULONG n = 0;
    ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 1u);
    auto* transport = dravenholt::getContext().ports().find(0);
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(transport->kind(), dravenholt::TransportKind::Network);
    EXPECT_EQ(transport->getTimeout(), 400u);
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(calls(dravenholt::fn::CloseAllSessions), 1u);
    EXPECT_NE(logText().find("INFO : Connecting to IP transport."), std::string::npos) << logText();
    EXPECT_EQ(logText().find("ERROR"), std::string::npos) << logText();
    // A device restarted between calls costs no call.
    device.restart();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(calls(dravenholt::fn::CloseAllSessions), 2u);
}
