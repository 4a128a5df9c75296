#include "support/fault_probes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace orvotest {
namespace {

using namespace std::chrono_literals;

// A caller's buffer with guard bytes on both sides.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size) : storage_(size + 2 * kGuard, kPattern) {}
    uint8_t* data() { return storage_.data() + kGuard; }
    CK_ULONG size() const { return static_cast<CK_ULONG>(storage_.size() - 2 * kGuard); }
    bool guardsIntact() const {
        auto untouched = [](uint8_t b) { return b == kPattern; };
        return std::all_of(storage_.begin(), storage_.begin() + kGuard, untouched) &&
               std::all_of(storage_.end() - kGuard, storage_.end(), untouched);
    }

private:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kPattern = 0xA5;
    std::vector<uint8_t> storage_;
};

constexpr auto kSlack = 1500ms;  // a loaded machine, sanitizers
CK_UTF8CHAR kSoPin[] = "sopin123";
CK_UTF8CHAR kUserPin[] = "user1234";
constexpr char kLabel[] = "probe";
// Long enough that the reply takes several reports or frames on USB.
const std::vector<uint8_t> kValue = [] {
    std::vector<uint8_t> v(100);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
    return v;
}();

std::string describe(const ProbeResult& r) {
    char text[96];
    std::snprintf(text, sizeof text, "rv 0x%lx in %lld ms%s%s", static_cast<unsigned long>(r.rv),
                  static_cast<long long>(r.took.count()), r.guardsIntact ? "" : ", GUARDS BROKEN",
                  r.rv == CKR_OK && !r.valuesRight ? ", WRONG VALUES" : "");
    return text;
}

}  // namespace

const char* probeName(Probe probe) {
    static const char* const names[] = {"C_GenerateRandom", "C_GetAttributeValue", "C_GetTokenInfo"};
    return names[static_cast<int>(probe)];
}

void ProbedToken::start(const TestDir& dir, std::chrono::milliseconds timeout, const std::string& transport) {
    dir.useAsConfig(R"({"logging": {"loglevel": 10, "logfile": ")" + dir.file("orvo.log") + R"("}, "timeout": )" +
                    std::to_string(timeout.count()) + (transport.empty() ? "" : R"(, "transport": )" + transport) + "}");
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    ASSERT_EQ(C_InitToken(0, kSoPin, 8, label), CKR_OK);
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session_), CKR_OK);
    ASSERT_EQ(C_Login(session_, CKU_SO, kSoPin, 8), CKR_OK);
    ASSERT_EQ(C_InitPIN(session_, kUserPin, 8), CKR_OK);
    ASSERT_EQ(C_CloseSession(session_), CKR_OK);
    openSession();
}

void ProbedToken::openSession() {
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session_), CKR_OK);
    ASSERT_EQ(C_Login(session_, CKU_USER, kUserPin, 8), CKR_OK);
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &dataClass, sizeof dataClass},
                           {CKA_LABEL, const_cast<char*>(kLabel), sizeof kLabel - 1},
                           {CKA_VALUE, const_cast<uint8_t*>(kValue.data()), static_cast<CK_ULONG>(kValue.size())}};
    ASSERT_EQ(C_CreateObject(session_, tmpl, 3, &object_), CKR_OK);
}

ProbeResult ProbedToken::run(Probe probe) {
    ProbeResult result;
    auto start = std::chrono::steady_clock::now();
    switch (probe) {
        case Probe::Random: {
            GuardedBuffer out(200);
            result.rv = C_GenerateRandom(session_, out.data(), out.size());
            result.guardsIntact = out.guardsIntact();
            break;
        }
        case Probe::Attributes: {
            GuardedBuffer label(16), value(kValue.size()), objectClass(sizeof(CK_OBJECT_CLASS));
            CK_ATTRIBUTE tmpl[] = {{CKA_LABEL, label.data(), label.size()},
                                   {CKA_VALUE, value.data(), value.size()},
                                   {CKA_CLASS, objectClass.data(), objectClass.size()}};
            result.rv = C_GetAttributeValue(session_, object_, tmpl, 3);
            result.guardsIntact = label.guardsIntact() && value.guardsIntact() && objectClass.guardsIntact();
            CK_OBJECT_CLASS got = ~0ul;
            std::memcpy(&got, objectClass.data(), sizeof got);
            result.valuesRight = tmpl[0].ulValueLen == sizeof kLabel - 1 &&
                                 std::memcmp(label.data(), kLabel, sizeof kLabel - 1) == 0 &&
                                 tmpl[1].ulValueLen == kValue.size() &&
                                 std::memcmp(value.data(), kValue.data(), kValue.size()) == 0 && got == CKO_DATA;
            break;
        }
        case Probe::TokenInfo: {
            GuardedBuffer info(sizeof(CK_TOKEN_INFO));
            auto* token = reinterpret_cast<CK_TOKEN_INFO*>(info.data());
            result.rv = C_GetTokenInfo(0, token);
            result.guardsIntact = info.guardsIntact();
            result.valuesRight = (token->flags & CKF_TOKEN_INITIALIZED) && (token->flags & CKF_USER_PIN_INITIALIZED);
            break;
        }
    }
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return result;
}

ProbeResult ProbedToken::runAfterReconnect(Probe probe) {
    if (probe == Probe::TokenInfo) return run(probe);
    ProbeResult gone = run(probe);
    EXPECT_EQ(gone.rv, CKR_SESSION_HANDLE_INVALID) << probeName(probe) << ": the old session is still there";
    EXPECT_TRUE(gone.guardsIntact) << probeName(probe);
    openSession();
    return run(probe);
}

void checkFaultRow(const FaultRow& row, const TestDir& dir, const std::function<ProbeResult(Probe)>& faulty,
                   const std::function<ProbeResult(Probe)>& next) {
    for (Probe probe : kProbes) {
        SCOPED_TRACE(probeName(probe));
        ProbeResult bad = faulty(probe);
        std::this_thread::sleep_for(row.settle);
        ProbeResult good = next(probe);
        std::printf("fault table | %s | %s | %s | %s | %s\n", row.transport.c_str(), row.fault.c_str(),
                    probeName(probe), describe(bad).c_str(), describe(good).c_str());
        EXPECT_EQ(bad.rv, row.rv);
        EXPECT_TRUE(bad.guardsIntact);
        EXPECT_LT(bad.took, row.timeout + kSlack);
        EXPECT_TRUE(!row.waitsTimeout || bad.took >= row.timeout - 50ms) << "gave up before the timeout";
        EXPECT_TRUE(row.rv != CKR_OK || bad.valuesRight);
        EXPECT_EQ(good.rv, CKR_OK) << dir.read("orvo.log");
        EXPECT_TRUE(good.valuesRight && good.guardsIntact);
    }
}

std::string testName(std::string name) {
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

}  // namespace orvotest
