#include "orvo-admin/terminal.h"

#include <windows.h>

#include <io.h>

#include <cstdio>

#include "platform/windows/handle.h"

namespace orvoadmin {
namespace {

using dravenholt::platform::UniqueHandle;

UniqueHandle openConsole(const char* name, DWORD access) {
    return dravenholt::platform::ownHandle(
        ::CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
}

void say(HANDLE out, const std::string& text) {
    DWORD written = 0;
    ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

bool stdinIsTerminal() { return _isatty(_fileno(stdin)); }
bool stderrIsTerminal() { return _isatty(_fileno(stderr)); }

std::optional<std::string> askTerminal(const std::string& what) {
    UniqueHandle in = openConsole("CONIN$", GENERIC_READ | GENERIC_WRITE);
    UniqueHandle out = openConsole("CONOUT$", GENERIC_READ | GENERIC_WRITE);
    if (!in || !out) return std::nullopt;
    DWORD saved = 0;
    bool quiet = ::GetConsoleMode(in.get(), &saved);
    if (quiet) ::SetConsoleMode(in.get(), saved & ~DWORD{ENABLE_ECHO_INPUT});
    say(out.get(), what + ": ");
    std::string line;
    char c;
    DWORD got = 0;
    while (::ReadFile(in.get(), &c, 1, &got, nullptr) && got == 1 && c != '\n')
        if (c != '\r') line += c;
    if (quiet) ::SetConsoleMode(in.get(), saved);
    say(out.get(), "\r\n");
    return line;
}

}  // namespace orvoadmin
