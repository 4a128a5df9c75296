#include "support/scripted_hid.h"

#include <hidapi/hidapi.h>

#include "transport/hid_descriptor.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

struct hid_device_ {
    int unused = 0;
};

namespace fuzzhid {

Device& device() {
    static Device instance;
    return instance;
}

namespace {

constexpr char kPath[] = "scripted";
constexpr size_t kU2fReport = 65;  // report ID 0 and a 64-byte frame

wchar_t* copyOf(const std::wstring& string) {
    const wchar_t* text = string.c_str();
    size_t n = std::wcslen(text) + 1;
    auto* copy = static_cast<wchar_t*>(std::malloc(n * sizeof(wchar_t)));
    if (copy) std::wmemcpy(copy, text, n);
    return copy;
}

bool isChannelAllocation(const unsigned char* report, size_t length) {
    static const unsigned char kInit[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x86};
    return length == kU2fReport && std::equal(std::begin(kInit), std::end(kInit), report);
}

void answerChannelAllocation(const unsigned char* report, uint32_t channel) {
    Bytes frame(64, 0);
    std::fill_n(frame.begin(), 4, 0xFF);
    frame[4] = 0x86;
    frame[6] = 17;
    std::copy_n(report + 8, 8, frame.begin() + 7);  // the nonce
    for (int i = 0; i < 4; ++i) frame[15 + i] = static_cast<uint8_t>(channel >> (24 - 8 * i));
    device().input.push_back(frame);
}

}  // namespace
}  // namespace fuzzhid

extern "C" {

int hid_init(void) { return 0; }
int hid_exit(void) { return 0; }

struct hid_device_info* hid_enumerate(unsigned short, unsigned short) {
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    if (!info) return nullptr;
    info->path = strdup(fuzzhid::kPath);
    info->vendor_id = 0x0483;
    info->product_id = 0xA2AC;
    const fuzzhid::Device& d = fuzzhid::device();
    info->serial_number = fuzzhid::copyOf(d.serial);
    info->manufacturer_string = fuzzhid::copyOf(d.manufacturer);
    info->product_string = fuzzhid::copyOf(d.product);
    info->usage_page = 0xFF00;
    return info;
}

void hid_free_enumeration(struct hid_device_info* devs) {
    while (devs) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

hid_device* hid_open_path(const char* path) {
    return path && std::strcmp(path, fuzzhid::kPath) == 0 ? new hid_device_ : nullptr;
}

void hid_close(hid_device* dev) { delete dev; }

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    fuzzhid::Device& d = fuzzhid::device();
    if (!dev || !data || d.failWrites) return -1;
    ++d.writes;
    if (d.u2fChannel && fuzzhid::isChannelAllocation(data, length))
        fuzzhid::answerChannelAllocation(data, *d.u2fChannel);
    return static_cast<int>(length);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int) {
    fuzzhid::Device& d = fuzzhid::device();
    if (!dev || !data) return -1;
    if (d.input.empty()) return 0;
    std::optional<fuzzhid::Bytes> report = std::move(d.input.front());
    d.input.pop_front();
    if (!report) return -1;
    size_t n = std::min(length, report->size());
    std::copy_n(report->begin(), n, data);
    return static_cast<int>(n);
}

const wchar_t* hid_error(hid_device* dev) { return dev ? L"scripted read error" : nullptr; }

int orvo_hid_input_report_length(const char*) {
    const auto& descriptor = fuzzhid::device().descriptor;
    if (!descriptor) return -1;
    auto length = dravenholt::inputReportLength(descriptor->data(), descriptor->size());
    return length && *length <= static_cast<size_t>(INT_MAX) ? static_cast<int>(*length) : -1;
}

void orvo_hid_settle(unsigned) {}  // a scripted device is ready at once

}  // extern "C"
