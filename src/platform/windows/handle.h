// An owned Windows handle, closed with CloseHandle when it goes.
#pragma once

#include <windows.h>

#include <memory>

namespace dravenholt::platform {

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// The handle that CreateFile and its kin returned, owned; empty for INVALID_HANDLE_VALUE.
inline UniqueHandle ownHandle(HANDLE handle) {
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

}  // namespace dravenholt::platform
