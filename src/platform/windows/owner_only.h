// Security attributes for a new file that its owner alone may use, inherited from nowhere: the
// counterpart of mode 0600. The handle made with them is not inherited by child processes.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <memory>

namespace dravenholt::platform {

// Frees what Windows allocated with LocalAlloc for the caller.
struct LocalFreer {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

class OwnerOnly {
public:
    OwnerOnly() {
        PSECURITY_DESCRIPTOR made = nullptr;
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;OW)", SDDL_REVISION_1, &made,
                                                                   nullptr))
            descriptor_.reset(made);
        attributes_.lpSecurityDescriptor = descriptor_.get();
    }
    OwnerOnly(const OwnerOnly&) = delete;
    OwnerOnly& operator=(const OwnerOnly&) = delete;
    // False when the descriptor could not be made (GetLastError tells why).
    bool made() const { return descriptor_ != nullptr; }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    std::unique_ptr<void, LocalFreer> descriptor_;
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

}  // namespace dravenholt::platform
