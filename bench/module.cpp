#include "module.h"

#include <dlfcn.h>

#include <vector>

#include "bench_error.h"

namespace orvo_bench {

Module::Module(void* handle, CK_FUNCTION_LIST* list) : handle_(handle), list_(list) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = list_->C_Initialize(&args);
    if (rv != CKR_OK) {
        if (handle_) dlclose(handle_);
        check(rv, "C_Initialize");
    }
}

std::unique_ptr<Module> Module::load(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw BenchError("cannot load " + path + ": " + dlerror());
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST* list = nullptr;
    if (!getList || getList(&list) != CKR_OK || !list) {
        dlclose(handle);
        throw BenchError(path + " has no usable C_GetFunctionList");
    }
    return std::unique_ptr<Module>(new Module(handle, list));
}

std::unique_ptr<Module> Module::linked(CK_FUNCTION_LIST* list) {
    return std::unique_ptr<Module>(new Module(nullptr, list));
}

Module::~Module() {
    list_->C_Finalize(nullptr);
    if (handle_) dlclose(handle_);
}

CK_SLOT_ID Module::firstTokenSlot() const {
    CK_ULONG count = 0;
    check(list_->C_GetSlotList(CK_TRUE, nullptr, &count), "C_GetSlotList");
    std::vector<CK_SLOT_ID> slots(count);
    check(list_->C_GetSlotList(CK_TRUE, slots.data(), &count), "C_GetSlotList");
    if (count == 0) throw BenchError("no slot with a token");
    return slots[0];
}

}  // namespace orvo_bench
