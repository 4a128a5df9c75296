#include "orvo-admin/files.h"

#include <windows.h>

#include <algorithm>
#include <memory>

#include "platform/windows/handle.h"
#include "platform/windows/owner_only.h"

namespace orvoadmin {
namespace {

std::string reason(DWORD error) {
    char* text = nullptr;
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::unique_ptr<char, dravenholt::platform::LocalFreer> owned(text);
    std::string out = n ? std::string(text, n) : "error " + std::to_string(error);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    return out;
}

}  // namespace

void writePrivateFile(const std::string& path, const Bytes& contents) {
    const std::string temporary = path + ".tmp";
    auto fail = [&](const std::string& action) {
        std::string why = reason(::GetLastError());
        ::DeleteFileA(temporary.c_str());
        throw Failure(action + ": " + why);
    };
    dravenholt::platform::OwnerOnly security;
    if (!security.made()) throw Failure("cannot write " + temporary + ": " + reason(::GetLastError()));
    {
        // Made here, now (CREATE_NEW): a file that lay at the temporary name before is not used.
        auto file = dravenholt::platform::ownHandle(::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0,
                                                                  security.attributes(), CREATE_NEW,
                                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file && ::GetLastError() == ERROR_FILE_EXISTS) throw temporaryTaken(temporary);
        if (!file) throw Failure("cannot write " + temporary + ": " + reason(::GetLastError()));
        size_t done = 0;
        while (done < contents.size()) {
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(contents.size() - done, 1u << 20));
            DWORD written = 0;
            if (!::WriteFile(file.get(), contents.data() + done, chunk, &written, nullptr) || written == 0)
                fail("cannot write " + temporary);
            done += written;
        }
        if (!::FlushFileBuffers(file.get())) fail("cannot write " + temporary);
    }
    if (!::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        fail("cannot replace " + path);
}

}  // namespace orvoadmin
