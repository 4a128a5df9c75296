#include "transport/hid_text.h"

#include <cstdlib>
#include <cwchar>

#include "base/errors.h"

namespace dravenholt {
namespace {
constexpr size_t kConversionBuffer = 256;
constexpr wchar_t kMaker[] = L"Dravenholtique";
}  // namespace

std::optional<std::string> narrowHidString(const wchar_t* text) {
    if (!text) return std::nullopt;
    char buffer[kConversionBuffer];
    size_t written = std::wcstombs(buffer, text, sizeof buffer);
    if (written == static_cast<size_t>(-1)) return std::nullopt;
    if (written >= sizeof buffer) written = sizeof buffer - 1;
    return std::string(buffer, written);
}

bool isMakersDevice(const wchar_t* manufacturer) {
    return manufacturer && std::wcscmp(manufacturer, kMaker) == 0;
}

void throwHidError(hid_device* handle, const char* fallback) {
    const wchar_t* text = handle ? hid_error(handle) : nullptr;
    if (text) throw DeviceError(text);
    throw DeviceError(fallback);
}

}  // namespace dravenholt
