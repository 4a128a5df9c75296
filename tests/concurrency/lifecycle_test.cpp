// C_Finalize and C_Initialize again, and loading and unloading the shipped library: no descriptor
// stays open and memory does not grow (LeakSanitizer reports leaks in the sanitizer build). A
// process that ends while its threads are inside the library ends cleanly.
#include <dlfcn.h>
#include <malloc.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "frame/context.h"
#include "inprocess/simulated_devices.h"
#include "harness.h"

namespace conc {
namespace {

size_t openDescriptors() {
    auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return size_t(std::distance(begin(fds), end(fds)));
}

// Heap bytes in use. AddressSanitizer keeps a heap of its own, which this does not see; there
// LeakSanitizer looks.
size_t heapInUse() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// One cycle through the exported functions: initialise, a session, a call, finalise.
void cycle(CK_FUNCTION_LIST_PTR f, Findings& findings) {
    if (!findings.rv(f->C_Initialize(nullptr), "C_Initialize")) return;
    CK_SESSION_HANDLE s = 0;
    Bytes random(64);
    if (findings.rv(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), "C_OpenSession"))
        findings.rv(f->C_GenerateRandom(s, random.data(), CK_ULONG(random.size())), "C_GenerateRandom");
    findings.rv(f->C_Finalize(nullptr), "C_Finalize");  // with the session open: it closes it
}

// `warmUp` cycles (the C library fills its caches during the first few), then `count` more: the
// descriptors and the heap (give or take a few small blocks) stay where the warm-up left them.
void expectSteady(const std::function<void(Findings&)>& oneCycle, int warmUp, int count) {
    Findings findings;
    for (int i = 0; i < warmUp; ++i) oneCycle(findings);
    size_t descriptors = openDescriptors(), heap = heapInUse();
    for (int i = 0; i < count; ++i) oneCycle(findings);
    EXPECT_EQ(findings.text(), "");
    // A virtual device's thread may still be closing a descriptor of the warm-up.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() <= descriptors; }, std::chrono::seconds(2)));
    EXPECT_LE(heapInUse(), heap + 8192) << "grew from " << heap;
}

TEST(Lifecycle, InitialiseFinaliseCyclesOverVirtualHid) {
    orvotest::TestDir dir;
    dir.useAsConfig();
    HidToken hid;
    CK_FUNCTION_LIST_PTR linked = nullptr;
    ASSERT_EQ(C_GetFunctionList(&linked), CKR_OK);
    // The device's journal would grow with every exchange.
    expectSteady([&](Findings& f) { cycle(linked, f); hid.device->clearRecords(); }, 1, 3);
}

// The shipped library loaded, used over TLS and unloaded, again and again: each unload really
// removes it, and takes everything it made along.
TEST(Lifecycle, LoadUseUnloadTheSharedLibrary) {
    SimDaemon sim;
    auto loadUseUnload = [](Findings& f) {
        void* library = dlopen(ORVO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library) return f.add(std::string("dlopen: ") + dlerror());
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
        CK_FUNCTION_LIST_PTR list = nullptr;
        if (f.check(getList != nullptr, "no C_GetFunctionList") && f.rv(getList(&list), "C_GetFunctionList"))
            cycle(list, f);
        f.check(dlclose(library) == 0, "dlclose");
        void* still = dlopen(ORVO_SHARED_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
        f.check(still == nullptr, "the library stayed loaded");
        if (still) dlclose(still);
    };
    expectSteady(loadUseUnload, 8, 20);
    EXPECT_EQ(sim.logLines(" opened"), 28u);
}

// Children that call exit() while four threads of theirs call into the library: the exit
// handlers run while those calls go on, and none of the calls may meet freed state.
TEST(Lifecycle, ExitWhileThreadsAreInsideTheLibrary) {
    orvotest::TestDir dir;
    dir.useAsConfig();
    for (int run = 0; run < 2; ++run) {
        Child child(
            [](Findings& f) {
                dravenholt::sim::installSimulatedDevices(dravenholt::getContext(), 1);
                if (!f.rv(C_Initialize(nullptr), "C_Initialize")) return;
                static std::atomic<size_t> calls{0};  // outlives the body: the threads go on
                for (int i = 0; i < 4; ++i) {
                    std::thread([i] {
                        CK_INFO info;
                        CK_ULONG count = 0;
                        for (;; ++calls) i % 2 ? C_GetInfo(&info) : C_GetSlotList(CK_FALSE, nullptr, &count);
                    }).detach();
                }
                while (calls < 1000) std::this_thread::yield();
            },
            Child::Leave::ThroughExit);
        EXPECT_EQ(child.wait(), "") << "run " << run;
    }
}

}  // namespace
}  // namespace conc
