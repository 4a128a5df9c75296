// A PKCS#11 module under measurement: a shared library loaded by path, or the function list of
// the library linked into this program. Initialised with operating-system locking, as
// applications that load modules through p11-kit or NSS do; finalised and unloaded on
// destruction.
#pragma once

#include <memory>
#include <string>

#include "base/pkcs11.h"

namespace orvo_bench {

class Module {
public:
    // Throws BenchError when the library cannot be loaded or initialised.
    static std::unique_ptr<Module> load(const std::string& path);
    static std::unique_ptr<Module> linked(CK_FUNCTION_LIST* list);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    CK_FUNCTION_LIST* functions() const { return list_; }
    // The first slot with an initialised or uninitialised token present.
    CK_SLOT_ID firstTokenSlot() const;

private:
    Module(void* handle, CK_FUNCTION_LIST* list);
    void* handle_;
    CK_FUNCTION_LIST* list_;
};

}  // namespace orvo_bench
