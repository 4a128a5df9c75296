// Administration calls from several threads on two devices: every call reaches the device it
// names, and the pieces of a transfer stay together.
#include <atomic>
#include <thread>

#include "orvo/admin.h"
#include "unit/device_fixture.h"

using namespace orvotest;

TEST_F(AdminTest, CallsFromThreadsReachTheDeviceTheySelected) {
    // Each device answers with its own mark, so a call that reached the wrong one shows in its
    // result as well as in the device's record.
    a->fallback = answer(CKR_OK, Bytes(4, 'A'));
    b->fallback = answer(CKR_OK, Bytes(4, 'B'));
    uint32_t sessions[2] = {static_cast<uint32_t>(open(0, 100)), static_cast<uint32_t>(open(1, 200))};
    constexpr int kRounds = 200;
    std::atomic<int> wrong{0};
    auto worker = [&](uint32_t slot) {
        const uint8_t mark = slot == 0 ? 'A' : 'B';
        for (int i = 0; i < kRounds; ++i) {
            if (u32SetSessionTimeout(slot, static_cast<uint8_t>(slot + 1)) != CKR_OK) ++wrong;
            uint8_t buffer[16];
            uint64_t length = sizeof buffer;
            if (u32BackupStorage(slot, buffer, &length) != CKR_OK || length != 4 || buffer[0] != mark) ++wrong;
            uint32_t path[1] = {slot};
            length = sizeof buffer;
            if (u32GetBitcoinPub(sessions[slot], path, 1, buffer, &length) != CKR_OK || buffer[3] != mark) ++wrong;
        }
    };
    std::thread t1(worker, 0), t2(worker, 1), t3(worker, 0), t4(worker, 1);
    t1.join();
    t2.join();
    t3.join();
    t4.join();
    EXPECT_EQ(wrong.load(), 0);
    for (auto [device, slot] : {std::pair{a, 0u}, std::pair{b, 1u}}) {
        auto sent = device->calls();
        EXPECT_EQ(sent.size(), 2u * 3 * kRounds);
        for (const Request& r : sent) {
            if (r.function == 55) {
                EXPECT_EQ(r.handle, slot + 1);
            }
            if (r.function == 63) {
                EXPECT_EQ(r.session, slot == 0 ? 100u : 200u);
            }
        }
    }
}

TEST_F(AdminTest, TransfersOnOneDeviceDoNotInterleave) {
    // The device hands out a backup in two pieces: a continuation value that does not follow its
    // own first piece would be seen here.
    std::atomic<uint32_t> next{1};
    std::atomic<int> interleaved{0};
    std::mutex m;
    uint32_t open = 0;  // continuation handed out and not yet redeemed
    a->fallback = [&](const Request& r) {
        std::lock_guard<std::mutex> g(m);
        Response out;
        if (!r.handle) {
            if (open != 0) ++interleaved;
            open = next++;
            out.rv = CKR_OPERATION_ACTIVE;
            out.handle = open;
        } else {
            if (*r.handle != open) ++interleaved;
            open = 0;
            out.rv = CKR_OK;
        }
        out.data = Bytes(8, 1);
        return encode(out);
    };
    auto worker = [&] {
        for (int i = 0; i < 200; ++i) {
            uint8_t buffer[32];
            uint64_t length = sizeof buffer;
            if (u32BackupStorage(0, buffer, &length) != CKR_OK || length != 16) ++interleaved;
        }
    };
    std::thread t1(worker), t2(worker);
    t1.join();
    t2.join();
    EXPECT_EQ(interleaved.load(), 0);
}
