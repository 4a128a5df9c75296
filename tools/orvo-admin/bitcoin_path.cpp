#include "orvo-admin/bitcoin_path.h"

#include "orvo-admin/report.h"

namespace orvoadmin {
namespace {
constexpr uint32_t kHardened = 0x80000000u;
constexpr size_t kDeepest = 255;
}  // namespace

std::vector<uint32_t> parsePath(const std::string& text) {
    const Failure bad("a path is m or m/INDEX/..., each INDEX below 2147483648 and ending in ' or h when hardened",
                      kUsage);
    if (text != "m" && text.rfind("m/", 0) != 0) throw bad;
    std::vector<uint32_t> path;
    size_t at = 1;
    while (at < text.size()) {
        size_t end = text.find('/', at + 1);
        std::string part = text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        bool hardened = !part.empty() && (part.back() == '\'' || part.back() == 'h' || part.back() == 'H');
        if (hardened) part.pop_back();
        if (part.empty() || part.size() > 10 || part.find_first_not_of("0123456789") != std::string::npos) throw bad;
        uint64_t index = std::stoull(part);
        if (index >= kHardened) throw bad;
        path.push_back(uint32_t(index) | (hardened ? kHardened : 0));
        if (path.size() > kDeepest) throw Failure("a path has at most 255 indices", kUsage);
        at = end == std::string::npos ? text.size() : end;
    }
    return path;
}

}  // namespace orvoadmin
