#include "orvo-admin/files.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <memory>

#include "platform/windows/handle.h"

namespace orvoadmin {
namespace {

struct LocalFree {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

std::string reason(DWORD error) {
    char* text = nullptr;
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::unique_ptr<char, LocalFree> owned(text);
    std::string out = n ? std::string(text, n) : "error " + std::to_string(error);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    return out;
}

// Full access for the file's owner and for nobody else, inherited from nowhere: the
// counterpart of mode 0600.
constexpr char kOwnerOnly[] = "D:P(A;;FA;;;OW)";

}  // namespace

void writePrivateFile(const std::string& path, const Bytes& contents) {
    const std::string temporary = path + ".tmp";
    auto fail = [&](const std::string& action) {
        std::string why = reason(::GetLastError());
        ::DeleteFileA(temporary.c_str());
        throw Failure(action + ": " + why);
    };
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(kOwnerOnly, SDDL_REVISION_1, &descriptor, nullptr))
        throw Failure("cannot write " + temporary + ": " + reason(::GetLastError()));
    std::unique_ptr<void, LocalFree> ownedDescriptor(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    {
        auto file = dravenholt::platform::ownHandle(::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, &security,
                                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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
