#include "transport/hid_descriptor.h"

#include <algorithm>
#include <array>
#include <vector>

#include "transport/hid_platform.h"

namespace dravenholt {
namespace {

constexpr size_t kMaxGlobalStack = 16;

enum ItemType : uint8_t { kMain = 0, kGlobal = 1 };
enum MainTag : uint8_t { kInput = 0x8 };
enum GlobalTag : uint8_t { kReportSize = 0x7, kReportId = 0x8, kReportCount = 0x9, kPush = 0xA, kPop = 0xB };

struct GlobalState {
    uint64_t reportSize = 0;
    uint64_t reportCount = 0;
    uint8_t reportId = 0;
};

// Input bits declared per report ID, saturating far above any length the transport accepts.
class InputTally {
public:
    void add(uint8_t reportId, uint64_t size, uint64_t count) {
        uint64_t bits = (size > kCap || count > kCap) ? kCap : std::min(size * count, kCap);
        bits_[reportId] = std::min(bits_[reportId] + bits, kCap);
        seen_ = true;
    }
    std::optional<size_t> longestWithId() const {
        if (!seen_) return std::nullopt;
        uint64_t longest = *std::max_element(bits_.begin(), bits_.end());
        return static_cast<size_t>((longest + 7) / 8 + 1);
    }

private:
    static constexpr uint64_t kCap = uint64_t{1} << 32;
    std::array<uint64_t, 256> bits_{};
    bool seen_ = false;
};

}  // namespace

std::optional<size_t> inputReportLength(const uint8_t* descriptor, size_t size) {
    if (!descriptor) return std::nullopt;
    GlobalState state;
    std::vector<GlobalState> stack;
    InputTally tally;
    size_t at = 0;
    while (at < size) {
        uint8_t prefix = descriptor[at];
        if (prefix == 0xFE) {  // long item: size byte, tag byte, data
            if (at + 2 >= size || at + 3 + descriptor[at + 1] > size) return std::nullopt;
            at += 3 + descriptor[at + 1];
            continue;
        }
        static constexpr uint8_t kDataSizes[] = {0, 1, 2, 4};
        size_t dataSize = kDataSizes[prefix & 0x3];
        if (at + 1 + dataSize > size) return std::nullopt;
        uint32_t value = 0;
        for (size_t i = 0; i < dataSize; ++i) value |= uint32_t{descriptor[at + 1 + i]} << (8 * i);
        uint8_t type = (prefix >> 2) & 0x3;
        uint8_t tag = prefix >> 4;
        if (type == kMain && tag == kInput) {
            tally.add(state.reportId, state.reportSize, state.reportCount);
        } else if (type == kGlobal) {
            switch (tag) {
            case kReportSize: state.reportSize = value; break;
            case kReportCount: state.reportCount = value; break;
            case kReportId: state.reportId = static_cast<uint8_t>(value); break;
            case kPush:
                if (stack.size() == kMaxGlobalStack) return std::nullopt;
                stack.push_back(state);
                break;
            case kPop:
                if (stack.empty()) return std::nullopt;
                state = stack.back();
                stack.pop_back();
                break;
            default: break;
            }
        }
        at += 1 + dataSize;
    }
    return tally.longestWithId();
}

size_t reportLengthOf(const char* path, LogTarget* log) {
    int length = orvo_hid_input_report_length(path);
    if (length >= static_cast<int>(kMinReportLength) && length <= static_cast<int>(kMaxReportLength))
        return static_cast<size_t>(length);
    if (log) log->log(kDebug, "Report length unknown, assuming %zu bytes", kFallbackReportLength);
    return kFallbackReportLength;
}

}  // namespace dravenholt
